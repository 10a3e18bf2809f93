// The ICMP echo probe that tells when the router is back.
#pragma once

#include <cstdint>
#include <functional>

#include "netcfg/EchoPacket.h"

// The low 16 bits of this process's id.
uint16_t EchoIdentifier();

enum class PingSocket {
  kRawOrDatagram,  // a raw ICMP socket; the unprivileged ping socket where that is refused
  kDatagramOnly,   // only the unprivileged ping socket
};

// One attempt: sends the request to the dotted IPv4 `address` and waits up to
// 0.3 s for an echo reply from that address carrying our identifier and
// sequence number; every other datagram starts a new wait. True when that
// reply came. The raw socket comes from `openRaw` when it is given (the
// network helper's; -1 when there is none), else the attempt opens one.
bool PingOnce(const char* address, PingSocket kind, const std::function<int()>& openRaw = {});
