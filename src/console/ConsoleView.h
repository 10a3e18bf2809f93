// What a frontend (terminal window, line mode, desktop window, test fake)
// offers the wizard. Every call arrives on the user-interface thread.
#pragma once

#include <string>
#include <string_view>

class CColorEdit;

class IConsoleView {
 public:
  virtual ~IConsoleView() = default;

  // Appends text at the end of the log and shows the end. "\r\n" ends a line.
  virtual void AppendLog(std::string_view text) = 0;
  // Empties the log.
  virtual void ClearLog() = 0;
  // Focuses the answer box and selects all of its text (the text stays).
  virtual void SelectInput() = 0;
  // Focuses the answer box and empties it.
  virtual void ClearInput() = 0;
  // The answer box's text.
  virtual std::string GetInputText() = 0;
  // A modal message box with one OK button. Returns when the operator has
  // confirmed it, or at once when the window has closed. While it is open the
  // frontend keeps serving other threads' console calls.
  virtual void MessageBox(const std::string& text) = 0;
  // The status strip: one line about what the program sees on the recovery
  // link (a diagnosis), empty for none. Line mode shows none: the line is in
  // the log.
  virtual void SetStatus(const std::string& /*text*/) {}
  // The window title.
  virtual void SetTitle(const std::string& title) = 0;
  // The look of the log (control 1000) or the answer box (control 1001).
  virtual void ApplyStyle(int controlId, const CColorEdit& style) = 0;
  // The About box (title "关于Terno 修复工具", "Brickfix", version line, "确定").
  virtual void ShowAbout() = 0;
  // Restores the terminal (or whatever the frontend changed) before the
  // process ends. Called on the user-interface thread; idempotent.
  virtual void Shutdown() = 0;
};

constexpr int IDC_LOG = 1000;
constexpr int IDC_INPUT = 1001;
