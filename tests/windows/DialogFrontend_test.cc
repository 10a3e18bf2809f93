// The Windows dialog, driven in-process as an operator would: the window and
// its controls as the resources lay them out, answers typed and entered,
// message boxes, the About box, other threads' lines, Escape.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WindowsTestSupport.h"
#include "app/BrickfixApp.h"
#include "app/Log.h"
#include "app/Version.h"
#include "fakes/Fakes.h"
#include "platform/windows/Utf16.h"
#include "resource.h"
#include "ui/win32/DialogFrontend.h"

namespace {

const char kMenu[] =
    "请选择机型：\r\n1. Terno Lark（RX2001）\r\n2. Terno Wren（RX2002）\r\n3. Terno Finch（RX2003）\r\n"
    "4. Terno Kite（RX2004）\r\n5. 通用（recovery.bin）\r\n";

// The real dialog on a user-interface thread of its own, with the wizard's
// outside world faked; the test thread plays the operator (and the workers).
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui = std::thread([this] {
      uiThread = GetCurrentThreadId();
      status = RunMainDialog(frontend, bridge, Operations{&platform, &firmware, &net, &tftp});
    });
    ASSERT_TRUE(WaitUntil([&] { return frontend.window() && IsWindowVisible(frontend.window()); }));
    dlg = frontend.window();
    log = GetDlgItem(dlg, IDC_EDIT_LOG);
    input = GetDlgItem(dlg, IDC_EDIT_INPUT);
  }
  void TearDown() override {
    // Boxes a failed test left open first, so that the window can close.
    for (HWND box : DialogsOf(uiThread, dlg)) PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    WaitUntil([&] { return DialogsOf(uiThread, dlg).empty(); }, 2);
    if (HWND open = frontend.window()) PostMessageW(open, WM_COMMAND, IDCANCEL, 0);
    if (ui.joinable()) ui.join();
  }

  // The one message box or About box open now (fails the test when none comes).
  HWND WaitForBox() {
    HWND box = nullptr;
    WaitUntil([&] {
      auto found = DialogsOf(uiThread, dlg);
      box = found.size() == 1 ? found[0] : nullptr;
      return box != nullptr;
    });
    return box;
  }
  void Answer(const std::string& text) { TypeInto(input, text, VK_RETURN); }
  // Answers `text` and returns the text of the message box it brings, which
  // is then confirmed.
  std::string AnswerRefused(const std::string& text) {
    SendMessageW(input, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    Answer(text);
    HWND box = WaitForBox();
    if (!box) return "(no box)";
    EXPECT_FALSE(IsWindowEnabled(dlg));  // modal
    EXPECT_EQ(TextOf(box), "Brickfix");
    std::string said = TextOf(GetDlgItem(box, 0xFFFF));  // the box's text
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] { return DialogsOf(uiThread, dlg).empty() && IsWindowEnabled(dlg); }));
    return said;
  }
  // A control's rectangle in pixels as the dialog manager places it from
  // dialog units: position and size are converted each on their own.
  RECT FromDialogUnits(int x, int y, int cx, int cy) {
    RECT pos = {x, y, cx, cy};
    MapDialogRect(dlg, &pos);
    return RECT{pos.left, pos.top, pos.left + pos.right, pos.top + pos.bottom};
  }
  RECT RectInDialog(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }

  DialogFrontend frontend;
  UiBridge bridge;
  FakePlatform platform;
  FakeFirmware firmware;
  FakeNet net;
  FakeTftp tftp;
  std::thread ui;
  std::atomic<DWORD> uiThread{0};
  std::atomic<int> status{-1};
  HWND dlg = nullptr, log = nullptr, input = nullptr;
};

