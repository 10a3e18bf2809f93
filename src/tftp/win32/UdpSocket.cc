// The UDP socket on Winsock 2.
#include "tftp/UdpSocket.h"

#include <mstcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <atomic>

namespace tftp {

namespace {

// Whether an ICMP "port unreachable" fails the next receive (MinGW's headers
// lack the name): _WSAIOW(IOC_VENDOR, 12).
constexpr DWORD kUdpConnReset = IOC_IN | IOC_VENDOR | 12;

// WSARecvMsg, the one receive that tells the adapter a datagram came in on;
// null when Winsock does not offer it.
LPFN_WSARECVMSG ReceiveMessage(SOCKET sock) {
  static std::atomic<LPFN_WSARECVMSG> function{nullptr};
  if (LPFN_WSARECVMSG known = function.load()) return known;
  GUID id = WSAID_WSARECVMSG;
  LPFN_WSARECVMSG found = nullptr;
  DWORD bytes = 0;
  if (::WSAIoctl(sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found, &bytes, nullptr,
                 nullptr) != 0) {
    return nullptr;
  }
  function = found;
  return found;
}

sockaddr_in Ipv4(std::uint32_t address, std::uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(address);
  local.sin_port = htons(port);
  return local;
}

}  // namespace

UdpSocket UdpSocket::Open() {
  if (!StartWinsock()) return UdpSocket();
  UdpSocket sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!sock.valid()) return sock;
  // Nobody else may bind the port while we hold it, not even a program that
  // asks to share it (SO_REUSEADDR): the router's requests are ours.
  BOOL on = TRUE;
  if (::setsockopt(sock.fd(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    return UdpSocket();
  }
  // Windows reports an ICMP "port unreachable" for an earlier datagram as a
  // failed receive; a TFTP peer that closed its port is no reason for that.
  BOOL off = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(sock.fd(), kUdpConnReset, &off, sizeof off, nullptr, 0, &returned, nullptr,
             nullptr);
  return sock;
}

bool UdpSocket::Bind(std::uint16_t port) const { return Bind(INADDR_ANY, port); }

bool UdpSocket::Bind(std::uint32_t address, std::uint16_t port) const {
  sockaddr_in local = Ipv4(address, port);
  return ::bind(fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

std::uint16_t UdpSocket::LocalPort() const {
  sockaddr_in local{};
  int length = sizeof local;
  if (::getsockname(fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

// Winsock binds no socket to an adapter: a transfer takes datagrams only
// from the adapter its listener takes them from.
bool UdpSocket::BindToDeviceOf(const UdpSocket& other) {
  return other.m_interface == 0 || AcceptOnlyFrom(other.m_interface);
}

bool UdpSocket::AcceptOnlyFrom(std::uint32_t index) {
  DWORD on = 1;
  if (index == 0 || !ReceiveMessage(fd()) ||
      ::setsockopt(fd(), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return false;
  }
  m_interface = index;
  return true;
}

ssize_t UdpSocket::SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const {
  int sent = ::sendto(fd(), reinterpret_cast<const char*>(bytes.data()),
                      static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to);
  return sent == SOCKET_ERROR ? -1 : sent;
}

bool UdpSocket::SetReceiveTimeout(std::chrono::microseconds timeout) {
  if (timeout == m_receiveTimeout) return true;
  // Windows counts whole milliseconds; a shorter wait still waits one.
  auto ms = std::max<std::chrono::milliseconds::rep>(
      std::chrono::ceil<std::chrono::milliseconds>(timeout).count(), 1);
  DWORD value = static_cast<DWORD>(ms);
  if (::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0) {
    return false;
  }
  m_receiveTimeout = timeout;
  return true;
}

UdpSocket::Receive UdpSocket::ReceiveWithin(std::span<std::uint8_t> buffer, sockaddr_in& from,
                                            std::size_t& length,
                                            std::chrono::microseconds timeout) {
  // A wait of 0 is a receive on a non-blocking socket; any other is a blocking
  // receive with the socket's timeout. The mode only changes when it must.
  bool nonBlocking = timeout.count() <= 0;
  if (nonBlocking != m_nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    if (::ioctlsocket(fd(), FIONBIO, &mode) != 0) return Receive::kFailed;
    m_nonBlocking = nonBlocking;
  }
  if (!nonBlocking && !SetReceiveTimeout(timeout)) return Receive::kFailed;
  int size = sizeof from;
  from = sockaddr_in{};
  int got;
  std::uint32_t arrivedOn = 0;
  if (m_interface == 0) {
    got = ::recvfrom(fd(), reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&from), &size);
  } else {
    // The datagram with the adapter it came in on.
    WSABUF data{static_cast<ULONG>(buffer.size()), reinterpret_cast<char*>(buffer.data())};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&from);
    message.namelen = size;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = {sizeof control, control};
    DWORD bytes = 0;
    got = ReceiveMessage(fd())(fd(), &message, &bytes, nullptr, nullptr) == 0 ? static_cast<int>(bytes) : SOCKET_ERROR;
    // A datagram (whole or cut) carries its control data; a failed receive
    // leaves the buffer as it was.
    int error = got == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    for (WSACMSGHDR* c = got != SOCKET_ERROR || error == WSAEMSGSIZE ? WSA_CMSG_FIRSTHDR(&message) : nullptr;
         c && c->cmsg_len >= sizeof *c; c = WSA_CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        arrivedOn = reinterpret_cast<const IN_PKTINFO*>(WSA_CMSG_DATA(c))->ipi_ifindex;
      }
    }
    ::WSASetLastError(error);
  }
  int error = got == SOCKET_ERROR ? ::WSAGetLastError() : 0;
  if ((got != SOCKET_ERROR || error == WSAEMSGSIZE) && m_interface != 0 && arrivedOn != m_interface) {
    return Receive::kInterrupted;  // another adapter's datagram: dropped
  }
  if (got != SOCKET_ERROR) {
    length = static_cast<std::size_t>(got);
    return Receive::kDatagram;
  }
  switch (error) {
    case WSAEMSGSIZE:  // the buffer holds the datagram's first part
      length = buffer.size() + 1;
      return Receive::kDatagram;
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT:
      return Receive::kExpired;
    case WSAEINTR:
    case WSAECONNRESET:  // an ICMP error for an earlier datagram
    case WSAENETRESET:
      return Receive::kInterrupted;
    default:
      return Receive::kFailed;
  }
}

// The breaker is a loopback socket that a datagram makes readable.
WaitBreaker::WaitBreaker() {
  UdpSocket receiver = UdpSocket::Open();
  UdpSocket sender = UdpSocket::Open();
  if (!receiver.valid() || !sender.valid() || !receiver.Bind(INADDR_LOOPBACK, 0)) return;
  m_handle = std::move(receiver.m_fd);
  m_sender = std::move(sender.m_fd);
}

void WaitBreaker::Break() {
  if (!m_handle.valid() || !m_sender.valid()) return;
  sockaddr_in to{};
  int length = sizeof to;
  if (::getsockname(m_handle.get(), reinterpret_cast<sockaddr*>(&to), &length) != 0) return;
  char byte = 1;
  ::sendto(m_sender.get(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

Ready WaitReadable(const UdpSocket& sock, const WaitBreaker& breaker) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock.fd(), &readable);
  if (breaker.m_handle.valid()) FD_SET(breaker.m_handle.get(), &readable);
  if (::select(0, &readable, nullptr, nullptr, nullptr) <= 0) return Ready::kNothing;
  if (breaker.m_handle.valid() && FD_ISSET(breaker.m_handle.get(), &readable)) return Ready::kBroken;
  return FD_ISSET(sock.fd(), &readable) ? Ready::kReadable : Ready::kNothing;
}

}  // namespace tftp
