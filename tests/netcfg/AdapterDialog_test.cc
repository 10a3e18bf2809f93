// The dialog's side of the adapters: the list, the choice, the address
// commands, the clean-up of the fatal paths and the wait for the router.
#include <gtest/gtest.h>

#include "fakes/Fakes.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kHeader = "当前可用网卡如下，请正确选择所使用的网卡：";
const char* const kOnlyOne = "只发现一块网卡，强制使用这块网卡。";
const char* const kConfiguring = "正在配置本机IP地址信息，请稍候...";
const char* const kConfigured = "IP地址信息配置完成";
const char* const kCable = "请使用网线连接电脑的以太网口和Terno的一个黄色网口。";
const char* const kReset = "请使用尖锐物按住RST按钮不松开再将Terno电源插上...";
const char* const kSetFailed = "设置地址错误，请与版主反馈！";
const char* const kRestoreFailed = "还原配置错误，请与版主反馈！";

class AdapterDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.Start();
    h.view.ClearLog();
  }
  // Step 5 as the firmware worker enters it.
  void EnterStep5() {
    h.dlg->m_bBusy = 1;
    h.dlg->m_nStep = 5;
    h.dlg->RunStep();
  }
  // Makes `n` the chosen adapter without running its command.
  void Choose(int n, const char* name) {
    std::snprintf(h.dlg->m_szAdapterNames[n], 256, "%s", name);
    h.dlg->m_nAdapter = n;
  }
  std::vector<std::string> CommandLines() {
    std::vector<std::string> lines;
    for (const NetCommand& command : h.net.commands) lines.push_back(command.commandLine);
    return lines;
  }

  WizardHarness h;
};

TEST_F(AdapterDialogTest, CommandTextsKeepTheirWindowsForm) {
  NetCommand recovery = h.dlg->RecoveryAddressCommand("以太网 2");
  EXPECT_EQ(recovery.commandLine,
            "netsh interface ip set address \"以太网 2\" static 192.168.1.88 255.255.255.0 192.168.1.1 1");
  EXPECT_EQ(recovery.kind, NetCommand::kStatic);
  EXPECT_EQ(recovery.adapter, "以太网 2");
  EXPECT_EQ(recovery.address, "192.168.1.88");
  EXPECT_EQ(recovery.mask, "255.255.255.0");
  EXPECT_EQ(recovery.gateway, "192.168.1.1");
  EXPECT_EQ(recovery.metric, 1);

  NetCommand lan = h.dlg->LanAddressCommand("eth0");
  EXPECT_EQ(lan.commandLine,
            "netsh interface ip set address \"eth0\" static 192.168.199.88 255.255.255.0 192.168.199.1 1");
  EXPECT_EQ(lan.address, "192.168.199.88");
  EXPECT_EQ(lan.gateway, "192.168.199.1");
  EXPECT_EQ(lan.metric, 1);

  NetCommand dhcp = h.dlg->DhcpCommand("eth0");
  EXPECT_EQ(dhcp.commandLine, "netsh interface ip set address \"eth0\" dhcp");
  EXPECT_EQ(dhcp.kind, NetCommand::kDhcp);
  EXPECT_EQ(dhcp.adapter, "eth0");
}

TEST_F(AdapterDialogTest, SingleAdapterWithoutAddressIsUsedAtOnce) {
  h.net.AddEthernet("enp3s0");
  EnterStep5();
  EXPECT_EQ(h.view.LogLines(), (Lines{kHeader, "1. enp3s0 (0.0.0.0)", kOnlyOne, kConfiguring,
                                      kConfigured, kCable, kReset}));
  EXPECT_EQ(CommandLines(),
            (Lines{"netsh interface ip set address \"enp3s0\" static 192.168.1.88 255.255.255.0 192.168.1.1 1"}));
  EXPECT_EQ(h.dlg->m_nAdapter, 1);
  EXPECT_EQ(h.dlg->m_bBusy, 1);
  EXPECT_EQ(h.tftp.listenerStarts, 1);
  EXPECT_EQ(h.dlg->m_pTftpThread.load(), &h.tftp.listener);
}

