// An IPv4 UDP socket that closes itself.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/linux/ScopedFd.h"

namespace tftp {

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b);

class UdpSocket {
 public:
  UdpSocket() = default;
  // Takes ownership of `fd` (-1 for none).
  explicit UdpSocket(int fd) : m_fd(fd) {}

  // A new blocking UDP socket; not valid() when none could be created.
  static UdpSocket Open();

  bool valid() const { return m_fd.get() >= 0; }
  int fd() const { return m_fd.get(); }

  // Binds to 0.0.0.0 and `port` (0: a port the system chooses).
  bool Bind(std::uint16_t port) const;
  // Binds to `address`:`port` (host byte order).
  bool Bind(std::uint32_t address, std::uint16_t port) const;
  // The bound port, 0 when unknown.
  std::uint16_t LocalPort() const;
  // Answers on the adapter `other` is bound to, when it is bound to one.
  // Before Bind. False when the binding cannot be copied.
  bool BindToDeviceOf(const UdpSocket& other) const;

  // One datagram; the byte count sent or -1.
  ssize_t SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const;

  // One datagram into `buffer`; the longer part of a datagram that does not
  // fit is dropped. `length` receives the datagram's whole length.
  enum class Receive {
    kDatagram,
    kExpired,      // nothing came within the time given
    kInterrupted,  // a signal came first: try again with the time left
    kFailed,
  };
  // Waits at most `timeout` (0: takes only what is there already). The wait
  // is the receive itself, so the data path costs one call per datagram;
  // the timeout is only set on the socket when it changes.
  Receive ReceiveWithin(std::span<std::uint8_t> buffer, sockaddr_in& from, std::size_t& length,
                        std::chrono::microseconds timeout);
  // The same without waiting.
  Receive ReceiveNow(std::span<std::uint8_t> buffer, sockaddr_in& from, std::size_t& length) {
    return ReceiveWithin(buffer, from, length, std::chrono::microseconds::zero());
  }

 private:
  bool SetReceiveTimeout(std::chrono::microseconds timeout);

  ScopedFd m_fd;
  std::chrono::microseconds m_receiveTimeout{0};  // 0: none set (wait forever)
};

}  // namespace tftp
