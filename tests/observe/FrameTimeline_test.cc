// Frames of the recovery link as the decoder reads them, shown by the lines
// the timeline writes for them.
#include <gtest/gtest.h>

#include "netcfg/Ipv4.h"
#include "observe/FrameDecoder.h"
#include "observe/Timeline.h"

// Events are written with designated initializers naming what matters.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using observe::Event;
using observe::Millis;

std::string U16(std::uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
std::string U32(std::uint32_t v) { return U16(static_cast<std::uint16_t>(v >> 16)) + U16(static_cast<std::uint16_t>(v)); }
std::string Addr(const char* text) { return U32(ParseIpv4(text).value_or(0)); }

std::string Ethernet(std::uint16_t type, const std::string& payload, bool tagged = false) {
  std::string mac(6, '\x11');
  return std::string(6, '\xff') + mac + (tagged ? U16(0x8100) + U16(7) : "") + U16(type) + payload;
}

std::string Arp(std::uint16_t op, const char* from, const char* to, std::uint8_t protocolLength = 4) {
  return U16(1) + U16(0x0800) + "\x06" + std::string(1, static_cast<char>(protocolLength)) + U16(op) +
         std::string(6, '\x22') + Addr(from) + std::string(6, '\0') + Addr(to);
}

struct Ip {
  std::uint8_t protocol = 17;
  const char* from = "192.168.1.1";
  const char* to = "192.168.1.88";
  std::uint16_t fragment = 0;  // offset field, in 8-byte units
  int headerWords = 5;
  int totalLength = -1;        // -1: what it carries
};

std::string Ipv4(const Ip& ip, const std::string& payload) {
  std::size_t header = static_cast<std::size_t>(ip.headerWords) * 4;
  std::string out = std::string(1, static_cast<char>(0x40 | ip.headerWords)) + '\0' +
                    U16(static_cast<std::uint16_t>(ip.totalLength >= 0 ? ip.totalLength : header + payload.size())) +
                    U16(1) + U16(ip.fragment) + "\x40" + std::string(1, static_cast<char>(ip.protocol)) + U16(0) +
                    Addr(ip.from) + Addr(ip.to);
  out.resize(std::max(header, out.size() < header ? header : out.size()), '\0');
  return out + payload;
}

std::string Udp(std::uint16_t from, std::uint16_t to, const std::string& payload) {
  return U16(from) + U16(to) + U16(static_cast<std::uint16_t>(8 + payload.size())) + U16(0) + payload;
}

std::string Rrq(const std::string& name) { return U16(1) + name + std::string("\0octet\0", 7); }

// The timeline's line for `frame` taken at 1.234 s, or "" when the decoder
// leaves it out.
std::string LineOf(const std::string& frame, bool outgoing = false) {
  auto info = observe::DecodeFrame({reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()});
  if (!info) return "";
  info->outgoing = outgoing;
  Event e;
  e.kind = Event::kFrame;
  e.t = Millis(1234);
  e.frame = *info;
  return observe::TimelineLine(e);
}

const std::string kHead = R"({"t":1.234,"event":"frame",)";

TEST(FrameTimelineTest, FramesOfTheRecoveryLink) {
  std::string longName(100, 'n');
  std::string rrq = Ethernet(0x0800, Ipv4({}, Udp(3000, 69, Rrq("recovery.bin"))));
  struct Case {
    const char* what;
    std::string frame;
    std::string line;
  } cases[] = {
      {"ARP request", Ethernet(0x0806, Arp(1, "192.168.0.1", "192.168.0.66")),
       kHead + R"("frame":"arp","dir":"in","from":"192.168.0.1","to":"192.168.0.66","op":1})" "\n"},
      {"ARP reply behind a VLAN tag", Ethernet(0x0806, Arp(2, "192.168.1.1", "192.168.1.88"), true),
       kHead + R"("frame":"arp","dir":"in","from":"192.168.1.1","to":"192.168.1.88","op":2})" "\n"},
      {"read request", rrq,
       kHead + R"("frame":"tftp-request","dir":"in","from":"192.168.1.1","to":"192.168.1.88","from_port":3000,"to_port":69,"opcode":1,"file":"recovery.bin"})" "\n"},
      {"acknowledgement to a transfer port", Ethernet(0x0800, Ipv4({}, Udp(3000, 56991, U16(4) + U16(7)))),
       kHead + R"("frame":"tftp","dir":"in","from":"192.168.1.1","to":"192.168.1.88","from_port":3000,"to_port":56991,"opcode":4})" "\n"},
      {"DATA we send, padded to the minimum frame",
       Ethernet(0x0800, Ipv4({.from = "192.168.1.88", .to = "192.168.1.1"}, Udp(56991, 3000, U16(3) + U16(1)))) +
           std::string(10, '\0'),
       kHead + R"("frame":"tftp","dir":"out","from":"192.168.1.88","to":"192.168.1.1","from_port":56991,"to_port":3000,"opcode":3})" "\n"},
      {"port unreachable", Ethernet(0x0800, Ipv4({.protocol = 1}, "\x03\x03" + U16(0) + U32(0))),
       kHead + R"("frame":"icmp","dir":"in","from":"192.168.1.1","to":"192.168.1.88","type":3,"code":3})" "\n"},
      {"a name with a quote and a control byte, and one cut to 64 bytes",
       Ethernet(0x0800, Ipv4({}, Udp(3000, 69, Rrq("a\"\x01" "b")))),
       kHead + R"("frame":"tftp-request","dir":"in","from":"192.168.1.1","to":"192.168.1.88","from_port":3000,"to_port":69,"opcode":1,"file":"a\"�b"})" "\n"},
      {"a long name", Ethernet(0x0800, Ipv4({}, Udp(3000, 69, Rrq(longName)))),
       kHead + R"("frame":"tftp-request","dir":"in","from":"192.168.1.1","to":"192.168.1.88","from_port":3000,"to_port":69,"opcode":1,"file":")" +
           std::string(64, 'n') + "\"}\n"},
      {"a request cut by the capture", rrq.substr(0, rrq.size() - 10),
       kHead + R"("frame":"tftp-request","dir":"in","from":"192.168.1.1","to":"192.168.1.88","from_port":3000,"to_port":69,"opcode":1,"file":"recovery."})" "\n"},
      {"DNS", Ethernet(0x0800, Ipv4({}, Udp(3000, 53, "x"))), ""},
      {"TCP", Ethernet(0x0800, Ipv4({.protocol = 6}, std::string(20, '\0'))), ""},
      {"a later fragment", Ethernet(0x0800, Ipv4({.fragment = 185}, Udp(3000, 69, Rrq("x")))), ""},
      {"a header of four words", Ethernet(0x0800, Ipv4({.headerWords = 4}, Udp(3000, 69, Rrq("x")))), ""},
      {"a total length inside the header", Ethernet(0x0800, Ipv4({.totalLength = 12}, Udp(3000, 69, Rrq("x")))), ""},
      {"a total length that ends inside UDP", Ethernet(0x0800, Ipv4({.totalLength = 24}, Udp(3000, 69, Rrq("x")))), ""},
      {"a header longer than the frame", Ethernet(0x0800, Ipv4({.headerWords = 15}, "")).substr(0, 40), ""},
      {"ARP for another protocol length", Ethernet(0x0806, Arp(1, "1.2.3.4", "5.6.7.8", 16)), ""},
      {"a runt", std::string(13, '\0'), ""},
      {"IPv6", Ethernet(0x86DD, std::string(40, '\0')), ""},
      {"a tag and nothing more", std::string(12, '\0') + U16(0x8100) + U16(1), ""},
  };
  for (const Case& c : cases) {
    bool outgoing = std::string(c.what).find("we send") != std::string::npos;
    EXPECT_EQ(LineOf(c.frame, outgoing), c.line) << c.what;
  }
}

}  // namespace
