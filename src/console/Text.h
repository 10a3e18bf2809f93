// Small text helpers shared by the console and the frontends.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// The largest byte count a formatted console text may hold.
constexpr std::size_t kMaxFormatted = 1023;

// Length of the longest prefix of `text` that is at most `limit` bytes and does
// not end inside a UTF-8 sequence.
std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit);

// printf-style formatting into at most kMaxFormatted bytes, cut on a UTF-8
// character boundary.
std::string FormatConsoleText(const char* format, va_list args);
std::string FormatConsoleTextF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces invalid UTF-8 with U+FFFD and control characters (except none)
// with U+FFFD too, so a display never receives bytes that break it.
std::string SanitizeForDisplay(std::string_view text);
