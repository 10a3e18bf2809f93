// The window's edge: text is UTF-8 inside the program and UTF-16 for Windows.
#pragma once

#include <string>
#include <string_view>

// Bytes that are not UTF-8 become U+FFFD.
std::wstring Widen(std::string_view utf8);
// A lone surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view utf16);
