// The terminal window: a title bar, the log pane (green on black, scroll
// bar, scrolled with PgUp/PgDn/Home/End, the arrows, the mouse wheel and
// sideways with Shift/Alt/Ctrl+Left/Right), a key hint bar and the one-line
// answer box. Message boxes and the About box are drawn over it and keep
// serving other threads while they are open.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/Frontend.h"
#include "ui/AnswerBox.h"
#include "ui/LogView.h"
#include "ui/TermKeys.h"
#include "ui/TermLayout.h"

class EventPipe;

class TermFrontend : public IFrontend {
 public:
  TermFrontend();
  ~TermFrontend() override;

  int Run(UiBridge& bridge, const FrontendCallbacks& callbacks) override;
  void SetNotice(const std::string& notice) override { m_notice = notice; }
  void SetDiagnostics(IDiagnosticsSink* sink) override { m_diag = sink; }

  void AppendLog(std::string_view text) override;
  void ClearLog() override;
  void SelectInput() override;
  void ClearInput() override;
  std::string GetInputText() override { return m_box.Text(); }
  void MessageBox(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  void SetTitle(const std::string& title) override;
  void ApplyStyle(int controlId, const CColorEdit& style) override;
  void ShowAbout() override;
  void Shutdown() override;

 private:
  struct Modal {
    std::string title;
    std::string text;
  };
  struct Colours {
    short text;
    short back;
  };

  struct ScreenHandle;
  bool Open(std::string& error);
  std::unique_ptr<ScreenHandle> OpenScreen(std::string& error);
  void ConfigureScreen();
  void InitColours();
  void LoadExtraKeys();
  void CaptureOutput();
  void ReleaseOutput();
  void WriteTitle(const char* prefix);

  // Serves the bridge, the keys (through `onKey`) and the signals until
  // `done` is set or the cancel command has come.
  void Serve(const std::function<void(const KeyEvent&)>& onKey, const bool& done);
  void WaitForEvents(int timeoutMs);
  bool ReadKey(KeyEvent& event);
  void Drain();
  void HandleMainKey(const KeyEvent& event);
  void HandleMouse();
  void HandleResize();
  void LookAtDiagnostics();
  void RunModal(const Modal& modal);

  // Something changed. Invalidate() leaves the drawing to the loop; Show()
  // draws now, because the caller may keep the thread busy for a while
  // (a step that waits for a command, say), throttled while draining.
  void Invalidate() { m_bDirty = true; }
  void Show();
  void Redraw();
  void DrawBars(const ScreenLayout& layout);
  void DrawLog(const ScreenLayout& layout);
  int DrawInput(const ScreenLayout& layout);
  void DrawModal(const Modal& modal, int rows, int cols);

  std::shared_ptr<EventPipe> m_events;
  UiBridge* m_bridge = nullptr;
  const FrontendCallbacks* m_callbacks = nullptr;
  std::unique_ptr<ScreenHandle> m_screen;  // the curses screen while open
  ExtraKeys m_extraKeys;

  LogView m_log;
  AnswerBox m_box;
  std::string m_title = "Brickfix";
  std::string m_notice;
  std::string m_status;  // the current diagnosis, first in the top bar
  IDiagnosticsSink* m_diag = nullptr;
  bool m_bDiagShown = false;  // the top bar names the diagnostics file
  Colours m_logColours{0, 7};    // black on white until the console is styled
  Colours m_inputColours{0, 7};
  std::vector<const Modal*> m_modals;  // innermost last

  bool m_bCancelled = false;
  bool m_bDirty = true;
  int m_drainDepth = 0;
  std::chrono::steady_clock::time_point m_lastDraw{};
};
