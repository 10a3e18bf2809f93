// A stand-in for netsh.exe and arp.exe in the Wine prefix of the end-to-end
// scenarios (Wine's own do nothing). It keeps its command line as the file
// N.cmd (UTF-8) in the folder named by BRICKFIX_STANDIN_DIR, N = 1, 2, ...,
// then waits for the scenario to carry the command out in the network
// namespace and to write N.status with the exit status. With
// BRICKFIX_STANDIN_RECORD_ONLY set it only keeps the command line.
#include <cstdlib>
#include <string>

#include "platform/windows/Utf16.h"
#include "platform/windows/Win32.h"

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

bool WriteWhole(const std::wstring& path, const std::string& text, DWORD disposition) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  CloseHandle(file);
  return ok;
}

}  // namespace

int main() {
  std::wstring dir = Env(L"BRICKFIX_STANDIN_DIR");
  if (dir.empty()) return 90;
  std::string line = Narrow(GetCommandLineW());
  // The first free number; the temporary name reserves it.
  int n = 1;
  std::wstring base;
  for (;; ++n) {
    base = dir + L"\\" + std::to_wstring(n);
    if (GetFileAttributesW((base + L".cmd").c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    if (WriteWhole(base + L".cmd.tmp", line, CREATE_NEW)) break;
    if (n > 10000) return 91;
  }
  if (!MoveFileW((base + L".cmd.tmp").c_str(), (base + L".cmd").c_str())) return 92;
  if (!Env(L"BRICKFIX_STANDIN_RECORD_ONLY").empty()) return 0;
  for (int waited = 0; waited < 120000; waited += 20) {
    HANDLE file = CreateFileW((base + L".status").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char text[16] = {};
      DWORD got = 0;
      ReadFile(file, text, sizeof text - 1, &got, nullptr);
      CloseHandle(file);
      return std::atoi(text);
    }
    Sleep(20);
  }
  return 93;
}
