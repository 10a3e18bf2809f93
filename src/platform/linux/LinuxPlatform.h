// Threads and process exit on Linux.
#pragma once

#include "app/Ports.h"

class IConsoleView;
class UiBridge;

class LinuxPlatform : public IPlatform {
 public:
  LinuxPlatform(UiBridge& bridge, IConsoleView& view) : m_bridge(bridge), m_view(view) {}
  void BeginThread(std::function<void()> fn) override;
  // Restores the terminal on the user-interface thread, flushes output and
  // ends the process there, so that nothing races the restore. Once the
  // window has closed, the main thread is already ending the process: the
  // caller just waits for that.
  [[noreturn]] void ExitProcess(int status) override;
  // Runs after the window has closed and before the process ends, on
  // whatever path it ends (for the lines that the terminal keeps).
  void SetAtEnd(std::function<void()> atEnd) { m_atEnd = std::move(atEnd); }
  void RunAtEnd();

 private:
  UiBridge& m_bridge;
  IConsoleView& m_view;
  std::function<void()> m_atEnd;
};

// Flushes standard output and error and ends the process at once, without
// running static destructors (worker threads may still run).
[[noreturn]] void QuickExit(int status);
