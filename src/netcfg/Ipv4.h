// IPv4 addresses as dotted text and as host-order numbers, the same on every
// system (no socket library needed).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Four decimal numbers of 0 to 255 separated by dots, without leading zeros
// or anything else; nothing otherwise.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
inline bool IsIpv4(std::string_view text) { return ParseIpv4(text).has_value(); }
std::string FormatIpv4(std::uint32_t host);
// An address a host may have: not in 0/8 or 127/8, not multicast or reserved
// (`address` in host byte order).
bool IsHostAddress(std::uint32_t address);
