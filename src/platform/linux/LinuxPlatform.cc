#include "platform/linux/LinuxPlatform.h"

#include <unistd.h>

#include <cstdio>
#include <thread>
#include <utility>

#include "console/ConsoleView.h"
#include "console/UiBridge.h"

void QuickExit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

void LinuxPlatform::BeginThread(std::function<void()> fn) {
  std::thread(std::move(fn)).detach();
}

void LinuxPlatform::ExitProcess(int status) {
  m_bridge.Invoke([&] {
    m_view.Shutdown();
    RunAtEnd();
    QuickExit(status);
  });
  for (;;) pause();
}

void LinuxPlatform::RunAtEnd() {
  // Once only, even when a worker's exit and the window's close meet.
  if (auto atEnd = std::exchange(m_atEnd, nullptr)) atEnd();
}
