#include "firmware/NlohmannRomInfo.h"

#include "firmware/CloudQuery.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace {

using json = nlohmann::json;

// The jsoncpp reader gives up on a value nested deeper than this.
constexpr std::size_t kMaxDepth = 1000;

// One top-level member as far as the release record cares.
struct Member {
  enum Kind { kNull, kBool, kInt, kUnsigned, kReal, kString, kContainer };
  explicit Member(Kind k = kNull) : kind(k) {}
  Kind kind;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsignedInteger = 0;
  double real = 0;
  std::string text;
};

// Collects the members of the top-level object; nested values only count
// their depth. Returning false stops the parser (the answer is unusable).
class MemberCollector {
 public:
  bool null() { return Scalar(Member{}); }
  bool boolean(bool value) {
    Member m(Member::kBool);
    m.boolean = value;
    return Scalar(m);
  }
  bool number_integer(json::number_integer_t value) {
    Member m(Member::kInt);
    m.integer = value;
    return Scalar(m);
  }
  bool number_unsigned(json::number_unsigned_t value) {
    Member m(Member::kUnsigned);
    m.unsignedInteger = value;
    return Scalar(m);
  }
  bool number_float(json::number_float_t value, const json::string_t&) {
    if (!std::isfinite(value)) return false;  // beyond the range of a double
    Member m(Member::kReal);
    m.real = value;
    return Scalar(m);
  }
  bool string(json::string_t& value) {
    Member m(Member::kString);
    m.text = std::move(value);
    return Scalar(m);
  }
  bool binary(json::binary_t&) { return false; }  // not in JSON text
  bool start_object(std::size_t) { return Open(true); }
  bool key(json::string_t& name) {
    if (m_open == 1) m_key = std::move(name);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool rootIsObject() const { return m_rootIsObject; }
  const std::map<std::string, Member>& members() const { return m_members; }

 private:
  bool Scalar(const Member& value) {
    if (m_open >= kMaxDepth) return false;
    if (m_open == 1) m_members[m_key] = value;  // a later duplicate wins
    return true;
  }
  bool Open(bool object) {
    if (m_open >= kMaxDepth) return false;
    if (m_open == 0) m_rootIsObject = object;
    if (m_open == 1) m_members[m_key] = Member(Member::kContainer);
    ++m_open;
    return true;
  }
  bool Close() {
    --m_open;
    return true;
  }

  std::size_t m_open = 0;
  bool m_rootIsObject = false;
  std::string m_key;
  std::map<std::string, Member> m_members;
};

// Length of the well-formed UTF-8 sequence at `p`, or 0.
std::size_t Utf8Length(const unsigned char* p) {
  unsigned char c = p[0];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) len = 2;
  else if (c == 0xE0) { len = 3; lo = 0xA0; }
  else if (c == 0xED) { len = 3; hi = 0x9F; }
  else if (c >= 0xE1 && c <= 0xEF) len = 3;
  else if (c == 0xF0) { len = 4; lo = 0x90; }
  else if (c == 0xF4) { len = 4; hi = 0x8F; }
  else if (c >= 0xF1 && c <= 0xF3) len = 4;
  else return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return len;
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Reads a number the way the jsoncpp reader does (an optional "-", digits,
// optionally "." and digits, optionally "e" or "E", a sign and digits, where
// each run of digits may be empty or start with zeros) and appends it in the
// strict form of the same value, complete up to its last character so that
// nothing after it can join it. Returns the length read.
std::size_t CopyNumber(const unsigned char* p, std::string& out) {
  const unsigned char* start = p;
  bool negative = *p == '-';
  if (negative) ++p;
  const unsigned char* whole = p;
  while (IsDigit(*p)) ++p;
  std::string_view wholeDigits(reinterpret_cast<const char*>(whole), static_cast<std::size_t>(p - whole));
  bool point = *p == '.';
  std::string_view fraction;
  if (point) {
    const unsigned char* f = ++p;
    while (IsDigit(*p)) ++p;
    fraction = std::string_view(reinterpret_cast<const char*>(f), static_cast<std::size_t>(p - f));
  }
  std::string exponent;
  bool hasExponent = *p == 'e' || *p == 'E';
  if (hasExponent) {
    ++p;
    if (*p == '+' || *p == '-') exponent += static_cast<char>(*p++);
    const unsigned char* e = p;
    while (IsDigit(*p)) ++p;
    exponent.append(reinterpret_cast<const char*>(e), static_cast<std::size_t>(p - e));
  }
  std::size_t length = static_cast<std::size_t>(p - start);
  bool bare = wholeDigits.empty() && !point && !hasExponent;  // "-" alone reads as 0
  bool unreadable = (point && wholeDigits.empty() && fraction.empty()) ||
                    (hasExponent && (exponent.empty() || !IsDigit(static_cast<unsigned char>(exponent.back()))));
  if (bare) {
    out += '0';
  } else if (unreadable) {
    out.append(reinterpret_cast<const char*>(start), length);  // refused by both readers
  } else {
    if (negative) out += '-';
    std::size_t zeros = wholeDigits.find_first_not_of('0');
    out += zeros == std::string_view::npos ? std::string_view("0") : wholeDigits.substr(zeros);
    if (point) {
      out += '.';
      out += fraction.empty() ? std::string_view("0") : fraction;
    }
    if (hasExponent) out += "e" + exponent;
  }
  return length;
}

// The text with what the jsoncpp reader accepts and this one does not made
// acceptable, the value unchanged: numbers in jsoncpp's looser form, raw
// control characters inside strings (as their \u escape), and bytes that are
// not UTF-8 inside strings (as U+FFFD). Comments are stepped over, so a quote
// or a digit inside one opens nothing.
std::string ForStrictReader(const char* text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  bool inString = false;
  bool afterNumber = false;  // two numbers in a row stay two
  while (*p) {
    bool number = false;
    if (!inString) {
      if (p[0] == '/' && p[1] == '*') {
        const char* end = std::strstr(reinterpret_cast<const char*>(p + 2), "*/");
        std::size_t n = end ? static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(end) + 2 - p)
                            : std::strlen(reinterpret_cast<const char*>(p));
        out.append(reinterpret_cast<const char*>(p), n);
        p += n;
      } else if (p[0] == '/' && p[1] == '/') {
        while (*p && *p != '\n') out += static_cast<char>(*p++);
      } else if (*p == '-' || IsDigit(*p)) {
        if (afterNumber) out += ' ';
        p += CopyNumber(p, out);
        number = true;
      } else {
        if (*p == '"') inString = true;
        out += static_cast<char>(*p++);
      }
      afterNumber = number;
      continue;
    }
    if (*p == '\\') {
      out += static_cast<char>(*p++);
      if (*p) out += static_cast<char>(*p++);
    } else if (*p == '"') {
      inString = false;
      out += static_cast<char>(*p++);
    } else if (*p < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[*p >> 4];
      out += kHex[*p & 0xF];
      ++p;
    } else if (*p < 0x80) {
      out += static_cast<char>(*p++);
    } else if (std::size_t len = Utf8Length(p)) {
      out.append(reinterpret_cast<const char*>(p), len);
      p += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++p;
    }
  }
  return out;
}

bool ReadText(const std::map<std::string, Member>& members, const char* key, std::string& out) {
  auto it = members.find(key);
  if (it == members.end()) {
    out.clear();
    return true;
  }
  const Member& m = it->second;
  switch (m.kind) {
    case Member::kNull: out.clear(); return true;
    case Member::kBool: out = m.boolean ? "true" : "false"; return true;
    case Member::kString: out = m.text; return true;
    default: return false;
  }
}

bool ReadInt(const std::map<std::string, Member>& members, const char* key, int& out) {
  auto it = members.find(key);
  if (it == members.end()) {
    out = 0;
    return true;
  }
  const Member& m = it->second;
  switch (m.kind) {
    case Member::kNull: out = 0; return true;
    case Member::kBool: out = m.boolean ? 1 : 0; return true;
    case Member::kInt:
      if (m.integer < INT_MIN || m.integer > INT_MAX) return false;
      out = static_cast<int>(m.integer);
      return true;
    case Member::kUnsigned:
      if (m.unsignedInteger > static_cast<std::uint64_t>(INT_MAX)) return false;
      out = static_cast<int>(m.unsignedInteger);
      return true;
    case Member::kReal:
      if (!(m.real >= INT_MIN && m.real <= INT_MAX)) return false;
      out = static_cast<int>(m.real);  // truncated toward zero
      return true;
    default: return false;
  }
}

bool Decode(const char* text, RomInfo& out) {
  MemberCollector collector;
  std::string input = ForStrictReader(text);
  // Not strict: like the jsoncpp reader, whatever follows the first value is
  // not looked at.
  if (!json::sax_parse(input, &collector, json::input_format_t::json, /*strict=*/false,
                       /*ignore_comments=*/true) ||
      !collector.rootIsObject()) {
    return false;
  }
  const auto& members = collector.members();
  return ReadText(members, "model", out.model) && ReadText(members, "version", out.version) &&
         ReadText(members, "md5", out.md5) && ReadText(members, "url", out.url) &&
         ReadInt(members, "level", out.level) && ReadInt(members, "size", out.size);
}

}  // namespace

int ParseRomInfoNlohmann(const char* text, RomInfo& info) {
  RomInfo decoded;
  try {
    if (!Decode(text, decoded)) return 3;
  } catch (const std::exception&) {
    return 3;  // out of memory, or the reader's own complaint
  }
  return TakeDecodedRomInfo(decoded, info);
}
