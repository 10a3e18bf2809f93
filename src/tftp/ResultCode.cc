#include "tftp/ResultCode.h"

#include <algorithm>
#include <string_view>

namespace tftp {

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The "%x" conversion at the start of `text` into a 32-bit signed value.
std::optional<std::int32_t> ScanHex(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // A "0x" prefix; its "0" alone still counts as a number.
  bool digits = false;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    digits = true;
    i += 2;
  }
  std::uint64_t value = 0;
  for (int d; i < text.size() && (d = HexDigit(text[i])) >= 0; ++i) {
    digits = true;
    value = std::min<std::uint64_t>(value * 16 + static_cast<unsigned>(d), 0xFFFFFFFFu);
  }
  if (!digits) return std::nullopt;
  auto bits = static_cast<std::uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<std::int32_t>(bits);
}

}  // namespace

std::optional<int> ReadResultCode(std::span<const std::uint8_t> buffer) {
  auto end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});
  std::string_view text(reinterpret_cast<const char*>(buffer.data()),
                        static_cast<std::size_t>(end - buffer.begin()));
  std::size_t first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = text.find(':', first + 1);
  std::size_t start;
  if (second != std::string_view::npos)
    start = second + 1;
  else if (first == 0)
    return std::nullopt;
  else
    start = first + 1;
  std::int32_t code = ScanHex(text.substr(start)).value_or(-1);
  return code < 0 || code > 6 ? 7 : code;
}

}  // namespace tftp
