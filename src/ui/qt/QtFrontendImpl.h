// The desktop-window frontend. Run() owns the Qt application (or uses the one
// that exists), the main window and the wake-up that lets other threads'
// console calls into the Qt event loop.
#pragma once

#include <QString>
#include <memory>
#include <string>

#include "console/Frontend.h"

class CMainWindow;
class QDialog;
class QIcon;
class Waker;

class QtFrontend : public IFrontend {
 public:
  QtFrontend() = default;

  int Run(UiBridge& bridge, const FrontendCallbacks& callbacks) override;
  void SetNotice(const std::string& notice) override;
  void SetDiagnostics(IDiagnosticsSink* sink) override { m_diag = sink; }

  // IConsoleView, on the user-interface thread. While no window is open they
  // do nothing (MessageBox returns at once, GetInputText is empty).
  void AppendLog(std::string_view text) override;
  void ClearLog() override;
  void SelectInput() override;
  void ClearInput() override;
  std::string GetInputText() override;
  void MessageBox(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  void SetTitle(const std::string& title) override;
  void ApplyStyle(int controlId, const CColorEdit& style) override;
  void ShowAbout() override;
  void Shutdown() override;

  // The open window; null outside Run.
  CMainWindow* window() const { return m_window; }

 private:
  int RunWindow(UiBridge& bridge, const FrontendCallbacks& callbacks);
  // Runs a modal dialog, serving other threads' console calls while it is open.
  void RunModal(QDialog& dialog);

  QString m_notice;
  IDiagnosticsSink* m_diag = nullptr;
  CMainWindow* m_window = nullptr;      // while Run runs
  std::shared_ptr<Waker> m_waker;       // while Run runs
};

// The program icon (128 x 128) built into the program.
QIcon ProgramIcon();
// Caption of message boxes.
extern const char* const kMessageBoxCaption;  // "Brickfix"
