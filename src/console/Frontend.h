// A frontend: the window (or line interface) that owns the user-interface
// thread and shows the console.
#pragma once

#include <functional>
#include <string>

#include "console/ConsoleView.h"

class UiBridge;

struct FrontendCallbacks {
  std::function<void()> onInit;                  // once, when the window is shown
  std::function<void()> onEnter;                 // the OK command (Enter)
  std::function<void(unsigned id)> onSysCommand; // e.g. the About entry (id 16)
};

class IFrontend : public IConsoleView {
 public:
  // Attaches `bridge` to the calling thread, shows the window, calls onInit,
  // then serves input and the bridge until the cancel command (Escape, Ctrl-C,
  // SIGTERM, SIGHUP, end of input). Closes the bridge before it returns.
  // Returns 0, or non-zero when the window could not be opened.
  virtual int Run(UiBridge& bridge, const FrontendCallbacks& callbacks) = 0;
  // A one-line notice shown from the start (for example missing rights);
  // empty for none. Set before Run.
  virtual void SetNotice(const std::string& notice) = 0;
};
