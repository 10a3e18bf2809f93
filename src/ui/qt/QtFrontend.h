// The desktop window (--ui=gui): the main dialog as a Qt Widgets window.
#pragma once

#include <string>

#include "console/Frontend.h"

// A new desktop-window frontend, or null with `error` set when no display can
// be reached. The caller owns the result. Call on the thread that will run it.
IFrontend* CreateQtFrontend(std::string& error);
