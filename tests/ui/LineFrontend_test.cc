#include "ui/LineFrontend.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "console/UiBridge.h"
#include "platform/linux/Diagnostics.h"
#include "ui/FdIo.h"
#include "ui/FdLineChannel.h"

namespace {

struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    CloseWrite();
    if (read >= 0) close(read);
  }
  void CloseWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
  int read = -1;
  int write = -1;
};

// A line frontend on pipes, run on its own user-interface thread.
class LineRig {
 public:
  LineRig() : frontend(MakeFdLineChannel(in.read, out.write, err.write)) {}
  ~LineRig() { Finish(); }

  void Start(FrontendCallbacks cb) {
    callbacks = std::move(cb);
    thread = std::thread([this] { status = frontend.Run(bridge, callbacks); });
  }
  void Send(const std::string& text) { WriteAll(in.write, text); }
  // Ends the input (the cancel command) and waits for Run to return.
  int Finish() {
    in.CloseWrite();
    if (thread.joinable()) thread.join();
    return status;
  }
  // Everything written to stdout so far, waiting up to five seconds for `text`.
  std::string WaitForOutput(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (output.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out.read, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) ReadSome(out.read, output);
    }
    return output;
  }
  std::string Output() {
    Drain(out.read, output);
    return output;
  }
  std::string Errors() {
    std::string text;
    Drain(err.read, text);
    return text;
  }

  Pipe in, out, err;
  LineFrontend frontend;
  UiBridge bridge;
  FrontendCallbacks callbacks;
  std::thread thread;
  int status = -1;
  std::string output;

 private:
  static bool ReadSome(int fd, std::string& into) {
    char buffer[65536];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
  }
  static void Drain(int fd, std::string& into) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && ReadSome(fd, into)) {
    }
  }
};

// Answers as the dialog reads them from the box.
struct Answers {
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return list;
  }
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    list.push_back(text);
  }
  std::mutex mutex;
  std::vector<std::string> list;
};

TEST(LineFrontendTest, TheLogGoesToStdoutAsItIsWritten) {
  LineRig rig;
  rig.Start({[&] {
               rig.frontend.AppendLog("请选择机型：\r\n");
               rig.frontend.AppendLog("#");
               rig.frontend.AppendLog("#");
               rig.frontend.AppendLog("\r\n");
               rig.frontend.ClearLog();  // writes nothing
               rig.frontend.AppendLog("\x1b[2Jtab\there\r\n");
             },
             nullptr, nullptr});
  rig.WaitForOutput("here\n");
  // Another thread's inline append is on stdout by the time its call returns.
  EXPECT_TRUE(rig.bridge.Invoke([&] { rig.frontend.AppendLog("."); }));
  EXPECT_EQ(rig.Output(), "请选择机型：\n##\n\xEF\xBF\xBD[2Jtab\there\n.");
  EXPECT_EQ(rig.Finish(), 0);
}

TEST(LineFrontendTest, EachInputLineIsOneAnswerAndTheEndOfInputCancels) {
  LineRig rig;
  Answers answers;
  rig.Start({nullptr,
             [&] {
               answers.Add(rig.frontend.GetInputText());
               rig.frontend.SelectInput();  // the next line still replaces the text
             },
             nullptr});
  rig.Send("1\r\n22\n\nlast");  // CR LF, an empty line, no final line end
  EXPECT_EQ(rig.Finish(), 0);
  EXPECT_EQ(answers.Get(), (std::vector<std::string>{"1", "22", "", "last"}));
}

TEST(LineFrontendTest, AMessageBoxIsOneLineAndTakesTheNextInputLineAsItsOk) {
  LineRig rig;
  Answers answers;
  rig.Start({nullptr,
             [&] {
               std::string text = rig.frontend.GetInputText();
               answers.Add(text);
               if (text == "bad") rig.frontend.MessageBox("非法机型，\r\n请重新输入！");
             },
             nullptr});
  rig.Send("bad\nok\nnext\n");
  EXPECT_EQ(rig.Finish(), 0);
  EXPECT_EQ(answers.Get(), (std::vector<std::string>{"bad", "next"}));
  EXPECT_EQ(rig.Output(), "[MessageBox] 非法机型， 请重新输入！\n");
}

TEST(LineFrontendTest, TheEndOfInputClosesAnOpenBoxAndLaterBoxes) {
  LineRig rig;
  std::atomic<int> returned{0};
  rig.Start({nullptr,
             [&] {
               rig.frontend.MessageBox("first");
               rig.frontend.MessageBox("second");  // the window is closing: returns at once
               ++returned;
             },
             nullptr});
  rig.Send("x\n");
  EXPECT_EQ(rig.Finish(), 0);
  EXPECT_EQ(returned, 1);
  EXPECT_EQ(rig.Output(), "[MessageBox] first\n");
}

