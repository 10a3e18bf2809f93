// The ICMP echo probe that tells when the router is back.
#pragma once

#include <cstdint>
#include <string>

#include "netcfg/EchoPacket.h"

// The low 16 bits of this process's id.
uint16_t EchoIdentifier();

enum class PingSocket {
  kRawOrDatagram,  // a raw ICMP socket (the network helper's); the ping socket where that is refused
  kDatagramOnly,   // only the unprivileged ping socket (the program's own)
};

// One attempt: sends the request to the dotted IPv4 `address` and waits up to
// 0.3 s for an echo reply from that address carrying our identifier and
// sequence number; every other datagram starts a new wait. True when that
// reply came. With `ifname`, the request leaves through that adapter only.
bool PingOnce(const char* address, PingSocket kind, const std::string& ifname = "");
