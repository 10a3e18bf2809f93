// Terminal cells of UTF-8 text: how wide it is, which part fits a window
// column range, and how it wraps. Pure functions, shared by the terminal
// window's log, answer box and boxes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Makes the C library classify characters as UTF-8 (LC_CTYPE): the
// environment's locale when it is UTF-8, "C.UTF-8" otherwise. Widths of CJK
// text depend on it. Returns false when no UTF-8 locale can be had.
bool EnsureUtf8Ctype();

// The code point at `text[pos]` of valid UTF-8; `len` gets its byte count.
char32_t DecodeAt(std::string_view text, std::size_t pos, std::size_t& len);

// Cells taken by one printable code point: 0 (combining), 1, or 2 (CJK).
int CodePointWidth(char32_t cp);

// Cells taken by display-ready text (valid UTF-8 without control characters).
int DisplayWidth(std::string_view text);

// A log line as it is drawn: tabs expanded to the next multiple of eight
// cells, invalid UTF-8 and control characters replaced (see SanitizeForDisplay).
std::string DisplayLine(std::string_view raw);

// The part of display-ready `text` that falls into cells
// [offset, offset + width). A double-width character cut by either edge
// becomes spaces, so the result is exactly as wide as the text it shows.
std::string CellSlice(std::string_view text, int offset, int width);

// Raw text broken into display-ready lines of at most `width` cells, at its
// own line ends and wherever a line would get wider. Every line holds at
// least one character, so a width of 1 still makes progress.
std::vector<std::string> WrapToWidth(std::string_view raw, int width);
