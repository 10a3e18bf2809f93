// The Windows program: the same wizard as on Linux, in a dialog (or in line
// mode with --ui=line).
#include "firmware/FirmwareOps.h"
#include "platform/windows/Win32.h"
#include "platform/windows/WindowsProgram.h"

int main(int argc, char** argv) {
  // Before any DLL is loaded by name (the program imports only KnownDLLs,
  // the others are delay-loaded): the system folder alone is searched, never
  // the program's own folder or the working directory. The delay-loaded ones
  // come from there at once, before one of them could ask for another by its
  // name (a loader that looked beside the program for that would find
  // nothing planted there any more).
  if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 3;
  for (const wchar_t* dll : {L"bcrypt.dll", L"iphlpapi.dll", L"winhttp.dll"}) {
    LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  return RunWindowsProgram(argc, argv, new FirmwareOps);
}
