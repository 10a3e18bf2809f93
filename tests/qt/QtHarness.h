// Runs the real dialog in the desktop window on the offscreen platform while
// a driver thread plays the operator.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "fakes/Fakes.h"
#include "ui/qt/QtFrontendImpl.h"

class CMainWindow;
class QWidget;

// Makes sure a QApplication exists, on the offscreen platform. It is kept for
// the whole test process.
void EnsureQtApplication();

class QtWindowHarness {
 public:
  QtWindowHarness();
  ~QtWindowHarness();

  // Shows the window and runs it on the calling thread until it closes, while
  // `script` runs on a driver thread. When the script returns with the window
  // still open, every box and then the window are closed. Returns Run's
  // result; worker threads started through the platform have been joined.
  int Run(const std::function<void(QtWindowHarness&)>& script);

  // Driver-thread helpers. Ui runs `fn` on the user-interface thread and
  // waits; false once the window has closed. Post starts `fn` there and
  // returns at once (for anything that may open a modal box).
  bool Ui(const std::function<void()>& fn);
  bool Post(std::function<void()> fn);
  // Asks `pred` on the user-interface thread until it holds; false after the
  // timeout or once the window has closed.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000);
  // Waits for a message box and returns its text ("" when none came).
  std::string WaitForMessageBox();
  // Presses the message box's only button. UI thread.
  static void ConfirmMessageBox();

  // User-interface thread helpers.
  CMainWindow* window() const { return frontend.window(); }
  void TypeAnswer(const std::string& text);  // replaces the answer box's text, then Enter
  std::string LogText() const;               // lines joined with "\n"

  UiBridge bridge;
  QtFrontend frontend;
  FakePlatform platform{FakePlatform::kRealThreads};
  FakeFirmware firmware;
  FakeNet net;
  FakeTftp tftp;
  std::unique_ptr<CBrickfixDlg> dlg;

 private:
  void CloseEverything();
};
