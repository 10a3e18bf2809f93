// The real Windows program in line mode, through pipes as a script drives
// it: UTF-8 bytes, every line there as soon as it is written, the end of the
// input as the cancel command. The answers stay at the model menu or end at
// the first part the Windows program does not have yet.
#include <gtest/gtest.h>

#include <thread>

#include "WindowsTestSupport.h"
#include "app/BrickfixApp.h"
#include "console/UiBridge.h"
#include "ui/LineFrontend.h"
#include "ui/win32/Win32LineChannel.h"

namespace {

const std::string kMenu =
    "请选择机型：\n"
    "1. Terno Lark（RX2001）\n"
    "2. Terno Wren（RX2002）\n"
    "3. Terno Finch（RX2003）\n"
    "4. Terno Kite（RX2004）\n"
    "5. 通用（recovery.bin）\n";

TEST(WindowsLineModeTest, RefusedAnswersGetTheirBoxesAndTheEndOfInputEndsTheRun) {
  ProgramRun run = RunProgram(L"brickfix.exe", L"--ui=line", "7\n\n01\r\n\nabc");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kMenu + "[MessageBox] 非法机型，请重新输入！\n" +
                         "[MessageBox] 输入不是整数，请重新输入！\n" +
                         "[MessageBox] 输入不是整数，请重新输入！\n");
  EXPECT_EQ(run.err, "");
}

TEST(WindowsLineModeTest, AModelAnswerEndsAtThePartThatIsNotThereYet) {
  ProgramRun run = RunProgram(L"brickfix.exe", L"--ui=line", "1\n\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kMenu + "[MessageBox] Windows 版暂不支持固件查询，程序在确认后退出。\n");
}

TEST(WindowsLineModeTest, CommandLine) {
  ProgramRun run = RunProgram(L"brickfix.exe", L"--version", "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, VersionText());
  run = RunProgram(L"brickfix.exe", L"--help", "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("--ui=line"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("cap_net"), std::string::npos) << run.out;  // no Linux notes
  run = RunProgram(L"brickfix.exe", L"--ui=tui", "");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("no terminal window"), std::string::npos) << run.err;
  run = RunProgram(L"brickfix.exe", L"--bogus", "");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("unknown argument: --bogus"), std::string::npos) << run.err;
}

// Line mode on Windows handles in-process: what another thread appends is in
// the pipe when its call returns, a progress mark without its line end too,
// while the frontend waits for input; closing the input ends the run.
TEST(WindowsLineModeTest, OutputIsInThePipeWhenTheCallReturns) {
  SECURITY_ATTRIBUTES plain{sizeof plain, nullptr, FALSE};
  HANDLE inRead, inWrite, outRead, outWrite;
  ASSERT_TRUE(CreatePipe(&inRead, &inWrite, &plain, 0));
  ASSERT_TRUE(CreatePipe(&outRead, &outWrite, &plain, 0));
  StdHandles handles{inRead, outWrite, nullptr};
  LineFrontend frontend(MakeWin32LineChannel(handles));
  UiBridge bridge;
  std::vector<std::string> answers;
  FrontendCallbacks callbacks;
  callbacks.onEnter = [&] { answers.push_back(frontend.GetInputText()); };
  int status = -1;
  std::thread ui([&] { status = frontend.Run(bridge, callbacks); });

  auto readNow = [&](std::size_t want) {
    std::string got;
    while (got.size() < want) {
      DWORD available = 0;
      if (!PeekNamedPipe(outRead, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
      char buffer[256];
      DWORD n = 0;
      ReadFile(outRead, buffer, sizeof buffer < available ? sizeof buffer : available, &n, nullptr);
      got.append(buffer, n);
    }
    return got;
  };
  ASSERT_TRUE(WaitUntil([&] { return bridge.Invoke([&] { frontend.AppendLog("#"); }); }));
  EXPECT_EQ(readNow(1), "#");
  bridge.Invoke([&] { frontend.AppendLog("固件\r\n"); });
  EXPECT_EQ(readNow(7), "固件\n");

  DWORD written = 0;
  WriteFile(inWrite, "1\r\n2", 4, &written, nullptr);
  CloseHandle(inWrite);  // the end of the input: the last line counts, then the run ends
  ui.join();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(answers, (std::vector<std::string>{"1", "2"}));
  EXPECT_TRUE(bridge.IsClosed());
  CloseHandle(outRead);
  CloseHandle(outWrite);
  CloseHandle(inRead);
}

}  // namespace
