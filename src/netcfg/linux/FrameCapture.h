// The network helper's capture of the recovery link: a packet socket on one
// adapter, behind a fixed classic BPF filter that the helper locks, which
// passes only the frames the diagnosis needs, cut to kSnapLength bytes, and
// at most kFramesPerSecond of them. The socket never leaves the helper; the
// frames go up to the program, which decodes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "netcfg/HelperProtocol.h"

namespace helper {

// A capture of one adapter's frames, as the helper holds it.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Readable (for poll) when frames wait.
  virtual int Descriptor() const = 0;
  // Reads at most `most` of the frames that wait and appends those within
  // the rate to `out`.
  virtual void Take(std::vector<CapturedFrame>& out, std::size_t most) = 0;
};

// At most kFramesPerSecond frames a second, in bursts of at most
// kFrameBurst, on the clock the caller reads (nanoseconds).
class FrameRate {
 public:
  bool Take(std::uint64_t nowNs);

 private:
  double m_tokens = kFrameBurst;
  std::uint64_t m_last = 0;
};

// The frames of the adapter with index `ifindex` that pass the filter:
// ARP; IPv4 UDP from or to port 69; IPv4 UDP from or to a transfer port
// (kFirstTransferPort and up) between two addresses of the router's subnet
// 192.168.1.0/24; ICMP from or to either router's address (192.168.1.1,
// 192.168.199.1); of IPv4 only first fragments. Null, with errno in
// `error`, when the socket cannot be had.
std::unique_ptr<FrameSource> OpenPacketCapture(int ifindex, int& error);

}  // namespace helper
