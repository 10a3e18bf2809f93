// <windows.h> for this program's Windows code. A few Win32 names clash with
// the program's own: the console's colour type and RGB helpers (ColorEdit.h)
// and the views' MessageBox operation. They are taken back here, so include
// this header instead of <windows.h>.
#pragma once

#define COLORREF BrickfixWin32Colorref
#include <windows.h>
#undef COLORREF
#undef RGB
#undef GetRValue
#undef GetGValue
#undef GetBValue
#undef MessageBox

#include "console/ColorEdit.h"
