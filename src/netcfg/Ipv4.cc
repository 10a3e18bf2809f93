#include "netcfg/Ipv4.h"

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
  std::uint32_t value = 0;
  int parts = 0;
  std::size_t at = 0;
  while (parts < 4) {
    std::size_t start = at;
    unsigned part = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
      part = part * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    std::size_t digits = at - start;
    if (digits == 0 || part > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    value = value << 8 | part;
    if (++parts < 4) {
      if (at >= text.size() || text[at] != '.') return std::nullopt;
      ++at;
    }
  }
  if (at != text.size()) return std::nullopt;
  return value;
}

std::string FormatIpv4(std::uint32_t host) {
  return std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 0xff) + "." +
         std::to_string(host >> 8 & 0xff) + "." + std::to_string(host & 0xff);
}

bool IsHostAddress(std::uint32_t address) {
  std::uint32_t first = address >> 24;
  return first != 0 && first != 127 && first < 224;
}
