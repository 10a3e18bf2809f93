#include "tftp/TftpPacket.h"

#include <algorithm>

namespace tftp {

Header ReadHeader(std::span<const std::uint8_t> datagram) {
  std::uint8_t bytes[kHeaderSize] = {};
  std::copy_n(datagram.begin(), std::min(datagram.size(), kHeaderSize), bytes);
  return {ReadU16(bytes), ReadU16(bytes + 2)};
}

std::string BuildError(std::uint16_t code, std::string_view text) {
  std::string packet(kHeaderSize, '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(packet.data());
  WriteU16(p, kError);
  WriteU16(p + 2, code);
  packet.append(text);
  packet.push_back('\0');
  return packet;
}

Request ClassifyRequest(std::span<const std::uint8_t> datagram, std::size_t length) {
  Request request;
  std::uint16_t opcode = ReadHeader(datagram.first(std::min(datagram.size(), length))).opcode;
  if (opcode != kReadRequest && opcode != kWriteRequest) return request;
  request.overLong = length > kRequestMax;
  if (request.overLong || datagram.size() < length) return request;
  datagram = datagram.first(length);
  request.kind = opcode == kReadRequest ? Request::kRead : Request::kWrite;
  auto name = datagram.size() > 2 ? datagram.subspan(2) : std::span<const std::uint8_t>{};
  auto end = std::find(name.begin(), name.end(), std::uint8_t{0});
  request.fileName.assign(name.begin(), end);
  return request;
}

}  // namespace tftp
