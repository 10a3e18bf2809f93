// A file descriptor that is closed when its owner goes away.
#pragma once

#include <unistd.h>

#include <utility>

class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : m_fd(fd) {}
  ScopedFd(ScopedFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { Reset(); }

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};
