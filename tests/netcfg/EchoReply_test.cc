// The probe's test of an echo reply, as a raw ICMP socket receives it.
#include <gtest/gtest.h>

#include <vector>

#include "netcfg/EchoPacket.h"

namespace {

// An IPv4 packet from `source` holding the ICMP message `icmp`.
std::vector<uint8_t> Ipv4(std::array<uint8_t, 4> source, std::vector<uint8_t> icmp,
                          uint8_t protocol = 1, uint8_t versionAndLength = 0x45) {
  std::vector<uint8_t> packet(static_cast<std::size_t>(versionAndLength & 0x0f) * 4, 0);
  packet[0] = versionAndLength;
  packet[9] = protocol;
  std::copy(source.begin(), source.end(), packet.begin() + 12);
  packet.insert(packet.end(), icmp.begin(), icmp.end());
  return packet;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> packet, std::size_t length) {
  packet.resize(length);
  return packet;
}

std::vector<uint8_t> Sequence(std::vector<uint8_t> icmp, uint8_t number) {
  icmp[6] = number;
  return icmp;
}

std::vector<uint8_t> Reply(uint16_t identifier, uint8_t type = 0) {
  EchoRequest request = BuildEchoRequest(identifier);
  std::vector<uint8_t> icmp(request.begin(), request.end());
  icmp[0] = type;
  return icmp;
}

TEST(EchoReplyTest, OnlyAReplyFromTheRouterWithOurIdentifierCounts) {
  const std::array<uint8_t, 4> router{192, 168, 199, 1};
  const std::array<uint8_t, 4> other{192, 168, 199, 7};
  const uint16_t id = 0xBEEF;
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
    bool counts;
  } cases[] = {
      {"our reply", Ipv4(router, Reply(id)), true},
      {"with IP options", Ipv4(router, Reply(id), 1, 0x46), true},
      {"another program's ping", Ipv4(router, Reply(0xBEEE)), false},
      {"identifier bytes swapped", Ipv4(router, Reply(0xEFBE)), false},
      {"another sequence number", Ipv4(router, Sequence(Reply(id), 2)), false},
      {"from another host", Ipv4(other, Reply(id)), false},
      {"our own request", Ipv4(router, Reply(id, 8)), false},
      {"not ICMP", Ipv4(router, Reply(id), 17), false},
      {"not IPv4", Ipv4(router, Reply(id), 1, 0x65), false},
      {"header length below 20", Ipv4(router, Reply(id), 1, 0x44), false},
      {"cut short", Cut(Ipv4(router, Reply(id)), 27), false},
      {"empty", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsEchoReplyFrom(c.packet, router, id), c.counts);
  }
}

}  // namespace
