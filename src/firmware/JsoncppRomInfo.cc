// The cloud's answer decoded with jsoncpp, the decoder of the Linux program.
#include "firmware/CloudQuery.h"

#include <json/json.h>

#include <exception>

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
  return TakeDecodedRomInfo(decoded, info);
}
