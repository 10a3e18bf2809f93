// The ICMP echo probe that tells when the router is back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

constexpr std::size_t kEchoRequestSize = 40;
using EchoRequest = std::array<uint8_t, kEchoRequestSize>;

// The Internet checksum (RFC 1071) of `length` bytes: the one's complement of
// the one's-complement sum of the 16-bit big-endian words, an odd last byte
// counting as the high byte of a last word. Store it big-endian.
uint16_t IcmpChecksum(const void* buffer, std::size_t length);

// The low 16 bits of this process's id.
uint16_t EchoIdentifier();

// The echo request: type 8, code 0, checksum, `identifier` as little-endian
// bytes, sequence number 1 as the bytes 01 00, and the 32 data bytes "a".."z"
// followed by "a".."f".
EchoRequest BuildEchoRequest(uint16_t identifier);

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
