#include "netcfg/EchoPacket.h"

#include <algorithm>

namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kIcmpProtocol = 1;

}  // namespace

uint16_t IcmpChecksum(const void* buffer, std::size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += (bytes[i] << 8) | bytes[i + 1];
  if (length % 2) sum += bytes[length - 1] << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

EchoRequest BuildEchoRequest(uint16_t identifier) {
  EchoRequest request{};
  request[0] = 8;
  request[1] = 0;
  request[4] = static_cast<uint8_t>(identifier & 0xff);
  request[5] = static_cast<uint8_t>(identifier >> 8);
  request[6] = 1;
  request[7] = 0;
  for (std::size_t i = 0; i < 32; ++i) request[8 + i] = static_cast<uint8_t>('a' + i % 26);
  uint16_t checksum = IcmpChecksum(request.data(), request.size());
  request[2] = static_cast<uint8_t>(checksum >> 8);
  request[3] = static_cast<uint8_t>(checksum & 0xff);
  return request;
}

bool IsEchoReplyFrom(std::span<const uint8_t> packet, const std::array<uint8_t, 4>& source,
                     uint16_t identifier) {
  if (packet.size() < 20 || (packet[0] >> 4) != 4) return false;
  std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
  if (headerLength < 20 || packet.size() < headerLength + 8) return false;
  if (packet[9] != kIcmpProtocol || !std::equal(source.begin(), source.end(), &packet[12])) {
    return false;
  }
  const uint8_t* icmp = &packet[headerLength];
  return icmp[0] == kEchoReply && icmp[4] == (identifier & 0xff) && icmp[5] == (identifier >> 8) &&
         icmp[6] == 1 && icmp[7] == 0;
}
