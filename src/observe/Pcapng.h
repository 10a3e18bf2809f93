// The frames the observer saw, as a pcapng file: a section header, one
// Ethernet interface, and an enhanced packet block per frame. Only the
// newest frames are kept, up to a size limit for the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>

namespace observe {

class PcapngRing {
 public:
  static constexpr std::size_t kDefaultLimit = 8u << 20;  // 8 MiB
  static constexpr std::uint32_t kSnapLength = 65535;

  // `interfaceName` names the capture's interface in the file.
  explicit PcapngRing(std::string interfaceName, std::size_t limit = kDefaultLimit);

  // One frame taken at `microseconds` since the epoch. The oldest frames go
  // when the file would grow past the limit; a frame that alone exceeds it is
  // cut to fit.
  void Add(std::uint64_t microseconds, bool outgoing, std::span<const std::uint8_t> bytes,
           std::size_t wireLength);

  // The whole file.
  std::string File() const;
  std::size_t FileSize() const { return m_header.size() + m_packetBytes; }
  std::size_t Frames() const { return m_packets.size(); }

 private:
  std::size_t m_limit;
  std::string m_header;  // the section header and interface description
  std::deque<std::string> m_packets;
  std::size_t m_packetBytes = 0;
};

}  // namespace observe
