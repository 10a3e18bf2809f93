// A frontend: the window (or line interface) that owns the user-interface
// thread and shows the console.
#pragma once

#include <functional>
#include <string>

#include "console/ConsoleView.h"

class UiBridge;

// Where diagnostics of libraries and commands (an HTTP error, a command's
// error text) go while a frontend runs, so that they never mix with the log.
class IDiagnosticsSink {
 public:
  virtual ~IDiagnosticsSink() = default;
  // Sends standard error (and with `alsoStdout` standard output) there until
  // Release. Called on the user-interface thread.
  virtual void Capture(bool alsoStdout) = 0;
  virtual void Release() = 0;
  // The file for the operator; empty when diagnostics cannot be kept.
  virtual std::string Path() const = 0;
  // Something has been written there.
  virtual bool Written() const = 0;
};

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
  // Where diagnostics go while the frontend runs; null: they stay where
  // standard error is. The frontend says where they are once something has
  // been written. Set before Run.
  virtual void SetDiagnostics(IDiagnosticsSink* sink) = 0;
};
