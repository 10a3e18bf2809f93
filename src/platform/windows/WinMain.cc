// The Windows program: the same wizard as on Linux, in a dialog (or in line
// mode with --ui=line).
#include "platform/windows/NotYetAvailable.h"
#include "platform/windows/WindowsProgram.h"

int main(int argc, char** argv) { return RunWindowsProgram(argc, argv, new NotYetAvailableFirmware); }
