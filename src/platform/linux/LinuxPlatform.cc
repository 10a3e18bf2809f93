#include "platform/linux/LinuxPlatform.h"

#include <unistd.h>

#include <cstdio>
#include <thread>

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
    QuickExit(status);
  });
  for (;;) pause();
}
