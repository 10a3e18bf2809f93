// A DLL that gives itself away: loaded, it creates the file that
// BRICKFIX_PLANTED_MARK names. Put beside the program under the name of a
// system DLL that is no KnownDLL, it must never be loaded.
#include "platform/windows/Win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"BRICKFIX_PLANTED_MARK", path, MAX_PATH);
  if (reason == DLL_PROCESS_ATTACH && n > 0 && n < MAX_PATH) {
    HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  }
  return TRUE;
}
