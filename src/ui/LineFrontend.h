// Line mode, the automation interface: the log goes to standard output as it
// is written, each line of standard input is one answer followed by Enter, a
// message box is one "[MessageBox] <text>" line confirmed by the next input
// line, and the end of input is the cancel command. The same on every system;
// the LineChannel is the system's part.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "console/Frontend.h"
#include "ui/LineChannel.h"

class LineFrontend : public IFrontend {
 public:
  // An input line is kept up to this many bytes; the rest of it is dropped.
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  explicit LineFrontend(std::shared_ptr<LineChannel> channel);
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
  void TakeInput(std::string_view data);
  void EndLine();
  // Names the diagnostics file on standard error once something is in it.
  void ReportDiagnostics();

  std::shared_ptr<LineChannel> m_channel;
  UiBridge* m_bridge = nullptr;
  std::string m_notice;
  std::string m_input;           // the answer box
  std::string m_partial;         // input read after the last line end
  bool m_bDropping = false;      // the current line passed kMaxLineBytes
  std::deque<std::string> m_lines;
  bool m_bEof = false;
  bool m_bCancelled = false;
  IDiagnosticsSink* m_diag = nullptr;
  bool m_bDiagReported = false;
};
