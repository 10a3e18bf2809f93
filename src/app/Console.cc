// The console operations of the dialog: every append, clear and selection is
// carried out on the user-interface thread and returns when it is done.
#include <cstdarg>

#include "app/BrickfixDlg.h"
#include "app/Log.h"
#include "console/ConsoleView.h"
#include "console/Text.h"
#include "console/UiBridge.h"

std::atomic<CBrickfixDlg*> g_pMainDlg{nullptr};

void CBrickfixDlg::InitConsole() {
  g_pMainDlg = this;
  for (CColorEdit* edit : {&m_editLog, &m_editInput}) {
    edit->SetFaceName("宋体");
    edit->SetTextColor(RGB(0, 255, 0));
    edit->SetBackColor(RGB(0, 0, 0));
  }
  m_services.bridge->Invoke([&] {
    m_services.view->ApplyStyle(IDC_LOG, m_editLog);
    m_services.view->ApplyStyle(IDC_INPUT, m_editInput);
    m_services.view->ClearInput();
  });
}

void CBrickfixDlg::PrintText(const std::string& text, bool lineEnd) {
  std::string out = lineEnd ? text + "\r\n" : text;
  m_services.bridge->Invoke([&] { m_services.view->AppendLog(out); });
}

void CBrickfixDlg::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatConsoleText(format, args);
  va_end(args);
  PrintText(text, true);
}

void CBrickfixDlg::PrintInline(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatConsoleText(format, args);
  va_end(args);
  PrintText(text, false);
}

void CBrickfixDlg::ClearLog() {
  m_services.bridge->Invoke([&] { m_services.view->ClearLog(); });
}

void CBrickfixDlg::SelectInput() {
  m_services.bridge->Invoke([&] { m_services.view->SelectInput(); });
}

void CBrickfixDlg::ClearInput() {
  m_services.bridge->Invoke([&] { m_services.view->ClearInput(); });
}

void CBrickfixDlg::ShowStatus(const std::string& text) {
  m_services.bridge->Invoke([&] { m_services.view->SetStatus(text); });
}

void CBrickfixDlg::MessageBox(const std::string& text) {
  m_services.bridge->Invoke([&] { m_services.view->MessageBox(text); });
}

void LogPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatConsoleText(format, args);
  va_end(args);
  if (CBrickfixDlg* dlg = g_pMainDlg.load()) dlg->PrintText(text, true);
}

void LogPrintInline(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatConsoleText(format, args);
  va_end(args);
  if (CBrickfixDlg* dlg = g_pMainDlg.load()) dlg->PrintText(text, false);
}
