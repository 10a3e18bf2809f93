#include "tftp/UdpSocket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

namespace tftp {

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (m_fd >= 0) ::close(m_fd);
}

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

ssize_t UdpSocket::SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const {
  return ::sendto(fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

UdpSocket::Wait UdpSocket::WaitReadable(std::chrono::steady_clock::time_point deadline) const {
  using namespace std::chrono;
  for (;;) {
    auto left = duration_cast<nanoseconds>(deadline - steady_clock::now());
    if (left.count() < 0) left = nanoseconds::zero();
    timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                     static_cast<long>(left.count() % 1'000'000'000)};
    pollfd entry{fd(), POLLIN, 0};
    int ready = ::ppoll(&entry, 1, &timeout, nullptr);
    if (ready > 0) return entry.revents & POLLNVAL ? Wait::kFailed : Wait::kReadable;
    if (ready == 0) return Wait::kExpired;
    if (errno != EINTR) return Wait::kFailed;
  }
}

ssize_t UdpSocket::ReceiveFrom(std::span<std::uint8_t> buffer, sockaddr_in& from,
                               std::size_t* fullLength) const {
  socklen_t length = sizeof from;
  from = sockaddr_in{};
  // MSG_TRUNC makes the call report the datagram's real length.
  ssize_t got = ::recvfrom(fd(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&from), &length);
  if (got < 0) return -1;
  if (fullLength) *fullLength = static_cast<std::size_t>(got);
  return std::min<ssize_t>(got, static_cast<ssize_t>(buffer.size()));
}

}  // namespace tftp
