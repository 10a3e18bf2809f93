#include "platform/windows/WindowsPlatform.h"

#include "platform/windows/Win32.h"

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "console/ConsoleView.h"
#include "console/UiBridge.h"

void QuickExit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

void WindowsPlatform::BeginThread(std::function<void()> fn) { std::thread(std::move(fn)).detach(); }

void WindowsPlatform::ExitProcess(int status) {
  m_bridge.Invoke([&] {
    m_view.Shutdown();
    RunAtEnd();
    QuickExit(status);
  });
  for (;;) Sleep(INFINITE);
}

void WindowsPlatform::RunAtEnd() {
  // Once only, even when a worker's exit and the window's close meet.
  if (auto atEnd = std::exchange(m_atEnd, nullptr)) atEnd();
}

const wchar_t* const kRunMutexName = L"Local\\Brickfix-run";

bool TakeRunLock() {
  // The mutex lives as long as a process holds a handle to it.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kRunMutexName);
  return mutex && GetLastError() != ERROR_ALREADY_EXISTS;
}
