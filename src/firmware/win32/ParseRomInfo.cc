// The Windows program's decoder of the cloud's answer: nlohmann-json (there
// is no jsoncpp for Windows).
#include "firmware/CloudQuery.h"

#include "firmware/NlohmannRomInfo.h"

int ParseRomInfo(const char* text, RomInfo& info) { return ParseRomInfoNlohmann(text, info); }
