#include "ui/TermFrontend.h"

#define NCURSES_NOMACROS
#include <ncurses.h>
#include <term.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/BrickfixDlg.h"
#include "console/Text.h"
#include "console/UiBridge.h"
#include "ui/About.h"
#include "ui/EventPipe.h"
#include "ui/FdIo.h"
#include "ui/TextCells.h"

namespace {

enum Pair : short { kLogPair = 1, kInputPair, kBarPair, kNoticePair, kBoxPair };

constexpr const char* kHint =
    " Enter 确认  Esc 退出  F1 关于  PgUp/PgDn/Home/End 滚动  Shift+Left/Right 左右";
constexpr const char* kButton = "[ 确定 ]";
constexpr int kWheelLines = 3;
constexpr int kSideStep = 8;
constexpr int kEscDelayMs = 25;
constexpr auto kDrawInterval = std::chrono::milliseconds(15);
constexpr int kDiagnosticsLookMs = 500;

// ---- Restoring the terminal when the process dies of a fatal signal ----
//
// Everything the handler needs is prepared before it is armed, and it calls
// only async-signal-safe functions: write, tcsetattr, dup2, sigaction, raise.

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kFatalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];

struct CrashRestore {
  char sequence[512];
  std::size_t length = 0;
  int ttyFd = -1;
  termios mode;
  bool haveMode = false;
  int stdoutCopy = -1;
  int stderrCopy = -1;
  struct sigaction old[kFatalCount];
  bool armed = false;
};
CrashRestore g_crash;

void OnFatalSignal(int sig) {
  [[maybe_unused]] ssize_t n = write(g_crash.ttyFd, g_crash.sequence, g_crash.length);
  if (g_crash.haveMode) tcsetattr(STDIN_FILENO, TCSANOW, &g_crash.mode);
  // Let the report of whatever handles the signal next reach the terminal.
  if (g_crash.stdoutCopy >= 0) dup2(g_crash.stdoutCopy, STDOUT_FILENO);
  if (g_crash.stderrCopy >= 0) dup2(g_crash.stderrCopy, STDERR_FILENO);
  for (int i = 0; i < kFatalCount; ++i) {
    if (kFatalSignals[i] == sig) sigaction(sig, &g_crash.old[i], nullptr);
  }
  raise(sig);  // delivered with the previous action once this handler returns
}

void AppendCapability(const char* name) {
  const char* value = tigetstr(const_cast<char*>(name));
  if (!value || value == reinterpret_cast<char*>(-1)) return;
  std::size_t len = std::strlen(value);
  if (g_crash.length + len >= sizeof g_crash.sequence) return;
  std::memcpy(g_crash.sequence + g_crash.length, value, len);
  g_crash.length += len;
}

void ArmCrashRestore(int ttyFd, int stdoutCopy, int stderrCopy) {
  g_crash.length = 0;
  for (const char* name : {"sgr0", "cnorm", "rmkx", "rmcup"}) AppendCapability(name);
  static const char kMouseOff[] = "\033[?1000l\033[?1006l";
  if (g_crash.length + sizeof kMouseOff < sizeof g_crash.sequence) {
    std::memcpy(g_crash.sequence + g_crash.length, kMouseOff, sizeof kMouseOff - 1);
    g_crash.length += sizeof kMouseOff - 1;
  }
  g_crash.ttyFd = ttyFd;
  g_crash.stdoutCopy = stdoutCopy;
  g_crash.stderrCopy = stderrCopy;
  struct sigaction action = {};
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kFatalCount; ++i) sigaction(kFatalSignals[i], &action, &g_crash.old[i]);
  g_crash.armed = true;
}

void DisarmCrashRestore() {
  if (!g_crash.armed) return;
  for (int i = 0; i < kFatalCount; ++i) sigaction(kFatalSignals[i], &g_crash.old[i], nullptr);
  g_crash.armed = false;
}

