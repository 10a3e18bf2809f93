// Helpers of the fuzz targets. FuzzInput splits a fuzzer's input into a
// sequence of datagrams: each is led by two length bytes and holds at most a
// whole TFTP packet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tftp/TftpPacket.h"

// Stops the run as a crash when an invariant does not hold.
inline void Require(bool holds) {
  if (!holds) std::abort();
}

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : m_rest(data, size) {}

  bool Empty() const { return m_rest.empty(); }

  // The next `count` bytes as a big-endian number (missing bytes are zero).
  std::uint32_t Number(std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      value = value << 8 | (m_rest.empty() ? 0 : m_rest[0]);
      if (!m_rest.empty()) m_rest = m_rest.subspan(1);
    }
    return value;
  }

  std::span<const std::uint8_t> Datagram() {
    std::size_t length = Number(2) % (tftp::kPacketMax + 1);
    length = std::min(length, m_rest.size());
    auto datagram = m_rest.first(length);
    m_rest = m_rest.subspan(length);
    return datagram;
  }

 private:
  std::span<const std::uint8_t> m_rest;
};
