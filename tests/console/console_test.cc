// The console: appends from many threads, the bridge to the UI thread, text
// limits and the log's line cap.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "app/Log.h"
#include "console/LogBuffer.h"
#include "console/Text.h"
#include "fakes/Fakes.h"

namespace {

TEST(ConsoleTextTest, FormattedTextIsCutAt1023BytesOnACharacterBoundary) {
  EXPECT_EQ(FormatConsoleTextF("%s", std::string(1023, 'a').c_str()).size(), 1023u);
  EXPECT_EQ(FormatConsoleTextF("%s", std::string(5000, 'a').c_str()).size(), 1023u);
  // 341 three-byte characters take 1023 bytes; one more must be dropped whole.
  std::string han;
  for (int i = 0; i < 342; ++i) han += "固";
  std::string cut = FormatConsoleTextF("%s", han.c_str());
  EXPECT_EQ(cut.size(), 1023u);
  // With one ASCII byte in front, the 342nd character would straddle the limit.
  cut = FormatConsoleTextF("x%s", han.c_str());
  EXPECT_EQ(cut.size(), 1021u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "固");
  // A four-byte character straddling the limit is dropped too.
  cut = FormatConsoleTextF("%s\xF0\x9F\x98\x80", std::string(1021, 'a').c_str());
  EXPECT_EQ(cut.size(), 1021u);
}

TEST(ConsoleTextTest, SanitizeReplacesInvalidUtf8AndControls) {
  EXPECT_EQ(SanitizeForDisplay("ok 固件"), "ok 固件");
  EXPECT_EQ(SanitizeForDisplay("a\x1b[2Jb"), "a\xEF\xBF\xBD[2Jb");
  EXPECT_EQ(SanitizeForDisplay("\xff"), "\xEF\xBF\xBD");
  EXPECT_EQ(SanitizeForDisplay("\xE5\x9B"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // truncated sequence
  EXPECT_EQ(SanitizeForDisplay("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(SanitizeForDisplay("\xC2\x85"), "\xEF\xBF\xBD");              // C1 control
}

TEST(LogBufferTest, LinesInlineAppendsAndTheCap) {
  LogBuffer log(3);
  log.Append("one\r\n");
  log.Append(".");
  log.Append(".");
  log.Append("上电初始化中\r\n");
  EXPECT_EQ(log.Lines(), (std::deque<std::string>{"one", "..上电初始化中", ""}));
  log.Append("two\r\nthree\r\n");
  EXPECT_EQ(log.Lines(), (std::deque<std::string>{"two", "three", ""}));
  EXPECT_EQ(log.Dropped(), 2u);
  log.Clear();
  EXPECT_EQ(log.Lines(), std::deque<std::string>{""});
  log.Append("a\r");
  log.Append("\nb");  // CR LF split over two appends is one line end
  EXPECT_EQ(log.Text(), "a\r\nb");
}

TEST(ConsoleOpsTest, PrintAppendsLinesAndInlineTextContinuesTheLine) {
  WizardHarness h;
  h.Start();
  h.dlg->ClearLog();
  h.dlg->ClearLog();
  EXPECT_EQ(h.view.Log(), "");
  for (int i = 0; i < 5; ++i) h.dlg->PrintInline(".");
  h.dlg->Print("上电初始化中");
  h.dlg->Print("%s", "");
  LogPrint("%s", "100%d");
  LogPrintInline("#");
  EXPECT_EQ(h.view.Log(), ".....上电初始化中\r\n\r\n100%d\r\n#");
}

// A UI thread that serves the bridge until told to stop.
class UiLoop {
 public:
  explicit UiLoop(UiBridge& bridge) : m_bridge(bridge) {
    m_thread = std::thread([this] {
      m_bridge.AttachUiThread();
      m_attached = true;
      while (!m_stop) {
        m_bridge.Drain();
        std::this_thread::yield();
      }
      m_bridge.Drain();
    });
    while (!m_attached) std::this_thread::yield();
  }
  ~UiLoop() { Stop(); }
  void Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  UiBridge& m_bridge;
  std::atomic<bool> m_attached{false};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

TEST(ConsoleOpsTest, AppendsFromManyThreadsArriveWholeAndInOrder) {
  WizardHarness h;
  h.Start();
  h.dlg->ClearLog();
  UiLoop ui(h.bridge);

  constexpr int kThreads = 6;
  constexpr int kLines = 300;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        if (i % 2) LogPrint("thread %d line %d 固件", t, i);
        else h.dlg->Print("thread %d line %d 固件", t, i);
      }
    });
  }
  for (auto& w : workers) w.join();
  ui.Stop();

  std::map<int, int> next;
  std::vector<std::string> lines = h.view.LogLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const std::string& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    ASSERT_EQ(line, "thread " + std::to_string(t) + " line " + std::to_string(i) + " 固件");
    EXPECT_EQ(next[t], i) << "thread " << t << " out of order";
    next[t] = i + 1;
  }
}

TEST(ConsoleOpsTest, WorkerCallReturnsOnlyOnceTheTextIsInTheLog) {
  WizardHarness h;
  h.Start();
  h.dlg->ClearLog();
  UiLoop ui(h.bridge);
  std::thread worker([&] {
    h.dlg->Print("first");
    EXPECT_EQ(h.view.Log(), "first\r\n");
  });
  worker.join();
}

TEST(ConsoleOpsTest, AfterTheWindowClosedWorkerCallsReturnAtOnce) {
  WizardHarness h;
  h.Start();
  h.dlg->ClearLog();
  // The UI thread is attached elsewhere and never drains: a worker's call waits
  // until the window closes, then returns without touching the log.
  UiBridge& bridge = h.bridge;
  std::atomic<bool> attached{false}, done{false};
  std::thread ui([&] {  // stays alive so that its thread id is not reused
    bridge.AttachUiThread();
    attached = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!attached) std::this_thread::yield();
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    h.dlg->Print("lost");
    h.dlg->MessageBox("never shown");
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned);
  bridge.Close();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(h.view.Log(), "");
  EXPECT_TRUE(h.view.Messages().empty());
  // Later calls return at once too.
  std::thread late([&] { LogPrint("late"); });
  late.join();
  done = true;
  ui.join();
}

TEST(ConsoleOpsTest, UiThreadCallsRunAtOnceEvenInsideAModalBox) {
  WizardHarness h;
  h.Start();
  h.dlg->ClearLog();
  // A message box on the UI thread that prints (as a nested loop serving a
  // worker would): no deadlock, and the text lands in order.
  h.view.onMessageBox = [&](const std::string&) { h.dlg->Print("inside"); };
  h.dlg->Print("before");
  h.dlg->MessageBox("box");
  h.dlg->Print("after");
  EXPECT_EQ(h.view.Log(), "before\r\ninside\r\nafter\r\n");
}

}  // namespace
