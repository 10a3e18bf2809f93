#include "WindowsTestSupport.h"

#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/Utf16.h"

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string TextOf(HWND hwnd) {
  auto length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  auto got = SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  return Narrow(text);
}

namespace {

struct DialogSearch {
  HWND except;
  std::vector<HWND> found;
};

BOOL CALLBACK OnThreadWindow(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  if (hwnd != search->except && IsWindowVisible(hwnd) && std::wstring(name) == L"#32770") {
    search->found.push_back(hwnd);
  }
  return TRUE;
}

}  // namespace

std::vector<HWND> DialogsOf(DWORD threadId, HWND except) {
  DialogSearch search{except, {}};
  EnumThreadWindows(threadId, OnThreadWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FocusOf(DWORD threadId) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : nullptr;
}

void TypeInto(HWND edit, const std::string& text, WPARAM key) {
  for (wchar_t c : Widen(text)) PostMessageW(edit, WM_CHAR, c, 1);
  if (key) {
    PostMessageW(edit, WM_KEYDOWN, key, 1);
    PostMessageW(edit, WM_KEYUP, key, 0xC0000001);
  }
}

std::wstring Neighbour(const std::wstring& program) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + program;
}

namespace {

std::mutex g_outputMutex;  // guards what the readers append

void ReadAll(HANDLE pipe, std::string* into) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    into->append(buffer, n);
  }
}

void WriteAll(HANDLE pipe, const std::string& data) {
  DWORD written = 0;
  if (!data.empty()) WriteFile(pipe, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
}

}  // namespace

ProgramRun RunProgram(const std::wstring& program, const std::wstring& arguments,
                      const std::string& input, double seconds, const std::string& holdUntil,
                      const std::string& more) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
  CreatePipe(&inRead, &inWrite, &inherit, 0);
  CreatePipe(&outRead, &outWrite, &inherit, 0);
  CreatePipe(&errRead, &errWrite, &inherit, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process = {};
  std::wstring path = program.find_first_of(L"\\/:") == std::wstring::npos ? Neighbour(program) : program;
  std::wstring line = L"\"" + path + L"\" " + arguments;
  BOOL started = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(inRead);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (started) {
    std::thread outReader(ReadAll, outRead, &run.out);
    std::thread errReader(ReadAll, errRead, &run.err);
    WriteAll(inWrite, input);
    if (!holdUntil.empty()) {
      WaitUntil(
          [&] {
            std::lock_guard<std::mutex> lock(g_outputMutex);
            return run.out.find(holdUntil) != std::string::npos;
          },
          seconds);
      WriteAll(inWrite, more);
    }
    CloseHandle(inWrite);
    inWrite = nullptr;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(seconds * 1000)) == WAIT_TIMEOUT) {
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.exitCode = static_cast<int>(code);
    outReader.join();
    errReader.join();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  if (inWrite) CloseHandle(inWrite);
  CloseHandle(outRead);
  CloseHandle(errRead);
  return run;
}

void ScopedConnectionNames::Set(const std::string& id, const std::wstring* name, DWORD type) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ConnectionKeyPath(id).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "no registry key for " << id;
    return;
  }
  if (name) {
    RegSetValueExW(key, L"Name", 0, type, reinterpret_cast<const BYTE*>(name->c_str()),
                   static_cast<DWORD>((name->size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
  m_ids.push_back(id);
}

ScopedConnectionNames::~ScopedConnectionNames() {
  for (const std::string& id : m_ids) {
    std::wstring path = ConnectionKeyPath(id);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.substr(0, path.rfind(L'\\')).c_str());
  }
}