bool TerminalTakesTitles() {
  const char* term = std::getenv("TERM");
  return term && std::strcmp(term, "linux") != 0;
}

}  // namespace

// The curses screen and the descriptors rearranged around it.
struct TermFrontend::ScreenHandle {
  SCREEN* screen = nullptr;
  FILE* ttyOut = nullptr;  // curses draws here: a copy of the terminal's stdout
  int stdoutCopy = -1;     // the terminal, for putting stdout back
  int stderrCopy = -1;
  bool captured = false;   // stdout and stderr go to the diagnostics file
  bool colours = false;
  bool titles = false;

  ~ScreenHandle() {
    if (screen) delscreen(screen);
    if (ttyOut) std::fclose(ttyOut);
    for (int fd : {stdoutCopy, stderrCopy}) {
      if (fd >= 0) close(fd);
    }
  }
};

TermFrontend::TermFrontend() : m_events(std::make_shared<EventPipe>()) {}

TermFrontend::~TermFrontend() { Shutdown(); }

// ---- Opening and closing ----

bool TermFrontend::Open(std::string& error) {
  if (!m_events->Valid()) {
    error = "cannot create the event pipe";
    return false;
  }
  if (!EnsureUtf8Ctype()) {
    error = "no UTF-8 locale is available";
    return false;
  }
  // Catch the cancel signals and SIGWINCH before curses starts, so that it
  // leaves them to us.
  m_events->CatchSignals(true);
  m_screen = OpenScreen(error);
  if (!m_screen) {
    m_events->ReleaseSignals();
    return false;
  }
  ConfigureScreen();
  ArmCrashRestore(fileno(m_screen->ttyOut), m_screen->stdoutCopy, m_screen->stderrCopy);
  CaptureOutput();
  m_screen->titles = TerminalTakesTitles();
  WriteTitle("\033[22;0t");  // keep the terminal's own title to put it back
  return true;
}

std::unique_ptr<TermFrontend::ScreenHandle> TermFrontend::OpenScreen(std::string& error) {
  auto handle = std::make_unique<ScreenHandle>();
  int ttyFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  handle->stdoutCopy = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  handle->stderrCopy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  handle->ttyOut = ttyFd >= 0 ? fdopen(ttyFd, "w") : nullptr;
  if (!handle->ttyOut) {
    if (ttyFd >= 0) close(ttyFd);
    error = "cannot open the terminal";
    return nullptr;
  }
  termios mode;
  g_crash.haveMode = tcgetattr(STDIN_FILENO, &mode) == 0;
  if (g_crash.haveMode) g_crash.mode = mode;
  handle->screen = newterm(nullptr, handle->ttyOut, stdin);
  if (!handle->screen) {
    const char* term = std::getenv("TERM");
    error = std::string("cannot use the terminal type \"") + (term ? term : "") + "\"; try --ui=line";
    return nullptr;
  }
  set_term(handle->screen);
  return handle;
}

void TermFrontend::ConfigureScreen() {
  raw();  // Ctrl-C and Ctrl-Z arrive as keys
  noecho();
  nonl();
  meta(stdscr, TRUE);
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  intrflush(stdscr, FALSE);
  set_escdelay(kEscDelayMs);
  curs_set(1);
  mousemask(BUTTON4_PRESSED | BUTTON5_PRESSED, nullptr);
  mouseinterval(0);
  InitColours();
  LoadExtraKeys();
}

void TermFrontend::InitColours() {
  m_screen->colours = has_colors();
  if (!m_screen->colours) return;
  start_color();
  init_pair(kLogPair, m_logColours.text, m_logColours.back);
  init_pair(kInputPair, m_inputColours.text, m_inputColours.back);
  init_pair(kBarPair, COLOR_BLACK, COLOR_CYAN);
  init_pair(kNoticePair, COLOR_RED, COLOR_CYAN);
  init_pair(kBoxPair, COLOR_BLACK, COLOR_WHITE);
}

