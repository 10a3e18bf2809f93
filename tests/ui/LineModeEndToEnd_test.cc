// The real program in line mode, driven through pipes. Every answer given
// here is refused at the model menu: a valid model would start the cloud
// query and the steps after it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>

#include "ChildProcess.h"

namespace {

const std::string kMenu =
    "请选择机型：\n"
    "1. Terno Lark（RX2001）\n"
    "2. Terno Wren（RX2002）\n"
    "3. Terno Finch（RX2003）\n"
    "4. Terno Kite（RX2004）\n"
    "5. 通用（recovery.bin）\n";
const std::string kBadModel = "[MessageBox] 非法机型，请重新输入！\n";
const std::string kNotNumber = "[MessageBox] 输入不是整数，请重新输入！\n";

// A run that sees itself as root (the test's, or root of its user
// namespace) says that the window runs as root; nothing else goes to
// standard error.
void ExpectOnlyTheRootNotice(const std::string& stderrText) {
  if (stderrText.empty()) return;
  EXPECT_NE(stderrText.find("The window runs as root"), std::string::npos) << stderrText;
  EXPECT_EQ(stderrText.find('\n'), stderrText.size() - 1) << "one line";
}

// Starts the program with all of `input` on stdin.
std::unique_ptr<ChildProcess> RunWith(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv{BRICKFIX_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  auto child = std::make_unique<ChildProcess>(InOwnNetworkNamespace(argv),
                                              std::vector<std::string>{TestStateHome()});
  child->Send(input);
  child->CloseInput();
  return child;
}

TEST(LineModeEndToEndTest, ARefusedModelAndTheEndOfInput) {
  // Without --ui the pipes choose line mode by themselves.
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"--ui=line"}}) {
    auto child = RunWith(args, "7\n\n");
    EXPECT_EQ(child->Wait(), 0);
    EXPECT_EQ(child->Stdout(), kMenu + kBadModel);
    ExpectOnlyTheRootNotice(child->Stderr());
  }
}

// Started by root on a user's behalf (sudo), the program is that user once
// its helper runs: its ids and groups, and no notice about root.
TEST(LineModeEndToEndTest, ARunThatRootStartsForAUserIsThatUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ChildProcess child(InOwnNetworkNamespace({BRICKFIX_BINARY, "--ui=line"}),
                     {TestStateHome(), "SUDO_UID=65534", "SUDO_GID=65534"});
  ASSERT_TRUE(child.ReadUntil("5. 通用（recovery.bin）\n")) << child.Stderr();
  std::ifstream status("/proc/" + std::to_string(child.Pid()) + "/status");
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(status, line);) {
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 1);
  }
  EXPECT_EQ(fields["Uid"], "\t65534\t65534\t65534\t65534");
  EXPECT_EQ(fields["Gid"], "\t65534\t65534\t65534\t65534");
  EXPECT_EQ(fields["Groups"].find(" 0 "), std::string::npos) << fields["Groups"];
  EXPECT_EQ(fields["CapEff"], "\t0000000000000000");
  child.Send("7\n\n");
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.Stderr(), "");
}

TEST(LineModeEndToEndTest, EveryRefusedAnswerGetsItsBox) {
  struct Case {
    const char* name;
    std::string input;  // an answer and the line that confirms its box
    std::string box;
  } cases[] = {
      {"empty", "\n\n", kBadModel},
      {"zero", "0\n\n", kBadModel},
      {"six", "6\n\n", kBadModel},
      {"negative", "-1\n\n", kBadModel},
      {"leading zero", "01\n\n", kNotNumber},
      {"leading space", " 1\n\n", kNotNumber},
      {"letters", "abc\n\n", kNotNumber},
      {"too big", "99999999999\n\n", kNotNumber},
      {"control characters", "\x1b[2J\x07\x03\n\n", kNotNumber},
      {"invalid UTF-8", "\xff\xfe\xc3\n\n", kNotNumber},
      {"a megabyte", std::string(1 << 20, '9') + "\n\n", kNotNumber},
  };
  for (const Case& c : cases) {
    auto child = RunWith({}, c.input);
    EXPECT_EQ(child->Wait(), 0) << c.name;
    EXPECT_EQ(child->Stdout(), kMenu + c.box) << c.name;
  }
}

TEST(LineModeEndToEndTest, EnterHeldDownAndNoInputAtAll) {
  auto child = RunWith({}, std::string(1000, '\n'));
  EXPECT_EQ(child->Wait(), 0);
  std::string boxes;
  for (int i = 0; i < 500; ++i) boxes += kBadModel;  // every other Enter confirms
  EXPECT_EQ(child->Stdout(), kMenu + boxes);

  child = RunWith({}, "");
  EXPECT_EQ(child->Wait(), 0);
  EXPECT_EQ(child->Stdout(), kMenu);
}

TEST(LineModeEndToEndTest, TermEndsTheRunWithStatusZero) {
  ChildProcess child(InOwnNetworkNamespace({BRICKFIX_BINARY, "--ui=line"}), {TestStateHome()});
  ASSERT_TRUE(child.ReadUntil("5. 通用（recovery.bin）\n"));
  child.Send("7\n");  // leaves a box waiting for its line
  ASSERT_TRUE(child.ReadUntil(kBadModel));
  kill(child.Pid(), SIGTERM);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.Stdout(), kMenu + kBadModel);
}

// Two runs in one network namespace would fight over its adapters and port
// 69: a second start only says that another run is there, and so does
// --restore-network, while the first run goes on untouched.
TEST(LineModeEndToEndTest, ASecondRunInTheSameNetworkNamespaceOnlySaysSo) {
  if (geteuid() != 0) GTEST_SKIP() << "joining another run's network namespace needs root";
  ChildProcess first(InOwnNetworkNamespace({BRICKFIX_BINARY, "--ui=line"}), {TestStateHome()});
  ASSERT_TRUE(first.ReadUntil("5. 通用（recovery.bin）\n"));
  std::string netns = "--net=/proc/" + std::to_string(first.Pid()) + "/ns/net";
  for (const char* ui : {"--ui=line", "--ui=tui"}) {
    ChildProcess second({"/usr/bin/nsenter", netns, BRICKFIX_BINARY, ui}, {TestStateHome()});
    second.Send("1\n\n");
    second.CloseInput();
    if (std::string(ui) == "--ui=tui") {
      EXPECT_EQ(second.Wait(), 1) << "not a terminal: no window, and no box either";
      continue;
    }
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(second.Stdout(), "[MessageBox] 另一个 Brickfix 正在运行，请先关闭它再重新运行！\n");
    EXPECT_EQ(second.Stderr(), "");
  }
  ChildProcess restore({"/usr/bin/nsenter", netns, BRICKFIX_BINARY, "--restore-network"}, {TestStateHome()});
  EXPECT_EQ(restore.Wait(), 1);
  EXPECT_NE(restore.Stderr().find("另一个 Brickfix 正在运行，请先关闭它再重新运行！"), std::string::npos) << restore.Stderr();

  first.Send("7\n\n");
  first.CloseInput();
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(first.Stdout(), kMenu + kBadModel);
}

TEST(LineModeEndToEndTest, TheTerminalWindowNeedsATerminal) {
  auto child = RunWith({"--ui=tui"}, "");
  EXPECT_EQ(child->Wait(), 1);
  EXPECT_EQ(child->Stdout(), "");
  EXPECT_NE(child->Stderr().find("needs a terminal"), std::string::npos) << child->Stderr();
}

}  // namespace
