// The real program's terminal window in a private tmux server. Every answer
// given here is refused at the model menu: a valid model would start the
// cloud query and the steps after it.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "app/Version.h"

namespace {

std::string FindTmux() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/tmux";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One tmux server on its own socket with a 90x24 window, where a plain
// shell starts the program: when the program has ended, the shell shows its
// exit status and proves that the terminal works normally again.
class TmuxWindow {
 public:
  // `environment` ("NAME=value ") goes before the program on its command line.
  TmuxWindow(const std::string& tmux, const std::string& environment) : m_tmux(tmux) {
    static std::atomic<int> counter{0};
    m_socket = "brickfix-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    // In a folder without "Rom": a model answer finds no stored firmware.
    m_started = Tmux({"new-session", "-d", "-s", "w", "-x", "90", "-y", "24", "-c", TestStateDir(),
                      "/bin/sh"},
                     &m_error);
    if (!m_started) return;
    // No core file when a test kills the program with a fatal signal.
    // In a network namespace of its own, as the other end-to-end tests.
    std::string program;
    for (const std::string& word : InOwnNetworkNamespace({BRICKFIX_BINARY})) program += "'" + word + "' ";
    Keys({"-l", "ulimit -c 0; " + TestStateHome() + " " + environment + program + "; echo \"status=$?\""});
    Keys({"Enter"});
  }
  ~TmuxWindow() { Tmux({"kill-server"}); }

  bool Started() const { return m_started; }
  const std::string& Error() const { return m_error; }

