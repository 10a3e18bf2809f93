// The real Windows program in line mode, through pipes as a script drives
// it: UTF-8 bytes, every line there as soon as it is written, the end of the
// input as the cancel command. The answers stay at the model menu or end
// in the firmware step.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "WindowsTestSupport.h"
#include "app/BrickfixApp.h"
#include "console/UiBridge.h"
#include "firmware/FirmwareTestSupport.h"
#include "platform/windows/WindowsPlatform.h"
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

// The firmware step of the real program, on the paths that end before the
// adapter step (which a test must never reach outside a network namespace
// of its own): nothing stored, and the cloud unreachable or its image wrong.
// WinHTTP's error goes to the run's diagnostics, which standard error names;
// the run's timeline lies beside them.
TEST(WindowsLineModeTest, AModelAnswerWithoutCloudOrStoredImageEndsWithItsBox) {
  fwtest::ScopedWorkDir work;
  fwtest::SetEnv("BRICKFIX_CLOUD_HOST", "127.0.0.1:" + std::to_string(fwtest::ClosedPort()));
  std::filesystem::create_directory("appdata");
  SetEnvironmentVariableW(L"LOCALAPPDATA", std::filesystem::absolute("appdata").wstring().c_str());
  ProgramRun run = RunProgram(L"brickfix.exe", L"--ui=line", "1\n\n");
  fwtest::UnsetEnv("BRICKFIX_CLOUD_HOST");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kMenu + "[MessageBox] 本地没有固件且无法联网找到最新固件，请联系客服提供对应机型升级固件！\n");
  EXPECT_FALSE(fwtest::fs::exists("Rom"));
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator("appdata/Brickfix")) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  std::string diagnostics = std::filesystem::absolute("appdata").string() + "\\Brickfix\\" + files[0];
  EXPECT_EQ(run.err, "brickfix: 诊断信息已写入 " + diagnostics + "\n");
  std::ifstream in(diagnostics);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("(WinHTTP error"), std::string::npos) << text;
  EXPECT_EQ(files[1].substr(0, 9), "timeline-");
}

TEST(WindowsLineModeTest, AFailedDownloadWithNothingStoredEndsWithItsBoxAndStoresNothing) {
  fwtest::ScopedWorkDir work;
  fwtest::LocalCloud cloud;
  SKIP_WITHOUT_CLOUD(cloud);
  cloud.AddRelease("RX2001", fwtest::Manifest("2.0", R"("md5": "00000000000000000000000000000000")"),
                   fwtest::RandomBytes(300000));
  // The input stays open until the box is there: its end would end the run.
  ProgramRun run = RunProgram(L"brickfix.exe", L"--ui=line", "1\n", 60, "[MessageBox]", "\n");
  EXPECT_EQ(run.exitCode, 0);
  const std::string start = kMenu + "本地没有固件，强制从互联网下载固件：RX2001-2.0\n开始下载\n";
  const std::string end = "\n[MessageBox] 联网下载固件失败，请退出后重试。\n";
  ASSERT_GT(run.out.size(), start.size() + end.size()) << run.out;
  EXPECT_EQ(run.out.substr(0, start.size()), start) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - end.size()), end) << run.out;
  std::string marks = run.out.substr(start.size(), run.out.size() - start.size() - end.size());
  EXPECT_EQ(marks.find_first_not_of('#'), std::string::npos) << "only progress marks: " << marks;
  EXPECT_FALSE(fwtest::fs::exists("Rom")) << "neither the pending file nor the folder made for it stays";
}

// One run at a time in a session: while another holds the run's mutex, a
// start only says so, and --restore-network waits its turn; without a
// journal, --restore-network has nothing to do and asks for no rights.
TEST(WindowsLineModeTest, ASecondStartIsRefusedAndRestoreWithoutAJournalDoesNothing) {
  fwtest::ScopedWorkDir work;
  std::filesystem::create_directory("appdata");
  SetEnvironmentVariableW(L"LOCALAPPDATA", std::filesystem::absolute("appdata").wstring().c_str());
  HANDLE other = CreateMutexW(nullptr, FALSE, kRunMutexName);
  ProgramRun run = RunProgram(L"brickfix.exe", L"--ui=line", "1\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, std::string("[MessageBox] ") + kAnotherRunText + "\n");
  run = RunProgram(L"brickfix.exe", L"--restore-network", "");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find(kAnotherRunText), std::string::npos) << run.err;
  CloseHandle(other);
  run = RunProgram(L"brickfix.exe", L"--restore-network", "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "没有需要还原的网卡设置。\n");
  SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
  EXPECT_FALSE(fwtest::fs::exists("Rom"));
}

// DLLs that are no KnownDLLs are loaded from the system folder only, also
// when one of their names lies beside the program.
TEST(WindowsLineModeTest, ADllPlantedBesideTheProgramIsNeverLoaded) {
  fwtest::ScopedWorkDir work;
  namespace fs = std::filesystem;
  fs::copy_file(Neighbour(L"brickfix.exe"), "brickfix.exe");
  for (const char* name : {"winhttp.dll", "bcrypt.dll", "iphlpapi.dll"}) fs::copy_file(Neighbour(L"planted.dll"), name);
  // Wine takes such a DLL from the program's folder where its settings say it
  // may, as Windows always would.
  const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\brickfix.exe\\DllOverrides";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, overrides, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const wchar_t* dll : {L"winhttp", L"bcrypt", L"iphlpapi"}) {
    RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"), 30);
  }
  RegCloseKey(key);
  SetEnvironmentVariableW(L"BRICKFIX_PLANTED_MARK", fs::absolute("planted").wstring().c_str());
  fwtest::SetEnv("BRICKFIX_CLOUD_HOST", "127.0.0.1:" + std::to_string(fwtest::ClosedPort()));
  ProgramRun run = RunProgram(fs::absolute("brickfix.exe").wstring(), L"--ui=line", "1\n\n");
  fwtest::UnsetEnv("BRICKFIX_CLOUD_HOST");
  SetEnvironmentVariableW(L"BRICKFIX_PLANTED_MARK", nullptr);
  RegDeleteKeyW(HKEY_CURRENT_USER, overrides);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("本地没有固件且无法联网找到最新固件"), std::string::npos) << "the query ran: " << run.out;
  EXPECT_FALSE(fs::exists("planted")) << "a DLL beside the program was loaded";
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
