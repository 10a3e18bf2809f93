// The cloud query of the Windows program. Its answer is decoded with
// nlohmann-json (there is no jsoncpp for Windows); the request itself comes
// with the Windows HTTP client.
#include "firmware/CloudQuery.h"

#include "firmware/NlohmannRomInfo.h"

int ParseRomInfo(const char* text, RomInfo& info) { return ParseRomInfoNlohmann(text, info); }
