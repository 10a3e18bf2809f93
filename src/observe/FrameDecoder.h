// The frames of the recovery link that the diagnosis looks at: ARP, IPv4 UDP
// from or to the TFTP port and the transfer ports, and ICMP. The decoder
// reads only within the bytes it is given and trusts no length field.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "observe/Events.h"
#include "tftp/TftpPacket.h"

namespace observe {

using tftp::kFirstTransferPort;
using tftp::kTftpPort;

// The frame's meaning, or nothing for a frame the observer does not look at
// (another protocol, other UDP ports, a later fragment) or cannot read.
// `outgoing` is left false.
std::optional<FrameInfo> DecodeFrame(std::span<const std::uint8_t> frame);

}  // namespace observe
