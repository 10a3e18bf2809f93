// Line mode, the automation interface: the log goes to standard output as it
// is written, each line of standard input is one answer followed by Enter, a
// message box is one "[MessageBox] <text>" line confirmed by the next input
// line, and the end of input is the cancel command.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "console/Frontend.h"

class EventPipe;

class LineFrontend : public IFrontend {
 public:
  // An input line is kept up to this many bytes; the rest of it is dropped.
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  explicit LineFrontend(int inFd = 0, int outFd = 1, int errFd = 2);
  ~LineFrontend() override;

  int Run(UiBridge& bridge, const FrontendCallbacks& callbacks) override;
  void SetNotice(const std::string& notice) override { m_notice = notice; }
  void SetDiagnostics(IDiagnosticsSink* sink) override { m_diag = sink; }

  void AppendLog(std::string_view text) override;
  void ClearLog() override {}  // what is written stays written
  void SelectInput() override {}
  void ClearInput() override { m_input.clear(); }
  std::string GetInputText() override { return m_input; }
  void MessageBox(const std::string& text) override;
  void SetTitle(const std::string&) override {}
  void ApplyStyle(int, const CColorEdit&) override {}
  void ShowAbout() override;
  void Shutdown() override;

 private:
  // Waits for the next input line while serving the bridge. False once the
  // cancel command has come (end of input or a signal).
  bool NextLine(std::string& line);
  void WaitForInput();
  void ReadInput();
  void EndLine();
  // Says once on standard error where the diagnostics are, when there are any.
  void ReportDiagnostics();

  int m_in;
  int m_out;
  int m_err;
  std::shared_ptr<EventPipe> m_events;
  UiBridge* m_bridge = nullptr;
  std::string m_notice;
  IDiagnosticsSink* m_diag = nullptr;
  int m_errOut = -1;             // standard error as it was before the capture
  bool m_bDiagReported = false;
  std::string m_input;           // the answer box
  std::string m_partial;         // input read after the last line end
  bool m_bDropping = false;      // the current line passed kMaxLineBytes
  std::deque<std::string> m_lines;
  bool m_bEof = false;
  bool m_bCancelled = false;
};
