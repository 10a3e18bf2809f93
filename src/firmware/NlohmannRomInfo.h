// Decoding the cloud's answer with nlohmann-json, the decoder of builds that
// have no jsoncpp (Windows). It follows the jsoncpp decoder's rules so that
// both read every answer alike; the tests run one table against both.
#pragma once

#include "firmware/RomInfo.h"

// 0 release accepted, 1 release refused (no "url" or "level" not 0; the
// record is filled all the same), 3 not a usable JSON object (the record is
// untouched). Rules: comments are allowed and text after the first value is
// ignored; the top-level value must be an object; nesting deeper than 1000
// values is refused; "model", "version", "md5" and "url" read strings, null
// as "" and booleans as "true"/"false"; "level" and "size" read integers and
// reals in the 32-bit signed range (reals truncated), null as 0 and booleans
// as 1/0; a missing member reads as "" or 0; any other type makes the answer
// unusable; "version" is cut at its first space, tab, CR or LF.
// Like the jsoncpp reader it also takes numbers with leading zeros, "5.",
// "-.5" and a bare "-" (as 0), and raw control characters inside strings.
// The one difference: inside strings, bytes that are not UTF-8 read as U+FFFD
// (jsoncpp keeps them), so an answer in another encoding still decodes.
int ParseRomInfoNlohmann(const char* text, RomInfo& info);
