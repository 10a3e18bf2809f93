// Threads and process exit on Windows.
#pragma once

#include "app/Ports.h"

class IConsoleView;
class UiBridge;

class WindowsPlatform : public IPlatform {
 public:
  WindowsPlatform(UiBridge& bridge, IConsoleView& view) : m_bridge(bridge), m_view(view) {}
  void BeginThread(std::function<void()> fn) override;
  // Ends the process on the user-interface thread after the frontend's
  // Shutdown, so that nothing races it. Once the window has closed, the main
  // thread is already ending the process: the caller just waits for that.
  [[noreturn]] void ExitProcess(int status) override;
  // Runs after the window has closed and before the process ends, on
  // whatever path it ends (for the line about an adapter left changed).
  void SetAtEnd(std::function<void()> atEnd) { m_atEnd = std::move(atEnd); }
  void RunAtEnd();

 private:
  UiBridge& m_bridge;
  IConsoleView& m_view;
  std::function<void()> m_atEnd;
};

// Flushes the C streams and ends the process at once, without running static
// destructors or exit handlers (worker threads may still run).
[[noreturn]] void QuickExit(int status);

// The mutex that one run holds in the session while it runs (and
// --restore-network while it works).
extern const wchar_t* const kRunMutexName;
// Takes it for the rest of the process; false when another process has it.
bool TakeRunLock();
