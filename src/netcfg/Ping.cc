#include "netcfg/Ping.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/ScopedFd.h"

namespace {

constexpr int kReplyWaitMs = 300;
constexpr std::size_t kReplyBufferSize = 128;
constexpr uint8_t kEchoReply = 0;

struct EchoSocket {
  ScopedFd fd;
  bool raw = false;    // raw replies begin with the IPv4 header
  uint8_t id[2] = {};  // the identifier bytes a reply must carry
};

// A ping socket sends its own port as the identifier: ask for ours, and take
// what the kernel gives when another socket holds it.
bool BindPingSocket(EchoSocket& echo, const uint8_t wanted[2]) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  std::memcpy(&local.sin_port, wanted, 2);
  if (bind(echo.fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    local.sin_port = 0;
    if (bind(echo.fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  }
  socklen_t length = sizeof local;
  if (getsockname(echo.fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  std::memcpy(echo.id, &local.sin_port, 2);
  return true;
}

bool OpenEchoSocket(PingSocket kind, const uint8_t identifier[2], EchoSocket& echo) {
  if (kind == PingSocket::kRawOrDatagram) {
    echo.fd.Reset(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (echo.fd.valid()) {
      echo.raw = true;
      std::memcpy(echo.id, identifier, 2);
      return true;
    }
  }
  echo.fd.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
  return echo.fd.valid() && BindPingSocket(echo, identifier);
}

// The ICMP message in a received datagram, or null when it is too short.
const uint8_t* IcmpMessage(const EchoSocket& echo, const uint8_t* data, std::size_t length) {
  std::size_t offset = 0;
  if (echo.raw) {
    if (length < 1) return nullptr;
    offset = static_cast<std::size_t>(data[0] & 0x0f) * 4;
  }
  return length >= offset + 8 ? data + offset : nullptr;
}

bool IsOurReply(const EchoSocket& echo, const uint8_t* data, std::size_t length) {
  const uint8_t* icmp = IcmpMessage(echo, data, length);
  return icmp && icmp[0] == kEchoReply && icmp[4] == echo.id[0] && icmp[5] == echo.id[1];
}

// Waits up to the reply time for the socket to have a datagram (or an error,
// which the next read takes away).
bool WaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    int ready = poll(&entry, 1, kReplyWaitMs);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

}  // namespace

uint16_t EchoIdentifier() { return static_cast<uint16_t>(getpid() & 0xffff); }

bool PingOnce(const char* address, PingSocket kind) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  if (!address || inet_pton(AF_INET, address, &target.sin_addr) != 1) return false;
  EchoRequest request = BuildEchoRequest(EchoIdentifier());
  EchoSocket echo;
  if (!OpenEchoSocket(kind, &request[4], echo)) return false;
  ssize_t sent = sendto(echo.fd.get(), request.data(), request.size(), 0,
                        reinterpret_cast<sockaddr*>(&target), sizeof target);
  if (sent < 1) return false;
  for (;;) {
    if (!WaitReadable(echo.fd.get())) return false;
    uint8_t reply[kReplyBufferSize] = {};
    ssize_t n = recv(echo.fd.get(), reply, sizeof reply, 0);
    if (n > 0 && IsOurReply(echo, reply, static_cast<std::size_t>(n))) return true;
  }
}
