// An IPv4 UDP socket that closes itself. Each system has its own
// implementation (UdpSocket.cc, win32/UdpSocket.cc); the transfers above it
// are the same everywhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "os/Sockets.h"

namespace tftp {

inline bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

class UdpSocket {
 public:
  UdpSocket() = default;
  // Takes ownership of `sock`.
  explicit UdpSocket(NativeSocket sock) : m_fd(sock) {}

  // A new blocking UDP socket; not valid() when none could be created. No
  // other program can bind the same port while it holds one.
  static UdpSocket Open();

  bool valid() const { return m_fd.valid(); }
  NativeSocket fd() const { return m_fd.get(); }

  // Binds to 0.0.0.0 and `port` (0: a port the system chooses).
  bool Bind(std::uint16_t port) const;
  // Binds to `address`:`port` (host byte order).
  bool Bind(std::uint32_t address, std::uint16_t port) const;
  // The bound port, 0 when unknown.
  std::uint16_t LocalPort() const;
  // Answers on the adapter `other` is bound to, when it is bound to one.
  // Before Bind. False when the binding cannot be copied.
  bool BindToDeviceOf(const UdpSocket& other);
  // Windows, where a socket cannot be bound to an adapter: takes only the
  // datagrams that arrive on the adapter with the system's interface index
  // `index`; any other is read and dropped (its receive reports
  // kInterrupted). Before Bind. Linux binds the listener to its adapter
  // instead, and this fails there.
  bool AcceptOnlyFrom(std::uint32_t index);

  // One datagram; the byte count sent or -1.
  ssize_t SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const;

  // One datagram into `buffer`; the longer part of a datagram that does not
  // fit is dropped. `length` receives the datagram's whole length (at least
  // more than the buffer's size when it did not fit).
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
  friend class WaitBreaker;
  bool SetReceiveTimeout(std::chrono::microseconds timeout);

  ScopedSocket m_fd;
  std::chrono::microseconds m_receiveTimeout{0};  // 0: none set (wait forever)
  bool m_nonBlocking = false;  // Windows: the socket's mode is switched for a wait of 0
  std::uint32_t m_interface = 0;  // Windows: the adapter datagrams must arrive on; 0: any
};

enum class Ready { kReadable, kBroken, kNothing };
class WaitBreaker;
// Waits without a time limit until `sock` is readable or `breaker` broken;
// kNothing when the wait ended for neither (try again).
Ready WaitReadable(const UdpSocket& sock, const WaitBreaker& breaker);

// Ends a wait for a socket from another thread, for good.
class WaitBreaker {
 public:
  WaitBreaker();
  WaitBreaker(const WaitBreaker&) = delete;
  WaitBreaker& operator=(const WaitBreaker&) = delete;
  void Break();

 private:
  friend Ready WaitReadable(const UdpSocket& sock, const WaitBreaker& breaker);
  ScopedSocket m_handle;  // an eventfd on Linux, a loopback socket on Windows
  ScopedSocket m_sender;  // Windows only: sends the loopback socket its datagram
};

}  // namespace tftp