void TermFrontend::LoadExtraKeys() {
  // Alt, Ctrl and Ctrl+Shift with the arrows, where the terminal names them.
  const char* left[] = {"kLFT3", "kLFT5", "kLFT6"};
  const char* right[] = {"kRIT3", "kRIT5", "kRIT6"};
  for (int i = 0; i < 3; ++i) {
    for (auto [name, slot] : {std::pair{left[i], &m_extraKeys.sideLeft[i]},
                              std::pair{right[i], &m_extraKeys.sideRight[i]}}) {
      const char* value = tigetstr(const_cast<char*>(name));
      if (!value || value == reinterpret_cast<char*>(-1)) continue;
      int code = key_defined(value);
      if (code > 0) *slot = code;
    }
  }
}

// Whatever else writes to stdout or stderr while the window is open (a
// library's diagnostic, a command's error text) would scribble over the
// screen; it goes to the diagnostics file instead, never into the log.
void TermFrontend::CaptureOutput() {
  if (!m_diag) return;
  m_diag->Capture(true);
  m_screen->captured = true;
}

void TermFrontend::ReleaseOutput() {
  if (!m_screen->captured) return;
  m_diag->Release();
  m_screen->captured = false;
}

void TermFrontend::LookAtDiagnostics() {
  if (m_bDiagShown || !m_diag || !m_diag->Written()) return;
  m_bDiagShown = true;
  Invalidate();
}

void TermFrontend::WriteTitle(const char* prefix) {
  if (!m_screen || !m_screen->titles) return;
  std::string sequence = prefix;
  sequence += "\033]0;" + SanitizeForDisplay(m_title) + "\007";
  std::fputs(sequence.c_str(), m_screen->ttyOut);
  std::fflush(m_screen->ttyOut);
}

void TermFrontend::Shutdown() {
  if (!m_screen) return;
  DisarmCrashRestore();
  endwin();
  if (m_screen->titles) {
    std::fputs("\033[23;0t", m_screen->ttyOut);  // the terminal's own title again
    std::fflush(m_screen->ttyOut);
  }
  ReleaseOutput();
  m_screen.reset();
  m_events->ReleaseSignals();
}

// ---- The loops ----

int TermFrontend::Run(UiBridge& bridge, const FrontendCallbacks& callbacks) {
  std::string error;
  if (!Open(error)) {
    WriteAll(STDERR_FILENO, "brickfix: " + error + "\n");
    return 1;
  }
  m_bridge = &bridge;
  m_callbacks = &callbacks;
  bridge.AttachUiThread();
  // The bridge may still hold the callback when this object is gone.
  bridge.SetWakeup([events = m_events] { events->Wake(); });
  Redraw();
  if (callbacks.onInit) callbacks.onInit();
  const bool never = false;
  Serve([this](const KeyEvent& event) { HandleMainKey(event); }, never);
  bridge.Close();
  bridge.SetWakeup(nullptr);
  Shutdown();
  return 0;
}

void TermFrontend::Serve(const std::function<void(const KeyEvent&)>& onKey, const bool& done) {
  while (!m_bCancelled && !done && m_screen) {
    Drain();
    LookAtDiagnostics();
    KeyEvent event;
    while (!m_bCancelled && !done && m_screen && ReadKey(event)) onKey(event);
    if (m_bCancelled || done || !m_screen) return;
    // A worker streaming appends gets a frame per interval, not per append.
    int timeout = m_diag && !m_bDiagShown ? kDiagnosticsLookMs : -1;
    if (m_bDirty) {
      auto since = std::chrono::steady_clock::now() - m_lastDraw;
      if (since >= kDrawInterval) Redraw();
      else timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(kDrawInterval - since).count());
    }
    WaitForEvents(timeout);
  }
}

void TermFrontend::Drain() {
  if (!m_bridge) return;
  ++m_drainDepth;
  m_bridge->Drain();
  --m_drainDepth;
}

