// What the listener makes of any datagram on its port.
#include <cstring>

#include "FuzzInput.h"
#include "tftp/TftpPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tftp::Request request = tftp::ClassifyRequest({data, size}, size);
  if (request.kind == tftp::Request::kIgnore) return 0;
  // A request names at most the bytes after its opcode, never a zero byte.
  Require(size <= tftp::kRequestMax && request.fileName.size() + 2 <= size);
  Require(std::memchr(request.fileName.data(), 0, request.fileName.size()) == nullptr);
  return 0;
}
