// Helpers of the Windows tests: waiting, window text, finding a thread's
// boxes, and running a program with pipes.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/windows/Win32.h"

// Polls `done` every few milliseconds for up to `seconds`; true once it holds.
bool WaitUntil(const std::function<bool()>& done, double seconds = 10);

// A window's text as UTF-8 (read with WM_GETTEXT, so it works on a window of
// another thread that is in a modal loop).
std::string TextOf(HWND hwnd);

// The visible dialog-class windows of thread `threadId` other than `except`
// (message boxes, the About box).
std::vector<HWND> DialogsOf(DWORD threadId, HWND except);

// The control that has the keyboard focus in thread `threadId`.
HWND FocusOf(DWORD threadId);

// Types `text` into `edit` as the keyboard would (WM_CHAR), then presses
// `key` (VK_RETURN, VK_ESCAPE) in it when not 0.
void TypeInto(HWND edit, const std::string& text, WPARAM key = 0);

// The path of `program` in this test program's folder.
std::wstring Neighbour(const std::wstring& program);

// A program run with its standard input, output and error on pipes.
struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};
// Runs this test program's neighbour `program` (or `program` itself when it
// is a path) with `arguments`, writes all
// of `input` and then ends it, collects the output; gives up after `seconds`.
// With `holdUntil`, the input stays open until the output holds that text;
// then `more` is written and the input ends.
ProgramRun RunProgram(const std::wstring& program, const std::wstring& arguments,
                      const std::string& input, double seconds = 30, const std::string& holdUntil = "",
                      const std::string& more = "");

// Connection names in the registry, as Windows keeps them, for one test:
// removed again when it ends.
class ScopedConnectionNames {
 public:
  ScopedConnectionNames() = default;
  ScopedConnectionNames(const ScopedConnectionNames&) = delete;
  ScopedConnectionNames& operator=(const ScopedConnectionNames&) = delete;
  ~ScopedConnectionNames();
  // The adapter's key, with the value "Name" when `name` is given.
  void Set(const std::string& id, const std::wstring* name, DWORD type = REG_SZ);

 private:
  std::vector<std::string> m_ids;
};