void TermFrontend::WaitForEvents(int timeoutMs) {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_events->ReadFd(), POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return;  // EINTR, or time to draw or to look
  if (fds[1].revents & POLLIN) {
    EventPipe::Events events = m_events->Consume();
    if (events.cancel) m_bCancelled = true;
    if (events.resize) HandleResize();
  }
  // The terminal is gone (hang-up); nobody can answer any more.
  if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) m_bCancelled = true;
}

bool TermFrontend::ReadKey(KeyEvent& event) {
  int code = wgetch(stdscr);
  if (code == ERR) return false;
  event = TranslateKey(code, [] { return wgetch(stdscr); }, m_extraKeys);
  return true;
}

void TermFrontend::HandleMainKey(const KeyEvent& event) {
  switch (event.action) {
    case KeyAction::kEnter:
      if (m_callbacks->onEnter) m_callbacks->onEnter();
      break;
    case KeyAction::kEscape:
    case KeyAction::kInterrupt:
      m_bCancelled = true;
      break;
    case KeyAction::kAbout:
      if (m_callbacks->onSysCommand) m_callbacks->onSysCommand(IDM_ABOUTBOX);
      break;
    case KeyAction::kPageUp: m_log.PageUp(); break;
    case KeyAction::kPageDown: m_log.PageDown(); break;
    case KeyAction::kLogHome: m_log.ScrollHome(); break;
    case KeyAction::kLogEnd: m_log.ScrollEnd(); break;
    case KeyAction::kLineUp: m_log.ScrollLines(-1); break;
    case KeyAction::kLineDown: m_log.ScrollLines(1); break;
    case KeyAction::kSideLeft: m_log.ScrollColumns(-kSideStep); break;
    case KeyAction::kSideRight: m_log.ScrollColumns(kSideStep); break;
    case KeyAction::kLeft: m_box.MoveLeft(); break;
    case KeyAction::kRight: m_box.MoveRight(); break;
    case KeyAction::kBackspace: m_box.Backspace(); break;
    case KeyAction::kDelete: m_box.Delete(); break;
    case KeyAction::kBoxHome: m_box.MoveHome(); break;
    case KeyAction::kBoxEnd: m_box.MoveEnd(); break;
    case KeyAction::kBoxClear: m_box.Clear(); break;
    case KeyAction::kText: m_box.Type(event.byte); break;
    case KeyAction::kMouse: HandleMouse(); break;
    case KeyAction::kResize:  // curses has resized already (see HandleResize)
    case KeyAction::kNone: break;
  }
  Invalidate();
}

void TermFrontend::HandleMouse() {
  MEVENT event;
  if (getmouse(&event) != OK) return;
  if (event.bstate & BUTTON4_PRESSED) m_log.ScrollLines(-kWheelLines);
  if (event.bstate & BUTTON5_PRESSED) m_log.ScrollLines(kWheelLines);
}

// Resizing curses queues a KEY_RESIZE; that key only asks for a redraw, or
// the two would feed each other for ever.
void TermFrontend::HandleResize() {
  winsize size;
  if (ioctl(fileno(m_screen->ttyOut), TIOCGWINSZ, &size) == 0 && size.ws_row && size.ws_col) {
    resizeterm(size.ws_row, size.ws_col);
  }
  Invalidate();
}

void TermFrontend::RunModal(const Modal& modal) {
  if (m_bCancelled || !m_screen) return;
  m_modals.push_back(&modal);
  Show();
  bool done = false;
  Serve(
      [&](const KeyEvent& event) {
        switch (event.action) {
          case KeyAction::kEnter:
          case KeyAction::kEscape: done = true; break;
          case KeyAction::kText: done = event.byte == ' '; break;
          case KeyAction::kInterrupt: m_bCancelled = true; break;
          default: break;
        }
      },
      done);
  m_modals.pop_back();
  Show();
}

// ---- What the dialog asks for ----

void TermFrontend::AppendLog(std::string_view text) {
  m_log.Append(text);
  Show();
}

