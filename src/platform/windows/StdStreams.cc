#include "platform/windows/StdStreams.h"

#include <climits>

#include "platform/windows/Utf16.h"

namespace {

bool Usable(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  SetLastError(NO_ERROR);
  return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

HANDLE OpenConsole(const wchar_t* name) {
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

}  // namespace

StdHandles OpenStdHandles() {
  StdHandles h;
  h.in = GetStdHandle(STD_INPUT_HANDLE);
  h.out = GetStdHandle(STD_OUTPUT_HANDLE);
  h.err = GetStdHandle(STD_ERROR_HANDLE);
  bool inOk = Usable(h.in), outOk = Usable(h.out), errOk = Usable(h.err);
  if (inOk && outOk) {
    if (!errOk) h.err = nullptr;
    return h;
  }
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) {
    if (!inOk) h.in = nullptr;
    if (!outOk) h.out = nullptr;
    if (!errOk) h.err = nullptr;
    return h;
  }
  if (!inOk) h.in = OpenConsole(L"CONIN$");
  if (!outOk) h.out = OpenConsole(L"CONOUT$");
  if (!errOk) h.err = OpenConsole(L"CONOUT$");
  return h;
}

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode;
  return handle && GetConsoleMode(handle, &mode);
}

bool WriteAllTo(HANDLE handle, std::string_view data) {
  if (!handle) return false;
  if (IsConsoleHandle(handle)) {
    std::wstring text = Widen(data);
    std::wstring_view rest(text);
    while (!rest.empty()) {
      DWORD chunk = static_cast<DWORD>(rest.size() > 8192 ? 8192 : rest.size());
      DWORD written = 0;
      if (!WriteConsoleW(handle, rest.data(), chunk, &written, nullptr) || written == 0) return false;
      rest.remove_prefix(written);
    }
    return true;
  }
  while (!data.empty()) {
    DWORD chunk = static_cast<DWORD>(data.size() > (1u << 20) ? (1u << 20) : data.size());
    DWORD written = 0;
    if (!WriteFile(handle, data.data(), chunk, &written, nullptr) || written == 0) return false;
    data.remove_prefix(written);
  }
  return true;
}
