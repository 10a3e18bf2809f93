#include "console/Text.h"

#include <cstdio>
#include <vector>

namespace {

// Length of the valid UTF-8 sequence at `p` (1 to 4), or 0 when invalid.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t avail) {
  unsigned char c = p[0];
  std::size_t len;
  unsigned min;
  unsigned cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
  else return 0;
  if (avail < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  // Step back over continuation bytes to the start of the cut character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  if (cut == 0) return 0;
  // The character starting at `cut` does not fit; everything before does,
  // unless the step back went further than one character.
  return limit - cut <= 3 ? cut : limit;
}

std::string FormatConsoleText(const char* format, va_list args) {
  char buffer[kMaxFormatted + 1] = {};
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<std::size_t>(needed) <= kMaxFormatted) return std::string(buffer, needed);
  std::vector<char> full(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(full.data(), full.size(), format, args);
  std::string_view text(full.data(), static_cast<std::size_t>(needed));
  return std::string(text.substr(0, Utf8PrefixLength(text, kMaxFormatted)));
}

std::string FormatConsoleTextF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatConsoleText(format, args);
  va_end(args);
  return text;
}

std::string SanitizeForDisplay(std::string_view text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len = Utf8SequenceLength(p + i, text.size() - i);
    if (len == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    unsigned char c = p[i];
    bool control = (len == 1 && (c < 0x20 || c == 0x7F)) ||
                   (len == 2 && c == 0xC2 && p[i + 1] < 0xA0);  // C1 controls
    if (control) out += kReplacement;
    else out.append(text.data() + i, len);
    i += len;
  }
  return out;
}