TEST_F(DialogTest, TheWindowAsTheResourcesLayItOut) {
  EXPECT_EQ(TextOf(dlg), "Terno 修复助手");
  EXPECT_EQ(TextOf(log), kMenu);
  EXPECT_EQ(TextOf(input), "");
  EXPECT_TRUE(WaitUntil([&] { return FocusOf(uiThread) == input; }));

  RECT client, units = {0, 0, 319, 175};
  GetClientRect(dlg, &client);
  MapDialogRect(dlg, &units);
  EXPECT_EQ(client.right, units.right);
  EXPECT_EQ(client.bottom, units.bottom);
  RECT logUnits = FromDialogUnits(7, 7, 305, 129), inputUnits = FromDialogUnits(7, 154, 305, 14);
  RECT logRect = RectInDialog(log), inputRect = RectInDialog(input);
  EXPECT_TRUE(EqualRect(&logRect, &logUnits));
  EXPECT_TRUE(EqualRect(&inputRect, &inputUnits));

  LONG style = GetWindowLongW(dlg, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_TRUE(GetWindowLongW(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  LONG logStyle = GetWindowLongW(log, GWL_STYLE);
  for (LONG bit : {ES_MULTILINE, ES_READONLY, ES_AUTOHSCROLL, static_cast<LONG>(WS_VSCROLL)}) {
    EXPECT_TRUE(logStyle & bit) << bit;
  }
  EXPECT_FALSE(logStyle & (WS_TABSTOP | ES_AUTOVSCROLL | WS_HSCROLL));
  LONG inputStyle = GetWindowLongW(input, GWL_STYLE);
  EXPECT_TRUE(inputStyle & ES_AUTOHSCROLL);
  EXPECT_TRUE(inputStyle & WS_TABSTOP);
  EXPECT_FALSE(inputStyle & (ES_MULTILINE | ES_READONLY));
  EXPECT_TRUE(SendMessageW(dlg, WM_GETICON, ICON_BIG, 0));
  EXPECT_TRUE(SendMessageW(dlg, WM_GETICON, ICON_SMALL, 0));
}

// The strip between the log and the answer box shows the current cause of
// a wait, and nothing (hidden) on a healthy one.
TEST_F(DialogTest, TheStatusStripShowsTheCauseBetweenTheLogAndTheAnswerBox) {
  HWND strip = GetDlgItem(dlg, DialogFrontend::kStatusControl);
  ASSERT_TRUE(strip);
  EXPECT_FALSE(IsWindowVisible(strip));
  const std::string cause = "诊断（no-link）：网口没有连接信号。请用网线连接电脑和Terno的黄色LAN口，并确认Terno已通电。";
  bridge.Invoke([&] { frontend.SetStatus(cause); });
  EXPECT_TRUE(IsWindowVisible(strip));
  EXPECT_EQ(TextOf(strip), cause);
  RECT stripRect = RectInDialog(strip), units = FromDialogUnits(7, 139, 305, 12);
  EXPECT_TRUE(EqualRect(&stripRect, &units));
  bridge.Invoke([&] { frontend.SetStatus(""); });
  EXPECT_FALSE(IsWindowVisible(strip));
}

TEST_F(DialogTest, BothControlsAreGreenOnBlackInACjkFaceSixteenPixelsHigh) {
  HDC dc = CreateCompatibleDC(nullptr);
  const std::pair<HWND, UINT> queries[] = {{log, WM_CTLCOLORSTATIC}, {input, WM_CTLCOLOREDIT}};
  for (auto [control, query] : queries) {
    SetTextColor(dc, 0x123456);
    SetBkColor(dc, 0x654321);
    auto brush = reinterpret_cast<HBRUSH>(
        SendMessageW(dlg, query, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
    ASSERT_TRUE(brush);
    EXPECT_EQ(GetTextColor(dc), RGB(0, 255, 0));
    EXPECT_EQ(GetBkColor(dc), RGB(0, 0, 0));
    LOGBRUSH lb = {};
    GetObjectW(brush, sizeof lb, &lb);
    EXPECT_EQ(lb.lbColor, RGB(0, 0, 0));

    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW lf = {};
    ASSERT_TRUE(GetObjectW(font, sizeof lf, &lf));
    EXPECT_EQ(lf.lfHeight, MulDiv(16, GetDeviceCaps(dc, LOGPIXELSY), 96));
    EXPECT_EQ(lf.lfWeight, 400);
    // The face draws Chinese: the font the system made from it has the
    // simplified Chinese character set.
    HGDIOBJ old = SelectObject(dc, font);
    EXPECT_EQ(GetTextCharset(dc), GB2312_CHARSET) << Narrow(lf.lfFaceName);
    SelectObject(dc, old);
  }
  DeleteDC(dc);
}

TEST_F(DialogTest, TheSystemMenuEndsWithASeparatorAndTheAboutEntry) {
  HMENU menu = GetSystemMenu(dlg, FALSE);
  int count = GetMenuItemCount(menu);
  ASSERT_GE(count, 2);
  EXPECT_TRUE(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_EQ(GetMenuItemID(menu, count - 1), 16u);
  wchar_t text[64] = {};
  GetMenuStringW(menu, count - 1, text, 64, MF_BYPOSITION);
  EXPECT_EQ(Narrow(text), "关于 Brickfix(&A)...");
}

TEST_F(DialogTest, TypedAnswersAreCheckedAndARefusedOneStaysSelected) {
  EXPECT_EQ(AnswerRefused(""), "非法机型，请重新输入！");  // Enter on an empty box never closes
  EXPECT_EQ(AnswerRefused("9"), "非法机型，请重新输入！");
  EXPECT_EQ(AnswerRefused("１"), "输入不是整数，请重新输入！");  // a full-width digit
  // The refused answer stays, selected and focused, for typing over it.
  EXPECT_EQ(TextOf(input), "１");
  EXPECT_TRUE(WaitUntil([&] { return FocusOf(uiThread) == input; }));
  DWORD from = 1, to = 0;
  SendMessageW(input, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(from, 0u);
  EXPECT_EQ(to, 1u);

  // A model whose stored version is older than the cloud's: the question.
  firmware.storedName = "RX2001-1.0";
  firmware.latest.version = "2.0";
  firmware.queryCode = 0;
  TypeInto(input, "1", VK_RETURN);  // types over the selected answer
  ASSERT_TRUE(WaitUntil([&] { return TextOf(log).find("2. 否") != std::string::npos; }));
  EXPECT_EQ(TextOf(log), "本地固件：RX2001-1.0\r\n最新固件：RX2001-2.0\r\n是否联网下载最新固件：\r\n1. 是\r\n2. 否\r\n");
  EXPECT_EQ(TextOf(input), "");
  EXPECT_EQ(AnswerRefused("3"), "输入非法，请重新输入！");
}

TEST_F(DialogTest, OtherThreadsLinesArriveWholeAlsoWhileABoxIsOpen) {
  SendMessageW(input, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"0"));
  TypeInto(input, "", VK_RETURN);
  HWND box = WaitForBox();
  ASSERT_TRUE(box);
  // A worker's line returns once it is in the log, though the UI thread
  // sits in the box's loop.
  std::thread worker([] {
    LogPrintInline("#");
    LogPrint("%s", "固件 100%d");
  });
  worker.join();
  EXPECT_EQ(TextOf(log), std::string(kMenu) + "#固件 100%d\r\n");
  PostMessageW(box, WM_COMMAND, IDOK, 0);

  // Many workers at once: every line whole, each worker's in order.
  SendMessageW(log, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  constexpr int kThreads = 4, kLines = 100;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LogPrint("worker %d line %d 固件", t, i);
    });
  }
  for (auto& w : workers) w.join();
  std::string text = TextOf(log);
  int next[kThreads] = {};
  std::size_t start = 0, lines = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2, ++lines) {
    int t = -1, i = -1;
    std::string line = text.substr(start, end - start);
    ASSERT_EQ(std::sscanf(line.c_str(), "worker %d line %d", &t, &i), 2) << line;
    ASSERT_EQ(line, "worker " + std::to_string(t) + " line " + std::to_string(i) + " 固件");
    EXPECT_EQ(next[t]++, i);
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
}

TEST_F(DialogTest, TheLogHoldsMoreThanAnEditControlsDefaultAndDropsItsOldestLinesBeyondItsCap) {
  // An edit control takes 32767 characters unless told otherwise; appends
  // past that would be lost without a trace.
  std::string line(99, 'x');
  std::string block;
  for (int i = 0; i < 500; ++i) block += line + "\r\n";  // 50500 characters
  bridge.Invoke([&] { frontend.AppendLog(block + "last\r\n"); });
  std::string text = TextOf(log);
  EXPECT_EQ(text.size(), std::string(kMenu).size() + block.size() + 6);
  EXPECT_EQ(text.substr(text.size() - 6), "last\r\n");
  // Beyond the cap the oldest half goes, cut at a line end.
  for (int i = 0; i < 22; ++i) bridge.Invoke([&] { frontend.AppendLog(block); });
  bridge.Invoke([&] { frontend.AppendLog("newest\r\n"); });
  text = TextOf(log);
  EXPECT_LE(text.size(), static_cast<std::size_t>(DialogFrontend::kMaxLogChars));
  EXPECT_GT(text.size(), static_cast<std::size_t>(DialogFrontend::kMaxLogChars) / 3);
  EXPECT_EQ(text.substr(0, line.size() + 2), line + "\r\n");
  EXPECT_EQ(text.substr(text.size() - 8), "newest\r\n");
}

TEST_F(DialogTest, TheAboutBoxFromTheSystemMenuClosesWithEscape) {
  PostMessageW(dlg, WM_SYSCOMMAND, 16, 0);
  HWND about = WaitForBox();
  ASSERT_TRUE(about);
  EXPECT_EQ(TextOf(about), "关于Terno 修复工具");
  EXPECT_EQ(TextOf(GetDlgItem(about, IDC_ABOUT_NAME)), "Brickfix");
  EXPECT_EQ(TextOf(GetDlgItem(about, IDC_ABOUT_VERSION)), std::string("Brickfix 版本 ") + BRICKFIX_VERSION);
  EXPECT_EQ(TextOf(GetDlgItem(about, IDOK)), "确定");
  RECT client, units = {0, 0, 247, 60};
  GetClientRect(about, &client);
  MapDialogRect(about, &units);
  EXPECT_EQ(client.right, units.right);
  HWND focus = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (focus = FocusOf(uiThread)) && GetParent(focus) == about; }));
  PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 1);
  EXPECT_TRUE(WaitUntil([&] { return DialogsOf(uiThread, dlg).empty() && IsWindowEnabled(dlg); }));
  EXPECT_EQ(TextOf(log), kMenu);  // the wizard goes on where it was
}

TEST_F(DialogTest, TheCloseBoxClosesTheWindow) {
  PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
  ui.join();
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(IsWindow(dlg));
}

TEST_F(DialogTest, EscapeClosesTheWindowAndLaterLinesReturnAtOnce) {
  TypeInto(input, "2", VK_ESCAPE);
  ui.join();
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(IsWindow(dlg));
  EXPECT_TRUE(bridge.IsClosed());
  std::thread late([] { LogPrint("late"); });
  late.join();  // returns: nobody is left to show it
}

}  // namespace
