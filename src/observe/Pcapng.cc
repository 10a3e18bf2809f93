#include "observe/Pcapng.h"

#include <algorithm>

namespace observe {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint16_t kLinkEthernet = 1;
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionIfName = 2;
constexpr std::uint16_t kOptionEpbFlags = 2;
constexpr std::uint32_t kInbound = 1;
constexpr std::uint32_t kOutbound = 2;

// Little-endian whatever the machine; the byte-order magic tells readers.
void Put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void Put32(std::string& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(v >> 16));
}

void Pad(std::string& out) {
  while (out.size() % 4) out += '\0';
}

void PutOption(std::string& body, std::uint16_t code, std::string_view value) {
  Put16(body, code);
  Put16(body, static_cast<std::uint16_t>(value.size()));
  body += value;
  Pad(body);
}

// A block: type, total length, body (padded), total length again.
std::string Block(std::uint32_t type, std::string body) {
  Pad(body);
  std::string out;
  auto total = static_cast<std::uint32_t>(body.size() + 12);
  Put32(out, type);
  Put32(out, total);
  out += body;
  Put32(out, total);
  return out;
}

}  // namespace

PcapngRing::PcapngRing(std::string interfaceName, std::size_t limit) : m_limit(limit) {
  std::string section;
  Put32(section, 0x1A2B3C4D);  // byte-order magic
  Put16(section, 1);            // version 1.0
  Put16(section, 0);
  Put32(section, 0xFFFFFFFF);  // section length: not given
  Put32(section, 0xFFFFFFFF);
  m_header = Block(kSectionHeader, section);
  std::string interface;
  Put16(interface, kLinkEthernet);
  Put16(interface, 0);
  Put32(interface, kSnapLength);
  interfaceName.resize(std::min<std::size_t>(interfaceName.size(), 64));
  if (!interfaceName.empty()) PutOption(interface, kOptionIfName, interfaceName);
  Put16(interface, kOptionEnd);
  Put16(interface, 0);
  m_header += Block(kInterfaceDescription, interface);
}

void PcapngRing::Add(std::uint64_t microseconds, bool outgoing, std::span<const std::uint8_t> bytes,
                     std::size_t wireLength) {
  constexpr std::size_t kOverhead = 12 + 20 + 12 + 4;  // block, packet fields, flags, end
  if (m_limit <= m_header.size() + kOverhead) return;
  std::size_t room = std::min<std::size_t>(m_limit - m_header.size() - kOverhead, kSnapLength);
  bytes = bytes.first(std::min(bytes.size(), room & ~std::size_t{3}));
  std::string body;
  Put32(body, 0);  // the interface
  Put32(body, static_cast<std::uint32_t>(microseconds >> 32));
  Put32(body, static_cast<std::uint32_t>(microseconds));
  Put32(body, static_cast<std::uint32_t>(bytes.size()));
  Put32(body, static_cast<std::uint32_t>(std::max(wireLength, bytes.size())));
  body.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Pad(body);
  std::string flags;
  Put32(flags, outgoing ? kOutbound : kInbound);
  PutOption(body, kOptionEpbFlags, flags);
  Put16(body, kOptionEnd);
  Put16(body, 0);
  std::string block = Block(kEnhancedPacket, std::move(body));
  while (!m_packets.empty() && FileSize() + block.size() > m_limit) {
    m_packetBytes -= m_packets.front().size();
    m_packets.pop_front();
  }
  m_packetBytes += block.size();
  m_packets.push_back(std::move(block));
}

std::string PcapngRing::File() const {
  std::string out;
  out.reserve(FileSize());
  out += m_header;
  for (const std::string& packet : m_packets) out += packet;
  return out;
}

}  // namespace observe
