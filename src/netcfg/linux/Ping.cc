#include "netcfg/linux/Ping.h"

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include "platform/linux/ScopedFd.h"

namespace {

constexpr int kReplyWaitMs = 300;
constexpr std::size_t kReplyBufferSize = 128;
constexpr uint8_t kEchoReply = 0;

struct EchoSocket {
  ScopedFd fd;
  bool raw = false;    // raw replies begin with the IPv4 header
  uint8_t id[2] = {};  // the identifier bytes a reply must carry
  in_addr target{};    // where the request went and the reply must come from
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
    // Only echo replies reach its queue.
    icmp_filter filter{~(1u << ICMP_ECHOREPLY)};
    if (echo.fd.valid() && setsockopt(echo.fd.get(), SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0) {
      echo.raw = true;
      std::memcpy(echo.id, identifier, 2);
      return true;
    }
  }
  echo.fd.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
  return echo.fd.valid() && BindPingSocket(echo, identifier);
}

// An echo reply from the target with our identifier and the sequence number
// of our request (1, as the bytes 01 00).
bool IsOurReply(const EchoSocket& echo, std::span<const uint8_t> data, const sockaddr_in& from) {
  if (from.sin_family != AF_INET || from.sin_addr.s_addr != echo.target.s_addr) return false;
  if (echo.raw) {
    std::array<uint8_t, 4> source;
    std::memcpy(source.data(), &echo.target, 4);
    return IsEchoReplyFrom(data, source, static_cast<uint16_t>(echo.id[0] | echo.id[1] << 8));
  }
  // A ping socket's datagram is the ICMP message alone.
  return data.size() >= 8 && data[0] == kEchoReply && data[4] == echo.id[0] &&
         data[5] == echo.id[1] && data[6] == 1 && data[7] == 0;
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

bool PingOnce(const char* address, PingSocket kind, const std::string& ifname) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  if (!address || inet_pton(AF_INET, address, &target.sin_addr) != 1) return false;
  EchoRequest request = BuildEchoRequest(EchoIdentifier());
  EchoSocket echo;
  echo.target = target.sin_addr;
  if (!OpenEchoSocket(kind, &request[4], echo)) return false;
  if (!ifname.empty() && setsockopt(echo.fd.get(), SOL_SOCKET, SO_BINDTODEVICE, ifname.c_str(),
                                    static_cast<socklen_t>(ifname.size() + 1)) != 0) {
    return false;
  }
  // Connected, the socket takes datagrams from the target only.
  if (connect(echo.fd.get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) return false;
  ssize_t sent = send(echo.fd.get(), request.data(), request.size(), 0);
  if (sent < 1) return false;
  for (;;) {
    if (!WaitReadable(echo.fd.get())) return false;
    uint8_t reply[kReplyBufferSize] = {};
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(echo.fd.get(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
    if (n > 0 && IsOurReply(echo, {reply, static_cast<std::size_t>(n)}, from)) return true;
  }
}