void TermFrontend::ClearLog() {
  m_log.Clear();
  Show();
}

void TermFrontend::SelectInput() {
  m_box.SelectAll();
  Show();
}

void TermFrontend::ClearInput() {
  m_box.Clear();
  Show();
}

void TermFrontend::MessageBox(const std::string& text) { RunModal(Modal{m_title, text}); }

void TermFrontend::ShowAbout() {
  RunModal(Modal{kAboutTitle, std::string(kAboutName) + "\n" + AboutVersionLine()});
}

void TermFrontend::SetStatus(const std::string& text) {
  m_status = text;
  Show();
}

void TermFrontend::SetTitle(const std::string& title) {
  m_title = title;
  WriteTitle("");
  Show();
}

void TermFrontend::ApplyStyle(int controlId, const CColorEdit& style) {
  Colours colours{NearestTerminalColour(style.m_crText), NearestTerminalColour(style.m_crBack)};
  if (controlId == IDC_LOG) m_logColours = colours;
  else if (controlId == IDC_INPUT) m_inputColours = colours;
  else return;
  if (m_screen && m_screen->colours) {
    init_pair(controlId == IDC_LOG ? kLogPair : kInputPair, colours.text, colours.back);
  }
  Show();
}

// ---- Drawing ----

void TermFrontend::Show() {
  m_bDirty = true;
  if (!m_screen) return;
  auto now = std::chrono::steady_clock::now();
  if (m_drainDepth == 0 || now - m_lastDraw >= kDrawInterval) Redraw();
}

namespace {

attr_t PairAttr(bool colours, short pair, attr_t fallback) {
  return colours ? static_cast<attr_t>(COLOR_PAIR(pair)) : fallback;
}

// Writes display-ready text at (row, col), cut to `width` cells.
void Put(int row, int col, const std::string& text, int width, attr_t attr) {
  if (width <= 0) return;
  attrset(attr);
  mvaddstr(row, col, CellSlice(text, 0, width).c_str());
}

void Fill(int row, int col, int width, attr_t attr) {
  if (width > 0) mvhline(row, col, ' ' | attr, width);
}

}  // namespace

void TermFrontend::Redraw() {
  if (!m_screen) return;
  int rows, cols;
  getmaxyx(stdscr, rows, cols);
  ScreenLayout layout = ComputeLayout(rows, cols);
  m_log.SetSize(layout.logRows, layout.logCols);
  werase(stdscr);
  DrawBars(layout);
  DrawLog(layout);
  int cursor = DrawInput(layout);
  for (const Modal* modal : m_modals) DrawModal(*modal, rows, cols);
  if (m_modals.empty() && layout.inputRow >= 0) {
    curs_set(1);
    move(layout.inputRow, cursor);
  } else {
    curs_set(0);
  }
  wnoutrefresh(stdscr);
  doupdate();
  m_bDirty = false;
  m_lastDraw = std::chrono::steady_clock::now();
}

void TermFrontend::DrawBars(const ScreenLayout& layout) {
  attr_t bar = PairAttr(m_screen->colours, kBarPair, A_REVERSE);
  if (layout.titleRow >= 0) {
    Fill(layout.titleRow, 0, layout.cols, bar);
    std::string title = " " + DisplayLine(m_title);
    Put(layout.titleRow, 0, title, layout.cols, bar | A_BOLD);
    // The recovery link's status, then the diagnostics file: the notice
    // (about rights, or root) is long and may run past the bar's end.
    std::string text = m_status;
    if (m_bDiagShown) {
      text += (text.empty() ? "" : "  ") + std::string("诊断信息 diagnostics: ") + m_diag->Path();
    }
    if (!m_notice.empty()) text += (text.empty() ? "" : "  ") + m_notice;
    if (!text.empty()) {
      int used = DisplayWidth(title) + 2;
      attr_t notice = PairAttr(m_screen->colours, kNoticePair, A_REVERSE) | A_BOLD;
      Put(layout.titleRow, used, DisplayLine(text), layout.cols - used, notice);
    }
  }
  if (layout.hintRow >= 0) {
    Fill(layout.hintRow, 0, layout.cols, bar);
    Put(layout.hintRow, 0, kHint, layout.cols, bar);
  }
}

