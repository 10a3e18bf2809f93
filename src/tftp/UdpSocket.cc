#include "tftp/UdpSocket.h"

#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace tftp {

UdpSocket UdpSocket::Open() { return UdpSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

bool UdpSocket::Bind(std::uint16_t port) const { return Bind(INADDR_ANY, port); }

bool UdpSocket::Bind(std::uint32_t address, std::uint16_t port) const {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(address);
  local.sin_port = htons(port);
  return ::bind(fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

std::uint16_t UdpSocket::LocalPort() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

bool UdpSocket::BindToDeviceOf(const UdpSocket& other) {
  char device[IFNAMSIZ] = {};
  socklen_t length = sizeof device;
  if (::getsockopt(other.fd(), SOL_SOCKET, SO_BINDTODEVICE, device, &length) != 0) return false;
  if (device[0] == '\0') return true;  // on every adapter
  return ::setsockopt(fd(), SOL_SOCKET, SO_BINDTODEVICE, device,
                      static_cast<socklen_t>(std::strlen(device) + 1)) == 0;
}

bool UdpSocket::AcceptOnlyFrom(std::uint32_t) { return false; }

ssize_t UdpSocket::SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const {
  return ::sendto(fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

bool UdpSocket::SetReceiveTimeout(std::chrono::microseconds timeout) {
  if (timeout == m_receiveTimeout) return true;
  timeval value{static_cast<time_t>(timeout.count() / 1'000'000),
                static_cast<suseconds_t>(timeout.count() % 1'000'000)};
  if (::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) return false;
  m_receiveTimeout = timeout;
  return true;
}

UdpSocket::Receive UdpSocket::ReceiveWithin(std::span<std::uint8_t> buffer, sockaddr_in& from,
                                            std::size_t& length,
                                            std::chrono::microseconds timeout) {
  // MSG_TRUNC makes the call report the datagram's real length.
  int flags = MSG_TRUNC;
  if (timeout.count() <= 0)
    flags |= MSG_DONTWAIT;
  else if (!SetReceiveTimeout(timeout))
    return Receive::kFailed;
  socklen_t size = sizeof from;
  from = sockaddr_in{};
  ssize_t got = ::recvfrom(fd(), buffer.data(), buffer.size(), flags,
                           reinterpret_cast<sockaddr*>(&from), &size);
  if (got >= 0) {
    length = static_cast<std::size_t>(got);
    return Receive::kDatagram;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return Receive::kExpired;
  return errno == EINTR ? Receive::kInterrupted : Receive::kFailed;
}

WaitBreaker::WaitBreaker() : m_handle(::eventfd(0, EFD_CLOEXEC)) {}

void WaitBreaker::Break() {
  std::uint64_t one = 1;
  if (::write(m_handle.get(), &one, sizeof one) < 0) {
    // Without the wake-up the wait still ends at the socket's next datagram.
  }
}

Ready WaitReadable(const UdpSocket& sock, const WaitBreaker& breaker) {
  pollfd entries[] = {{sock.fd(), POLLIN, 0}, {breaker.m_handle.get(), POLLIN, 0}};
  if (::poll(entries, 2, -1) <= 0) return Ready::kNothing;
  if (entries[1].revents) return Ready::kBroken;
  return entries[0].revents ? Ready::kReadable : Ready::kNothing;
}

}  // namespace tftp
