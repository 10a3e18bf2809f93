// The Windows window: the main dialog from the program's resources (template
// 102), its two edit controls green on black in the console's font, the
// About entry in the system menu, and modal message boxes with one OK.
// Other threads' console calls reach the window as a message sent to the
// dialog, which the user-interface thread serves in any of its message loops
// (the dialog's, a message box's, the About box's).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "console/Frontend.h"
#include "platform/windows/Win32.h"

class DialogWaker;

class DialogFrontend : public IFrontend {
 public:
  // Messages of the dialog besides the system's.
  static constexpr UINT kWakeMessage = WM_APP + 1;     // serve the bridge
  static constexpr UINT kRefontMessage = WM_APP + 2;   // the DPI changed: new fonts
  static constexpr UINT kNoticeMessage = WM_APP + 3;   // show the notice
  // The status strip between the log and the answer box, made at start.
  static constexpr int kStatusControl = 1010;
  // The log drops its oldest lines beyond this many characters.
  static constexpr int kMaxLogChars = 1 << 20;

  // `instance` holds the resources; null means this program's own.
  explicit DialogFrontend(HINSTANCE instance = nullptr);
  ~DialogFrontend() override;
  DialogFrontend(const DialogFrontend&) = delete;
  DialogFrontend& operator=(const DialogFrontend&) = delete;

  int Run(UiBridge& bridge, const FrontendCallbacks& callbacks) override;
  void SetNotice(const std::string& notice) override;
  // Standard error goes to the diagnostics from Run until Shutdown: a window
  // program has nowhere else to show it.
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

  // The open dialog; null outside Run. Any thread.
  HWND window() const { return m_hDlg.load(); }

 private:
  struct Look {
    bool applied = false;
    CColorEdit style;
    HBRUSH brush = nullptr;
    HFONT font = nullptr;
    std::wstring face;
  };

  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog(HWND hwnd);
  void OnClosing();
  void MakeFont(int controlId);
  Look* LookOf(int controlId);
  HWND Control(int controlId) const;
  void PaintIcon();
  void MakeStatusStrip();
  void ReleaseResources();

  HINSTANCE m_instance;
  std::atomic<HWND> m_hDlg{nullptr};
  UiBridge* m_bridge = nullptr;
  const FrontendCallbacks* m_callbacks = nullptr;
  std::shared_ptr<DialogWaker> m_waker;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  Look m_looks[2];  // the log, the answer box
  std::wstring m_notice;
  IDiagnosticsSink* m_diag = nullptr;
  bool m_bInEnter = false;
};
