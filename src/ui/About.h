// The texts of the About box, shared by the frontends.
#pragma once

#include <string>

#include "app/Version.h"

inline constexpr const char* kAboutTitle = "关于Terno 修复工具";
inline constexpr const char* kAboutName = "Brickfix";
inline constexpr const char* kAboutButton = "确定";
inline std::string AboutVersionLine() { return std::string("Brickfix 版本 ") + BRICKFIX_VERSION; }
