#include "firmware/CloudQuery.h"

#include <json/json.h>

#include <algorithm>
#include <exception>
#include <new>


namespace {

// Text members: strings, and the values that read as text without doubt
// (null as "", booleans as "true"/"false"). Numbers, arrays and objects make
// the answer unusable.
bool ReadText(const Json::Value& object, const char* key, std::string& out) {
  const Json::Value& value = object[key];
  if (!value.isString() && !value.isNull() && !value.isBool()) return false;
  out = value.asString();
  return true;
}

// Number members: integers and reals in the 32-bit signed range (reals are
// truncated), null as 0, booleans as 1 or 0.
bool ReadInt(const Json::Value& object, const char* key, int& out) {
  const Json::Value& value = object[key];
  if (!value.isConvertibleTo(Json::intValue)) return false;
  out = value.asInt();
  return true;
}

bool Decode(const char* text, RomInfo& out) {
  Json::Value root;
  Json::Reader reader;  // default features: comments allowed, any top-level value
  if (!reader.parse(text, root, true) || !root.isObject()) return false;
  return ReadText(root, "model", out.model) && ReadText(root, "version", out.version) &&
         ReadText(root, "md5", out.md5) && ReadText(root, "url", out.url) &&
         ReadInt(root, "level", out.level) && ReadInt(root, "size", out.size);
}

}  // namespace

int ParseRomInfo(const char* text, RomInfo& info) {
  RomInfo decoded;
  try {
    // The reader throws on nesting deeper than its limit; such an answer is
    // as undecodable as any other broken one.
    if (!Decode(text, decoded)) return 3;
  } catch (const std::exception&) {
    return 3;
  }
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
