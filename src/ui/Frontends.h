// The frontends and the choice between them.
#pragma once

#include <string>

#include "app/BrickfixApp.h"
#include "console/Frontend.h"

// The frontend for `ui`: kAuto is the terminal window when stdin and stdout
// are terminals, line mode otherwise. Null (with `error` set) when it cannot
// be had, for example the desktop window in a build without one.
IFrontend* CreateFrontend(CommandLine::Ui ui, std::string& error);
