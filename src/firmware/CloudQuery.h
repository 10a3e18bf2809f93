// Asking the maker's cloud for the newest firmware release of a model.
#pragma once

#include <cstddef>
#include <string>

#include "firmware/HttpClient.h"
#include "firmware/RomInfo.h"

// The largest answer that is read; a longer one is undecodable (code 3).
constexpr std::size_t kMaxCloudAnswerBytes = 1 << 20;

// GETs `url` and decodes the answer into `info`. 0 release accepted, 1 release
// refused (no "url" or "level" not 0; the record is filled all the same),
// 2 no memory for the answer, 3 the answer is not a usable JSON object,
// 4 the request failed. On 2, 3 and 4 the record is untouched.
int QueryLatestRom(RomInfo& info, const std::string& url);
// The same over `http`, whose connection a download can then reuse.
int QueryLatestRom(RomInfo& info, const std::string& url, HttpClient& http);

// Decodes one answer: 0, 1 or 3 as above.
int ParseRomInfo(const char* text, RomInfo& info);

// What every decoder does with the members it has read: the version is cut
// at its first white space, they go to `info`, and the answer is 0 or 1.
int TakeDecodedRomInfo(RomInfo& decoded, RomInfo& info);

// True when an accepted release may be downloaded for `model`: it names that
// model (letter case ignored) and its image has at least one byte. Another
// model's image must neither purge this model's stored files nor reach its
// router.
bool IsReleaseFor(const RomInfo& info, const std::string& model);
