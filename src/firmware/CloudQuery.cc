// The cloud query, the same on every system; the HTTP client and the JSON
// decoder come with the system's build.
#include "firmware/CloudQuery.h"

#include <algorithm>
#include <new>
#include <utility>

int TakeDecodedRomInfo(RomInfo& decoded, RomInfo& info) {
  std::size_t space = decoded.version.find_first_of(" \t\n\r");
  if (space != std::string::npos) decoded.version.resize(space);
  info.model = std::move(decoded.model);
  info.version = std::move(decoded.version);
  info.md5 = std::move(decoded.md5);
  info.url = std::move(decoded.url);
  info.level = decoded.level;
  info.size = decoded.size;
  return info.url.empty() || info.level != 0 ? 1 : 0;
}

bool IsReleaseFor(const RomInfo& info, const std::string& model) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return info.size > 0 && info.model.size() == model.size() &&
         std::equal(model.begin(), model.end(), info.model.begin(),
                    [&](char a, char b) { return lower(a) == lower(b); });
}

int QueryLatestRom(RomInfo& info, const std::string& url) {
  HttpClient http;
  return QueryLatestRom(info, url, http);
}

int QueryLatestRom(RomInfo& info, const std::string& url, HttpClient& http) {
  std::string body;
  bool tooLong = false;
  bool noMemory = false;
  HttpClient::Result result = http.Get(url, [&](const char* data, std::size_t length) {
    if (length > kMaxCloudAnswerBytes - body.size()) {
      tooLong = true;
      return false;
    }
    try {
      body.append(data, length);
    } catch (const std::bad_alloc&) {
      noMemory = true;
      return false;
    }
    return true;
  });
  if (noMemory) return 2;
  if (tooLong) return 3;
  if (result != HttpClient::Result::kComplete) return 4;
  return ParseRomInfo(body.c_str(), info);
}
