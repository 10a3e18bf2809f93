// Reading and writing a whole block through a descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Reads exactly `size` bytes; false on an error or an early end of file.
inline bool ReadFull(int fd, void* data, std::size_t size) {
  auto* p = static_cast<unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the whole block; false on any failure, a full disk included.
inline bool WriteFull(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}
