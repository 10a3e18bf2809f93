// The real program gives up every capability before its frontend starts;
// only its network helper holds the network rights. (The terminal window's
// case is in TerminalWindowTmux_test.cc.) Nothing here answers the model
// question, so no run gets near the network.
#include <gtest/gtest.h>
#include <signal.h>

#include "ChildProcess.h"

namespace {

TEST(CapabilitiesTest, LineModeRunsWithoutRights) {
  ChildProcess child(InOwnNetworkNamespace({BRICKFIX_BINARY, "--ui=line"}), {TestStateHome()});
  ASSERT_TRUE(child.ReadUntil("5. 通用（recovery.bin）\n")) << child.Stderr();
  ExpectOnlyTheHelperHoldsNetworkRights(child.Pid());
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
}

// Without a helper program beside it, the program forks its own helper,
// which alone keeps the rights.
TEST(CapabilitiesTest, WithoutAHelperProgramItsOwnForkHoldsTheRights) {
  if (geteuid() != 0) GTEST_SKIP() << "the rights to hand on are root's";
  std::string alone = TestStateDir() + "/alone/brickfix";
  std::filesystem::create_directories(TestStateDir() + "/alone");
  std::filesystem::copy_file(BRICKFIX_BINARY, alone, std::filesystem::copy_options::overwrite_existing);
  ChildProcess child(InOwnNetworkNamespace({alone, "--ui=line"}), {TestStateHome()});
  ASSERT_TRUE(child.ReadUntil("5. 通用（recovery.bin）\n")) << child.Stderr();
  ExpectOnlyTheHelperHoldsNetworkRights(child.Pid(), "brickfix");
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
}

TEST(CapabilitiesTest, DesktopWindowRunsWithoutRights) {
  ChildProcess child(InOwnNetworkNamespace({BRICKFIX_BINARY, "--ui=gui"}),
                     {TestStateHome(), "QT_QPA_PLATFORM=offscreen", "DISPLAY=:none"});
  // The window has started once its toolkit's threads run; give it time.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  if (child.ReadUntil("", std::chrono::seconds(0)) ||
      StatusNumber(child.Pid(), "Threads", 10) == ~0ull) {
    child.Wait();
    GTEST_SKIP() << "no desktop window here: " << child.Stderr();
  }
  ExpectOnlyTheHelperHoldsNetworkRights(child.Pid());
  kill(child.Pid(), SIGKILL);
  child.Wait();
}

}  // namespace
