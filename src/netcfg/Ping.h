// The ICMP echo probe that tells when the router is back.
#pragma once

#include <cstdint>

#include "netcfg/EchoPacket.h"

// The low 16 bits of this process's id.
uint16_t EchoIdentifier();

enum class PingSocket {
  kRawOrDatagram,  // a raw ICMP socket; the unprivileged ping socket where that is refused
  kDatagramOnly,   // only the unprivileged ping socket
};

// One attempt: sends the request to the dotted IPv4 `address` and waits up to
// 0.3 s for an echo reply carrying our identifier; every other datagram
// starts a new wait. True when that reply came.
bool PingOnce(const char* address, PingSocket kind);