TEST(LineFrontendTest, OtherThreadsAreServedWhileABoxWaits) {
  LineRig rig;
  rig.Start({nullptr, [&] { rig.frontend.MessageBox("wait"); }, nullptr});
  rig.Send("x\n");
  rig.WaitForOutput("[MessageBox] wait\n");
  std::thread worker([&] { rig.bridge.Invoke([&] { rig.frontend.AppendLog("worker\r\n"); }); });
  worker.join();  // returns although the box is still open
  rig.Send("\n");
  EXPECT_EQ(rig.Finish(), 0);
  EXPECT_EQ(rig.Output(), "[MessageBox] wait\nworker\n");
}

TEST(LineFrontendTest, AnAbsurdlyLongLineIsCutAndTheNextLineStillArrives) {
  LineRig rig;
  Answers answers;
  rig.Start({nullptr, [&] { answers.Add(rig.frontend.GetInputText()); }, nullptr});
  rig.Send(std::string(200 * 1024, '9') + "\nnext\n");
  EXPECT_EQ(rig.Finish(), 0);
  std::vector<std::string> got = answers.Get();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::string(LineFrontend::kMaxLineBytes, '9'));
  EXPECT_EQ(got[1], "next");
}

TEST(LineFrontendTest, TermHangUpAndInterruptAreTheCancelCommand) {
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    struct sigaction before;
    sigaction(sig, nullptr, &before);
    LineRig rig;
    rig.Start({[&] { rig.frontend.AppendLog("ready\r\n"); }, nullptr, nullptr});
    rig.WaitForOutput("ready\n");
    kill(getpid(), sig);
    rig.thread.join();  // returns with the input still open
    EXPECT_EQ(rig.status, 0);
    struct sigaction after;
    sigaction(sig, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);  // handed back
  }
}

TEST(LineFrontendTest, TheNoticeGoesToStandardError) {
  LineRig rig;
  rig.frontend.SetNotice("需要 root 权限");
  rig.Start({[&] { rig.frontend.AppendLog("menu\r\n"); }, nullptr, nullptr});
  EXPECT_EQ(rig.Finish(), 0);
  EXPECT_EQ(rig.Errors(), "需要 root 权限\n");
  EXPECT_EQ(rig.Output(), "menu\n");
}

// What a library or a command writes to standard error goes to the
// diagnostics file, never into the log; line mode names the file once.
TEST(LineFrontendTest, DiagnosticsGoToTheirFileAndItsPathToStandardError) {
  char dir[] = "/tmp/brickfix-diag-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  // Twelve older runs: with this one, the newest ten stay.
  for (int i = 0; i < 12; ++i) {
    std::ofstream(std::string(dir) + "/diagnostics-2020010" + std::to_string(i / 10) + "-00000" +
                  std::to_string(i % 10) + "-1.log") << "old";
  }
  DiagnosticsFile file;
  ASSERT_TRUE(file.Open(dir));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), DiagnosticsFile::kKeep);
  EXPECT_FALSE(std::filesystem::exists(std::string(dir) + "/diagnostics-20200100-000000-1.log"));
  EXPECT_TRUE(std::filesystem::exists(std::string(dir) + "/diagnostics-20200101-000001-1.log"));
  struct stat before {};
  fstat(STDERR_FILENO, &before);

  LineRig rig;
  rig.frontend.SetDiagnostics(&file);
  rig.Start({[&] {
               rig.frontend.AppendLog("menu\r\n");
               std::fprintf(stderr, "brickfix: https://cloud: Could not connect\n");
               std::fflush(stderr);
             },
             nullptr, nullptr});
  std::string errors;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       errors.empty() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    errors = rig.Errors();
  }
  EXPECT_EQ(errors, "brickfix: 诊断信息已写入 " + file.Path() + "\n")
      << "named while the run goes on";
  EXPECT_EQ(rig.Finish(), 0);
  EXPECT_EQ(rig.Output(), "menu\n");
  EXPECT_EQ(rig.Errors(), "") << "named once";
  std::ifstream in(file.Path());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "brickfix: https://cloud: Could not connect\n");
  struct stat after {};
  fstat(STDERR_FILENO, &after);
  EXPECT_EQ(after.st_ino, before.st_ino) << "standard error is back";
  file.RemoveIfEmpty();
  EXPECT_TRUE(std::filesystem::exists(file.Path())) << "a file with something in it stays";

  DiagnosticsFile empty;
  ASSERT_TRUE(empty.Open(dir));
  std::string path = empty.Path();
  empty.RemoveIfEmpty();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(DiagnosticsFile().Open(std::string(dir) + "/missing")) << "dropped, not kept";
  std::filesystem::remove_all(dir);
}

}  // namespace
