// The ICMP echo request the router probe sends, and the test for its reply.
// The same on every system; the sockets are each system's own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::size_t kEchoRequestSize = 40;
using EchoRequest = std::array<uint8_t, kEchoRequestSize>;

// The Internet checksum (RFC 1071) of `length` bytes: the one's complement of
// the one's-complement sum of the 16-bit big-endian words, an odd last byte
// counting as the high byte of a last word. Store it big-endian.
uint16_t IcmpChecksum(const void* buffer, std::size_t length);

// The echo request: type 8, code 0, checksum, `identifier` as little-endian
// bytes, sequence number 1 as the bytes 01 00, and the 32 data bytes "a".."z"
// followed by "a".."f".
EchoRequest BuildEchoRequest(uint16_t identifier);

// True when `packet`, an IPv4 packet as a raw ICMP socket receives it (the
// IPv4 header first), is an echo reply from `source` (a.b.c.d as the bytes
// a, b, c, d) that carries `identifier` and the sequence number as
// BuildEchoRequest wrote them.
bool IsEchoReplyFrom(std::span<const uint8_t> packet, const std::array<uint8_t, 4>& source,
                     uint16_t identifier);