  // The screen's text; with `colours`, with the attributes as escape sequences.
  std::string Capture(bool colours = false) {
    std::string out;
    std::vector<std::string> args{"capture-pane", "-p", "-t", "w"};
    if (colours) args.push_back("-e");
    Tmux(args, &out);
    return out;
  }
  std::string Format(const std::string& format) {
    std::string out;
    Tmux({"display-message", "-p", "-t", "w", format}, &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  void Keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args{"send-keys", "-t", "w"};
    args.insert(args.end(), keys.begin(), keys.end());
    Tmux(args);
  }
  void Resize(int cols, int rows) {
    Tmux({"resize-window", "-t", "w", "-x", std::to_string(cols), "-y", std::to_string(rows)});
  }
  // Polls the screen until `ready` holds (ten seconds at most).
  bool WaitFor(const std::function<bool(const std::string& screen)>& ready) {
    for (int i = 0; i < 200; ++i) {
      if (ready(Capture())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  bool WaitForText(const std::string& text) {
    return WaitFor([&](const std::string& screen) { return screen.find(text) != std::string::npos; });
  }
  // Waits for a line that is `line`, or that starts with it when `prefix`.
  bool HasLine(const std::string& line, bool prefix = false) {
    return WaitFor([&](const std::string& screen) {
      for (const std::string& l : SplitLines(screen)) {
        if (prefix ? l.rfind(line, 0) == 0 : l == line) return true;
      }
      return false;
    });
  }
  // The program's own process (the shell's child).
  pid_t ProgramPid() {
    std::string shell = Format("#{pane_pid}");
    std::ifstream children("/proc/" + shell + "/task/" + shell + "/children");
    pid_t pid = 0;
    children >> pid;
    return pid;
  }
  // After the program ends: its status (when `status` is not empty), and
  // the terminal as it was before.
  void ExpectEndedCleanly(const std::string& status = "status=0") {
    ASSERT_TRUE(HasLine(status.empty() ? "status=" : status, status.empty())) << Capture();
    // Back on the normal screen with a visible cursor, no keypad or mouse mode.
    EXPECT_EQ(Format("#{alternate_on} #{cursor_flag} #{keypad_flag} #{mouse_any_flag}"), "0 1 0 0");
    EXPECT_EQ(Capture().find("请选择机型"), std::string::npos);
    // Echo and line editing are back: the shell reads a typed command.
    Keys({"-l", "echo restored"});
    Keys({"Enter"});
    EXPECT_TRUE(HasLine("restored")) << Capture();
  }

 private:
  bool Tmux(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> argv{m_tmux, "-u", "-L", m_socket, "-f", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, {"LANG=C.UTF-8"});
    child.CloseInput();
    int status = child.Wait(std::chrono::seconds(10));
    if (out) *out = child.Stdout() + child.Stderr();
    return status == 0;
  }

  std::string m_tmux;
  std::string m_socket;
  std::string m_error;
  bool m_started = false;
};

class TerminalWindowTmuxTest : public ::testing::Test {
 protected:
  void SetUp() override { StartWindow(""); }
  void StartWindow(const std::string& environment) {
    std::string tmux = FindTmux();
    if (tmux.empty()) GTEST_SKIP() << "tmux is not installed; the terminal window is not tested end to end";
    window = std::make_unique<TmuxWindow>(tmux, environment);
    ASSERT_TRUE(window->Started()) << window->Error();
    ASSERT_TRUE(window->WaitForText("5. 通用（recovery.bin）")) << window->Capture();
  }
  std::string LastLine() { return SplitLines(window->Capture()).back(); }

  std::unique_ptr<TmuxWindow> window;
};

TEST_F(TerminalWindowTmuxTest, FirstScreenRefusedAnswerAndEscape) {
  std::vector<std::string> lines = SplitLines(window->Capture());
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[0].rfind(" Terno 修复助手", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "请选择机型：");
  EXPECT_EQ(lines[6], "5. 通用（recovery.bin）");
  EXPECT_EQ(window->Format("#{pane_title}"), "Terno 修复助手");
  // The log is green on black.
  std::string menuLine = SplitLines(window->Capture(true))[1];
  EXPECT_NE(menuLine.find("\x1b[32m"), std::string::npos) << menuLine;
  EXPECT_NE(menuLine.find("\x1b[40m"), std::string::npos) << menuLine;
  // The answer box is the last row: empty, with the cursor in it.
  EXPECT_EQ(lines[23], "");
  EXPECT_EQ(window->Format("#{cursor_x},#{cursor_y} #{cursor_flag}"), "0,23 1");

  window->Keys({"7", "Enter"});
  ASSERT_TRUE(window->WaitForText("非法机型，请重新输入！")) << window->Capture();
  EXPECT_NE(window->Capture().find("[ 确定 ]"), std::string::npos);

  window->Keys({"Enter"});
  ASSERT_TRUE(window->WaitFor([](const std::string& s) { return s.find("确定") == std::string::npos; }));
  EXPECT_EQ(LastLine(), "7");  // kept, selected for typing over

  window->Keys({"Escape"});
  window->ExpectEndedCleanly();
}

TEST_F(TerminalWindowTmuxTest, AboutBoxGarbageEnterHeldDownResizeAndCtrlC) {
  const std::string version = std::string("Brickfix 版本 ") + BRICKFIX_VERSION;
  window->Keys({"F1"});
  ASSERT_TRUE(window->WaitForText("关于Terno 修复工具")) << window->Capture();
  EXPECT_NE(window->Capture().find(version), std::string::npos);
  window->Keys({"Escape"});  // closes the box, not the window
  ASSERT_TRUE(window->WaitFor([](const std::string& s) { return s.find("关于Terno") == std::string::npos; }));
  EXPECT_NE(window->Capture().find("请选择机型"), std::string::npos);  // still running
  window->Keys({"M-a"});
  ASSERT_TRUE(window->WaitForText("关于Terno 修复工具")) << window->Capture();
  window->Keys({"Space"});
  ASSERT_TRUE(window->WaitFor([](const std::string& s) { return s.find("关于Terno") == std::string::npos; }));

  // Invalid UTF-8 and a control character typed into the box.
  window->Keys({"-H", "ff", "c3", "28", "07", "78"});
  ASSERT_TRUE(window->WaitFor([&](const std::string&) { return LastLine() == "\uFFFD\uFFFD(x"; }))
      << window->Capture();
  window->Keys({"Enter"});
  ASSERT_TRUE(window->WaitForText("输入不是整数，请重新输入！")) << window->Capture();

  // Enter held down: boxes open and close in turn, nothing piles up.
  window->Keys(std::vector<std::string>(41, "Enter"));
  ASSERT_TRUE(window->WaitFor([](const std::string& s) { return s.find("确定") == std::string::npos; }))
      << window->Capture();

  window->Resize(60, 15);
  ASSERT_TRUE(window->WaitFor([](const std::string& s) {
    std::vector<std::string> lines = SplitLines(s);
    return lines.size() == 15 && lines[13].rfind(" Enter 确认", 0) == 0;
  })) << window->Capture();
  EXPECT_NE(window->Capture().find("1. Terno Lark（RX2001）"), std::string::npos);

  window->Keys({"C-c"});
  window->ExpectEndedCleanly();
}

TEST_F(TerminalWindowTmuxTest, WindowRunsWithoutRightsAndTermEndsItAndRestoresTheTerminal) {
  pid_t pid = window->ProgramPid();
  ASSERT_GT(pid, 0);
  ExpectOnlyTheHelperHoldsNetworkRights(pid);
  kill(pid, SIGTERM);
  window->ExpectEndedCleanly();
}

// The program dies of the signal, but the terminal is put back first.
TEST_F(TerminalWindowTmuxTest, AFatalSignalStillRestoresTheTerminal) {
  pid_t pid = window->ProgramPid();
  ASSERT_GT(pid, 0);
  kill(pid, SIGSEGV);
  // Any status: a sanitizer's own handler may report the signal and exit.
  window->ExpectEndedCleanly("");
  EXPECT_EQ(window->Capture().find("status=0"), std::string::npos);
}

// An HTTP error of the cloud query goes to the diagnostics file, never into
// the log; the top bar names the file. (No cloud and nothing stored: the run
// ends at its message box, before any change.)
class UnreachableCloudTmuxTest : public TerminalWindowTmuxTest {
 protected:
  void SetUp() override { StartWindow("BRICKFIX_CLOUD_HOST=127.0.0.1:9 "); }
};

TEST_F(UnreachableCloudTmuxTest, DiagnosticsShowInTheTopBarNotInTheLog) {
  window->Keys({"1", "Enter"});
  ASSERT_TRUE(window->WaitForText("本地没有固件且无法联网找到最新固件")) << window->Capture();
  ASSERT_TRUE(window->WaitFor([](const std::string& s) {
    return s.substr(0, s.find('\n')).find("诊断信息 diagnostics: ") != std::string::npos;
  })) << window->Capture();
  std::string screen = window->Capture();
  EXPECT_NE(screen.find(TestStateDir() + "/brickfix/diagnostics-"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("127.0.0.1"), std::string::npos) << "the HTTP error is not in the log";
  window->Keys({"Enter"});
  window->ExpectEndedCleanly();
}

// Without a description of the terminal the program falls back to line mode.
class UnknownTerminalTmuxTest : public TerminalWindowTmuxTest {
 protected:
  void SetUp() override { StartWindow("TERM=no-such-terminal "); }
};

TEST_F(UnknownTerminalTmuxTest, LineModeRunsOnTheTerminalInstead) {
  EXPECT_EQ(window->Format("#{alternate_on}"), "0");
  EXPECT_TRUE(window->HasLine("请选择机型："));
  window->Keys({"7", "Enter"});
  EXPECT_TRUE(window->HasLine("[MessageBox] 非法机型，请重新输入！")) << window->Capture();
  window->Keys({"C-d"});  // the end of input: the box returns and the run ends
  EXPECT_TRUE(window->HasLine("status=0")) << window->Capture();
}

}  // namespace
