// The system's socket headers and an owned socket, on Windows (Winsock 2).
#pragma once

#include "platform/windows/Win32.h"
// Win32.h comes first: it includes <windows.h> in the program's own way.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <sys/types.h>

#include <utility>

using NativeSocket = SOCKET;

// Starts Winsock 2.2 once for the whole process; later calls return the first
// call's result. The library stays initialised until the process ends.
bool StartWinsock();

// A socket that is closed when its owner goes away.
class ScopedSocket {
 public:
  ScopedSocket() = default;
  explicit ScopedSocket(SOCKET sock) : m_sock(sock) {}
  ScopedSocket(ScopedSocket&& other) noexcept : m_sock(std::exchange(other.m_sock, INVALID_SOCKET)) {}
  ScopedSocket& operator=(ScopedSocket&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_sock, INVALID_SOCKET));
    return *this;
  }
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;
  ~ScopedSocket() { Reset(); }

  SOCKET get() const { return m_sock; }
  bool valid() const { return m_sock != INVALID_SOCKET; }
  void Reset(SOCKET sock = INVALID_SOCKET) {
    if (m_sock != INVALID_SOCKET) ::closesocket(m_sock);
    m_sock = sock;
  }

 private:
  SOCKET m_sock = INVALID_SOCKET;
};
