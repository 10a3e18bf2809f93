// The Windows program: the same wizard as on Linux, in a dialog (or in line
// mode with --ui=line).
#include "firmware/FirmwareOps.h"
#include "platform/windows/WindowsProgram.h"

int main(int argc, char** argv) { return RunWindowsProgram(argc, argv, new FirmwareOps); }
