#include "observe/FrameDecoder.h"

#include <algorithm>

namespace observe {

namespace {

constexpr std::uint16_t kEtherArp = 0x0806;
constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::size_t kEthernetHeader = 14;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kProtocolUdp = 17;

// Reads big-endian numbers from a span; a read past its end gives nothing.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
  std::size_t size() const { return m_bytes.size(); }
  bool Has(std::size_t at, std::size_t count) const {
    return at <= m_bytes.size() && count <= m_bytes.size() - at;
  }
  std::uint8_t U8(std::size_t at) const { return m_bytes[at]; }
  std::uint16_t U16(std::size_t at) const {
    return static_cast<std::uint16_t>(m_bytes[at] << 8 | m_bytes[at + 1]);
  }
  std::uint32_t U32(std::size_t at) const {
    return static_cast<std::uint32_t>(U16(at)) << 16 | U16(at + 2);
  }
  std::span<const std::uint8_t> From(std::size_t at) const { return m_bytes.subspan(at); }

 private:
  std::span<const std::uint8_t> m_bytes;
};

bool IsTftpPort(std::uint16_t port) { return port == kTftpPort || port >= kFirstTransferPort; }

std::optional<FrameInfo> DecodeArp(const Reader& arp) {
  // Ethernet hardware, IPv4 protocol, 6- and 4-byte addresses.
  if (!arp.Has(0, 28) || arp.U16(0) != 1 || arp.U16(2) != kEtherIpv4 || arp.U8(4) != 6 ||
      arp.U8(5) != 4) {
    return std::nullopt;
  }
  FrameInfo info;
  info.kind = FrameInfo::kArp;
  info.arpOperation = arp.U16(6);
  info.from = arp.U32(14);
  info.to = arp.U32(24);
  return info;
}

std::optional<FrameInfo> DecodeUdp(const Reader& udp, FrameInfo info) {
  if (!udp.Has(0, 8)) return std::nullopt;
  info.fromPort = udp.U16(0);
  info.toPort = udp.U16(2);
  if (!IsTftpPort(info.fromPort) && !IsTftpPort(info.toPort)) return std::nullopt;
  info.kind = FrameInfo::kTftp;
  if (udp.Has(8, 2)) info.opcode = udp.U16(8);
  if (info.toPort == kTftpPort && (info.opcode == 1 || info.opcode == 2)) {
    info.kind = FrameInfo::kTftpRequest;
    std::span<const std::uint8_t> name = udp.From(10);
    name = name.first(std::min(name.size(), FrameInfo::kMaxFileName));
    auto end = std::find(name.begin(), name.end(), std::uint8_t{0});
    info.fileName.assign(name.begin(), end);
  }
  return info;
}

std::optional<FrameInfo> DecodeIpv4(const Reader& ip) {
  if (!ip.Has(0, 20) || ip.U8(0) >> 4 != 4) return std::nullopt;
  std::size_t headerLength = static_cast<std::size_t>(ip.U8(0) & 0x0F) * 4;
  std::size_t totalLength = ip.U16(2);
  if (headerLength < 20 || totalLength < headerLength || !ip.Has(0, headerLength)) return std::nullopt;
  // Only the first fragment carries the UDP or ICMP header.
  if ((ip.U16(6) & 0x1FFF) != 0) return std::nullopt;
  FrameInfo info;
  info.from = ip.U32(12);
  info.to = ip.U32(16);
  // The payload ends where the datagram says, or sooner where the capture
  // cut the frame; padding beyond the datagram is not part of it.
  std::span<const std::uint8_t> payload = ip.From(headerLength);
  payload = payload.first(std::min(payload.size(), totalLength - headerLength));
  Reader inner(payload);
  switch (ip.U8(9)) {
    case kProtocolUdp:
      return DecodeUdp(inner, info);
    case kProtocolIcmp:
      if (!inner.Has(0, 2)) return std::nullopt;
      info.kind = FrameInfo::kIcmp;
      info.icmpType = inner.U8(0);
      info.icmpCode = inner.U8(1);
      return info;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<FrameInfo> DecodeFrame(std::span<const std::uint8_t> frame) {
  Reader ethernet(frame);
  if (!ethernet.Has(0, kEthernetHeader)) return std::nullopt;
  std::size_t at = 12;
  std::uint16_t type = ethernet.U16(at);
  if (type == kEtherVlan) {  // one 802.1Q tag
    at += 4;
    if (!ethernet.Has(at, 2)) return std::nullopt;
    type = ethernet.U16(at);
  }
  Reader payload(ethernet.From(at + 2));
  if (type == kEtherArp) return DecodeArp(payload);
  if (type == kEtherIpv4) return DecodeIpv4(payload);
  return std::nullopt;
}

}  // namespace observe