TEST_F(AdapterDialogTest, OnlyEthernetAdaptersAreListedAndTheOperatorChooses) {
  h.net.AddEthernet("enp3s0", "10.0.0.7");
  h.net.adapters.push_back({"wlp2s0", 71, "192.168.5.20"});
  h.net.names["wlp2s0"] = "wlp2s0";
  h.net.adapters.push_back({"lo", 24, "127.0.0.1"});
  h.net.AddEthernet("enx00e04c", "0.0.0.0");
  h.net.AddEthernet("eth9", "172.16.0.2");
  EnterStep5();
  EXPECT_EQ(h.view.LogLines(), (Lines{kHeader, "1. enp3s0 (10.0.0.7)", "2. enx00e04c (0.0.0.0)",
                                      "3. eth9 (172.16.0.2)"}));
  EXPECT_EQ(h.dlg->m_nAdapterCount, 3);
  EXPECT_EQ(h.dlg->m_bBusy, 0);
  EXPECT_TRUE(h.net.commands.empty());

  for (const char* wrong : {"4", "0"}) {
    h.Answer(wrong);
    EXPECT_EQ(h.view.Messages().back(), "输入网卡序号非法，请重新输入！");
  }
  EXPECT_TRUE(h.net.commands.empty());
  h.Answer("3");
  EXPECT_EQ(h.view.LogLines(), (Lines{kConfiguring, kConfigured, kCable, kReset}));  // list cleared
  EXPECT_EQ(CommandLines(),
            (Lines{"netsh interface ip set address \"eth9\" static 192.168.1.88 255.255.255.0 192.168.1.1 1"}));
  EXPECT_EQ(h.dlg->m_nAdapter, 3);
  EXPECT_EQ(h.tftp.listenerStarts, 1);
  h.Answer("1");  // busy now: ignored
  EXPECT_EQ(h.net.commands.size(), 1u);
}

TEST_F(AdapterDialogTest, NoEthernetAdapterLeavesOnlyTheHeader) {
  h.net.adapters.push_back({"wlp2s0", 71, "192.168.5.20"});
  EnterStep5();
  EXPECT_EQ(h.view.LogLines(), Lines{kHeader});
  EXPECT_EQ(h.dlg->m_bBusy, 0);
  h.Answer("1");
  EXPECT_EQ(h.view.Messages().back(), "输入网卡序号非法，请重新输入！");
  EXPECT_TRUE(h.net.commands.empty());
}

TEST_F(AdapterDialogTest, UnreadableListStopsTheWizard) {
  h.net.listFails = true;
  EnterStep5();
  EXPECT_EQ(h.view.LogLines(), Lines{"获取网卡信息失败，请向版主反馈。"});
  EXPECT_EQ(h.dlg->m_bBusy, 1);
}

TEST_F(AdapterDialogTest, ConnectionNamesUpTo79BytesAreUsed) {
  const std::string longest(79, 'n');
  h.net.AddEthernet(longest);
  h.net.AddEthernet("eth1");
  EnterStep5();
  EXPECT_EQ(std::string(h.dlg->m_szAdapterNames[1]), longest);
  EXPECT_EQ(h.view.LogLines()[1], "1. " + longest + " (0.0.0.0)");
}

TEST_F(AdapterDialogTest, UnreadableOrTooLongNameEndsTheProgram) {
  struct Case {
    const char* what;
    bool missing;
    std::size_t length;
  } cases[] = {{"no name", true, 4}, {"80 bytes", false, 80}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WizardHarness w;
    w.Start();
    w.net.AddEthernet(std::string(c.length, 'x'));
    if (c.missing) w.net.names.clear();
    w.dlg->m_nStep = 5;
    EXPECT_THROW(w.dlg->RunStep(), FakeExit);
    EXPECT_EQ(w.view.Messages(), Lines{"无法获取网卡信息 !程序在确认后退出。"});
    EXPECT_TRUE(w.net.commands.empty());
  }
}

TEST_F(AdapterDialogTest, ListingStopsAt255Adapters) {
  for (int i = 1; i <= 300; ++i) h.net.AddEthernet("eth" + std::to_string(i));
  EnterStep5();
  Lines lines = h.view.LogLines();
  ASSERT_EQ(lines.size(), 256u);
  EXPECT_EQ(lines.back(), "255. eth255 (0.0.0.0)");
  EXPECT_EQ(h.dlg->m_nAdapterCount, 255);
  EXPECT_EQ(std::string(h.dlg->m_szAdapterNames[255]), "eth255");
  EXPECT_EQ(h.dlg->m_bBusy, 0);
}

TEST_F(AdapterDialogTest, AddressThatCannotBeSetEndsTheProgram) {
  h.net.AddEthernet("eth0");
  h.net.executeFails = true;
  EXPECT_THROW(EnterStep5(), FakeExit);
  Lines lines = h.view.LogLines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{kConfiguring, kSetFailed, kSetFailed}));
  EXPECT_EQ(h.tftp.listenerStarts, 0);
}

TEST_F(AdapterDialogTest, RunningListenerIsNotStartedAgain) {
  CWinThread running;
  h.dlg->m_pTftpThread = &running;
  h.net.AddEthernet("eth0");
  EnterStep5();
  EXPECT_EQ(h.tftp.listenerStarts, 0);
  EXPECT_EQ(h.dlg->m_pTftpThread.load(), &running);
}

