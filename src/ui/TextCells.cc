#include "ui/TextCells.h"

#include <langinfo.h>

#include <clocale>
#include <cstring>
#include <cwchar>

#include "console/Text.h"

namespace {

bool CtypeIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset && (!std::strcmp(codeset, "UTF-8") || !std::strcmp(codeset, "utf8"));
}

constexpr int kTabStop = 8;

}  // namespace

bool EnsureUtf8Ctype() {
  if (CtypeIsUtf8()) return true;
  if (std::setlocale(LC_CTYPE, "") && CtypeIsUtf8()) return true;
  return std::setlocale(LC_CTYPE, "C.UTF-8") && CtypeIsUtf8();
}

char32_t DecodeAt(std::string_view text, std::size_t pos, std::size_t& len) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  unsigned char lead = byte(0);
  std::size_t avail = text.size() - pos;
  if (lead < 0x80) {
    len = 1;
    return lead;
  }
  char32_t cp;
  if (lead >= 0xF0) { len = 4; cp = lead & 0x07; }
  else if (lead >= 0xE0) { len = 3; cp = lead & 0x0F; }
  else { len = 2; cp = lead & 0x1F; }
  if (len > avail) {  // not valid UTF-8; never split a read past the end
    len = 1;
    return 0xFFFD;
  }
  for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (byte(i) & 0x3F);
  return cp;
}

int CodePointWidth(char32_t cp) {
  int width = ::wcwidth(static_cast<wchar_t>(cp));
  // A code point the C library does not know still takes a cell on screen.
  return width < 0 ? 1 : width;
}

int DisplayWidth(std::string_view text) {
  int width = 0;
  std::size_t len;
  for (std::size_t pos = 0; pos < text.size(); pos += len) {
    width += CodePointWidth(DecodeAt(text, pos, len));
  }
  return width;
}

std::string DisplayLine(std::string_view raw) {
  std::string out;
  int width = 0;
  for (;;) {
    std::size_t tab = raw.find('\t');
    std::string piece = SanitizeForDisplay(raw.substr(0, tab));
    out += piece;
    if (tab == std::string_view::npos) return out;
    width += DisplayWidth(piece);
    int spaces = kTabStop - width % kTabStop;
    out.append(static_cast<std::size_t>(spaces), ' ');
    width += spaces;
    raw.remove_prefix(tab + 1);
  }
}

std::string CellSlice(std::string_view text, int offset, int width) {
  std::string out;
  const int end = offset + width;
  int column = 0;
  bool lastShown = false;  // the previous character was copied whole
  std::size_t len;
  for (std::size_t pos = 0; pos < text.size(); pos += len) {
    int w = CodePointWidth(DecodeAt(text, pos, len));
    if (w == 0) {
      // A combining mark belongs to the character before it.
      if (lastShown) out.append(text.substr(pos, len));
      continue;
    }
    if (column >= end) break;
    int start = column;
    column += w;
    lastShown = false;
    if (column <= offset) continue;
    if (start < offset || column > end) {
      int from = start < offset ? offset : start;
      int to = column > end ? end : column;
      out.append(static_cast<std::size_t>(to - from), ' ');
    } else {
      out.append(text.substr(pos, len));
      lastShown = true;
    }
  }
  return out;
}

std::vector<std::string> WrapToWidth(std::string_view raw, int width) {
  std::vector<std::string> lines;
  for (;;) {
    std::size_t nl = raw.find('\n');
    std::string_view para = raw.substr(0, nl);
    if (!para.empty() && para.back() == '\r') para.remove_suffix(1);
    std::string text = DisplayLine(para);
    std::string line;
    int column = 0;
    std::size_t len;
    for (std::size_t pos = 0; pos < text.size(); pos += len) {
      int w = CodePointWidth(DecodeAt(text, pos, len));
      if (column + w > width && !line.empty() && w > 0) {
        lines.push_back(std::move(line));
        line.clear();
        column = 0;
      }
      line.append(text, pos, len);
      column += w;
    }
    lines.push_back(std::move(line));
    if (nl == std::string_view::npos) return lines;
    raw.remove_prefix(nl + 1);
  }
}
