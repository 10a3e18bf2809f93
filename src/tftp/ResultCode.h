// Reading the result code from the router's "recovery-result" report.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace tftp {

// The report is the text up to the first zero byte of `buffer` (all of it when
// there is none). The code is the hexadecimal number right after the second
// ":" (after the first one when there is only one, unless it opens the
// text), read like scanf's "%x": white space, a sign and "0x" may precede it.
// Returns 0 to 6 as read and 7 for anything else (a negative value, a value
// above 6, no number); no value at all when the report cannot be read.
// A number that does not fit in 32 bits counts as 0xFFFFFFFF (that is -1).
std::optional<int> ReadResultCode(std::span<const std::uint8_t> buffer);

}  // namespace tftp