TEST_F(AdapterDialogTest, RestoreDhcpDependsOnAdapterAndListener) {
  // Nothing chosen, nothing started: nothing to do.
  h.dlg->RestoreDhcp();
  EXPECT_TRUE(h.net.commands.empty());

  // Adapter chosen and listener running on another thread: DHCP, listener suspended.
  Choose(2, "eth1");
  h.dlg->m_pTftpThread = &h.tftp.listener;
  h.dlg->RestoreDhcp();
  EXPECT_EQ(CommandLines(), Lines{"netsh interface ip set address \"eth1\" dhcp"});
  EXPECT_TRUE(h.tftp.listener.m_bSuspended);

  // Called by the listener itself: DHCP still runs, the caller is not suspended.
  CWinThread self;
  self.m_threadId = std::this_thread::get_id();
  h.dlg->m_pTftpThread = &self;
  h.dlg->RestoreDhcp();
  EXPECT_EQ(h.net.commands.size(), 2u);
  EXPECT_FALSE(self.m_bSuspended);

  // A command that cannot start is reported by the runner and otherwise ignored.
  h.view.ClearLog();
  h.net.executeFails = true;
  h.dlg->RestoreDhcp();
  EXPECT_EQ(h.view.LogLines(), Lines{kSetFailed});
}

TEST_F(AdapterDialogTest, WaitForRouterFlushesFirstAndCountsTenRepliesInTotal) {
  h.net.pingScript = {false, true, false, false, true};  // then successes
  h.dlg->WaitForRouter();
  ASSERT_EQ(h.net.commands.size(), 1u);
  EXPECT_EQ(h.net.commands[0].kind, NetCommand::kArpFlush);
  EXPECT_EQ(h.net.commands[0].commandLine, "arp -d");
  EXPECT_EQ(h.net.pinged.size(), 13u);  // 3 failures + 10 replies
  EXPECT_EQ(h.net.pinged[0], "192.168.199.1");
  EXPECT_EQ(h.net.sleeps, (std::vector<unsigned>{1500, 1500, 1500}));
  EXPECT_EQ(h.view.Log(), "...");
}

TEST_F(AdapterDialogTest, RouterAnsweringAtOnceLeavesNoDots) {
  h.dlg->WaitForRouter();
  EXPECT_EQ(h.net.pinged.size(), 10u);
  EXPECT_TRUE(h.net.sleeps.empty());
  EXPECT_EQ(h.view.Log(), "");
}

TEST_F(AdapterDialogTest, FlushThatCannotStartEndsTheWait) {
  h.net.executeFails = true;
  EXPECT_THROW(h.dlg->WaitForRouter(), FakeExit);
  EXPECT_EQ(h.view.LogLines(), (Lines{kSetFailed, kSetFailed}));
  EXPECT_TRUE(h.net.pinged.empty());
}

TEST_F(AdapterDialogTest, FinishRecoveryRunsTheWholeSequence) {
  Choose(1, "eth0");
  h.net.pingScript = {false};
  for (int i = 0; i < 10; ++i) h.net.pingScript.push_back(true);
  h.net.pingScript.insert(h.net.pingScript.end(), {false, false});
  h.dlg->m_nStep = 8;
  h.dlg->RunStep();
  EXPECT_EQ(CommandLines(),
            (Lines{"netsh interface ip set address \"eth0\" static 192.168.199.88 255.255.255.0 192.168.199.1 1",
                   "arp -d", "netsh interface ip set address \"eth0\" dhcp", "arp -d"}));
  EXPECT_EQ(h.view.LogLines(), (Lines{".上电初始化中", "..固件恢复成功！"}));
}

TEST_F(AdapterDialogTest, FinishRecoveryEndsWhenACommandCannotStart) {
  struct Case {
    const char* what;
    NetCommand::Kind failing;
    Lines tail;
  } cases[] = {{"LAN address", NetCommand::kStatic, {kSetFailed, kSetFailed}},
               {"DHCP", NetCommand::kDhcp, {kSetFailed, kRestoreFailed}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WizardHarness w;
    w.Start();
    w.view.ClearLog();
    std::snprintf(w.dlg->m_szAdapterNames[1], 256, "eth0");
    w.dlg->m_nAdapter = 1;
    w.net.executeHook = [&](const NetCommand& command) { return command.kind != c.failing; };
    EXPECT_THROW(w.dlg->FinishRecovery(), FakeExit);
    Lines lines = w.view.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), c.tail);
    EXPECT_EQ(w.net.commands.back().kind, c.failing);
  }
}

}  // namespace