void TermFrontend::DrawLog(const ScreenLayout& layout) {
  attr_t attr = PairAttr(m_screen->colours, kLogPair, A_NORMAL);
  std::vector<std::string> visible = m_log.VisibleRows();
  for (int i = 0; i < layout.logRows; ++i) {
    Fill(layout.logTop + i, 0, layout.logCols, attr);
    if (static_cast<std::size_t>(i) < visible.size()) {
      Put(layout.logTop + i, 0, visible[static_cast<std::size_t>(i)], layout.logCols, attr);
    }
  }
  if (!layout.scrollBar) return;
  Thumb thumb = ComputeThumb(m_log.LineCount(), static_cast<std::size_t>(layout.logRows), m_log.Top(),
                             layout.logRows);
  for (int i = 0; i < layout.logRows; ++i) {
    bool inThumb = i >= thumb.start && i < thumb.start + thumb.length;
    chtype cell = inThumb ? (' ' | A_REVERSE) : ACS_CKBOARD;
    mvaddch(layout.logTop + i, layout.logCols, cell | attr);
  }
}

int TermFrontend::DrawInput(const ScreenLayout& layout) {
  if (layout.inputRow < 0) return 0;
  attr_t attr = PairAttr(m_screen->colours, kInputPair, A_NORMAL);
  Fill(layout.inputRow, 0, layout.cols, attr);
  AnswerBox::View view = m_box.Visible(layout.cols);
  Put(layout.inputRow, 0, view.text, layout.cols, m_box.Selected() ? attr | A_REVERSE : attr);
  return std::min(view.cursorColumn, std::max(layout.cols - 1, 0));
}

void TermFrontend::DrawModal(const Modal& modal, int rows, int cols) {
  BoxLayout box = ComputeBox(rows, cols, modal.title, modal.text, kButton);
  if (box.height <= 0 || box.width <= 0) return;
  attr_t attr = PairAttr(m_screen->colours, kBoxPair, A_REVERSE);
  for (int r = 0; r < box.height; ++r) Fill(box.top + r, box.left, box.width, attr);
  int bottom = box.top + box.height - 1;
  int right = box.left + box.width - 1;
  if (box.height >= 2 && box.width >= 2) {
    attrset(attr);
    mvhline(box.top, box.left + 1, ACS_HLINE | attr, box.width - 2);
    mvhline(bottom, box.left + 1, ACS_HLINE | attr, box.width - 2);
    mvvline(box.top + 1, box.left, ACS_VLINE | attr, box.height - 2);
    mvvline(box.top + 1, right, ACS_VLINE | attr, box.height - 2);
    mvaddch(box.top, box.left, ACS_ULCORNER | attr);
    mvaddch(box.top, right, ACS_URCORNER | attr);
    mvaddch(bottom, box.left, ACS_LLCORNER | attr);
    mvaddch(bottom, right, ACS_LRCORNER | attr);
  }
  std::string title = " " + DisplayLine(modal.title) + " ";
  int titleWidth = std::min(DisplayWidth(title), std::max(box.width - 2, 0));
  Put(box.top, box.left + (box.width - titleWidth) / 2, title, titleWidth, attr | A_BOLD);
  for (std::size_t i = 0; i < box.textLines.size(); ++i) {
    Put(box.top + 1 + static_cast<int>(i), box.left + 2, box.textLines[i], box.width - 4, attr);
  }
  if (box.height >= 3) {
    int buttonWidth = std::min(DisplayWidth(kButton), box.width);
    Put(bottom - 1, box.left + (box.width - buttonWidth) / 2, kButton, buttonWidth, attr | A_REVERSE);
  }
}
