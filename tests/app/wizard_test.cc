// The wizard's steps and the operator's answers, driven on the real dialog.
#include <gtest/gtest.h>

#include "fakes/Fakes.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kMenu = {
    "请选择机型：",
    "1. Terno Lark（RX2001）",
    "2. Terno Wren（RX2002）",
    "3. Terno Finch（RX2003）",
    "4. Terno Kite（RX2004）",
    "5. 通用（recovery.bin）",
};

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override { h.Start(); }

  void CloudHas(const std::string& version, int code = 0) {
    h.firmware.latest.version = version;
    h.firmware.queryCode = code;
  }

  WizardHarness h;
};

TEST_F(WizardTest, FirstScreenIsTheModelMenuWithAnEmptyFocusedBox) {
  EXPECT_EQ(h.view.LogLines(), kMenu);
  EXPECT_EQ(h.view.title, "Terno 修复助手");
  EXPECT_TRUE(h.view.inputFocused);
  EXPECT_EQ(h.view.input, "");
  EXPECT_EQ(h.dlg->m_nStep, 0);
  EXPECT_EQ(h.dlg->m_bBusy, 0);
  EXPECT_EQ(h.dlg->m_nAdapter, -1);
  EXPECT_EQ(h.dlg->m_bCfgNotRequested, 1);
  EXPECT_TRUE(h.dlg->m_bNoRestoreCfg);
  // Both controls are green on black in the 16-pixel face.
  for (int id : {IDC_LOG, IDC_INPUT}) {
    const CColorEdit& style = h.view.styles.at(id);
    EXPECT_EQ(style.m_crText, RGB(0, 255, 0));
    EXPECT_EQ(style.m_crBack, RGB(0, 0, 0));
    EXPECT_EQ(style.m_strFaceName, "宋体");
    EXPECT_EQ(style.m_nFontHeight, 16);
  }
}

TEST(WizardStartTest, AdaptersAnEarlierRunLeftChangedComeFirst) {
  WizardHarness h;
  h.net.leftChanged = {"eth0", "usb0"};
  h.Start();
  Lines expected = {"上次运行没有还原网卡 eth0 的原有设置，请退出后运行 brickfix --restore-network 还原。",
                    "上次运行没有还原网卡 usb0 的原有设置，请退出后运行 brickfix --restore-network 还原。"};
  expected.insert(expected.end(), kMenu.begin(), kMenu.end());
  EXPECT_EQ(h.view.LogLines(), expected);
}

TEST_F(WizardTest, AnswersThatAreNotCanonicalIntegersAreRefused) {
  for (const char* text : {"1 ", " 1", "01", "+1", "-0", "2147483648", "99999999999999999999", "1a",
                           "a", "１", "\t", "1\n"}) {
    SCOPED_TRACE(text);
    h.view.messages.clear();
    h.Answer(text);
    ASSERT_EQ(h.view.Messages(), Lines{"输入不是整数，请重新输入！"});
    EXPECT_EQ(h.dlg->m_nStep, 0);
    EXPECT_TRUE(h.view.inputSelected);  // offered for retyping
    EXPECT_EQ(h.view.input, text);
  }
  EXPECT_TRUE(h.firmware.queriedUrls.empty());
}

TEST_F(WizardTest, ModelOutOfRangeIsRefusedIncludingEmptyAndExtremes) {
  for (const char* text : {"", "0", "6", "-1", "2147483647", "-2147483648"}) {
    SCOPED_TRACE(text);
    h.view.messages.clear();
    h.Answer(text);
    ASSERT_EQ(h.view.Messages(), Lines{"非法机型，请重新输入！"});
    EXPECT_EQ(h.dlg->m_nStep, 0);
    EXPECT_TRUE(h.view.inputSelected);
  }
}

TEST_F(WizardTest, LongAndBinaryAnswersAreRefusedWithoutHarm) {
  h.Answer(std::string(100000, '7'));
  h.Answer(std::string("\xff\xfe\x01\x1b[2J", 7));
  EXPECT_EQ(h.view.Messages(), (Lines{"输入不是整数，请重新输入！", "输入不是整数，请重新输入！"}));
  EXPECT_EQ(h.dlg->m_nStep, 0);
}

TEST_F(WizardTest, EachModelAnswerQueriesTheCloudForItsCode) {
  const char* codes[] = {"", "RX2001", "RX2002", "RX2003", "RX2004", "recovery.bin"};
  for (int n = 1; n <= 5; ++n) {
    WizardHarness fresh;
    fresh.Start();
    fresh.firmware.storedName = std::string(codes[n]) + "-1";
    fresh.Answer(std::to_string(n));
    EXPECT_EQ(fresh.dlg->m_strModel, codes[n]);
    ASSERT_EQ(fresh.firmware.queriedUrls.size(), 1u);
    EXPECT_EQ(fresh.firmware.queriedUrls[0],
              "https://" + GetCloudHost() + "/api/latest_rom?model=" + codes[n]);
    EXPECT_EQ(fresh.firmware.lookups, Lines{std::string("Rom|") + codes[n] + "|0"});
  }
}

TEST_F(WizardTest, NoStoredAndNoCloudFirmwareEndsTheProcess) {
  CloudHas("", 4);
  EXPECT_THROW(h.Answer("1"), FakeExit);
  EXPECT_EQ(h.view.Messages(),
            Lines{"本地没有固件且无法联网找到最新固件，请联系客服提供对应机型升级固件！"});
  EXPECT_EQ(h.platform.started, 0);
}

TEST_F(WizardTest, NoStoredFirmwareForcesTheDownload) {
  CloudHas("2.0");
  h.Answer("2");
  EXPECT_EQ(h.view.LogLines(), Lines{"本地没有固件，强制从互联网下载固件：RX2002-2.0"});
  EXPECT_EQ(h.dlg->m_bForceDownload, 1);
  EXPECT_EQ(h.dlg->m_bBusy, 1);
  EXPECT_EQ(h.dlg->m_nStep, 2);
  EXPECT_EQ(h.view.input, "");
  h.platform.RunPending();
  EXPECT_EQ(h.firmware.downloadRuns, 1);
  EXPECT_EQ(h.firmware.localRuns, 0);
}

TEST_F(WizardTest, StoredFirmwareIsUsedWhenTheCloudIsSilentOrRefusesOrAgrees) {
  const std::string md5 = "0123456789abcdef0123456789abcdef";
  struct Case {
    std::string cloudVersion;
    int code;
    std::string cloudModel;
    std::string line;
    std::string storedMd5;  // what the stored image is checked against
  } cases[] = {
      {"", 4, "", "使用本地固件：RX2001-1.0", ""},
      {"1.0", 0, "rx2001", "最新固件与本地固件版本相同，使用本地固件：RX2001-1.0", md5},
      // A refused release still tells its version; equal versions need no
      // question, but its digest is not trusted, nor is another model's.
      {"1.0", 1, "RX2001", "最新固件与本地固件版本相同，使用本地固件：RX2001-1.0", ""},
      {"1.0", 0, "RX2002", "最新固件与本地固件版本相同，使用本地固件：RX2001-1.0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line + " " + c.cloudModel);
    WizardHarness w;
    w.Start();
    w.firmware.storedName = "RX2001-1.0";
    w.firmware.latest.version = c.cloudVersion;
    w.firmware.latest.model = c.cloudModel;
    w.firmware.latest.md5 = md5;
    w.firmware.queryCode = c.code;
    w.Answer("1");
    EXPECT_EQ(w.view.LogLines(), Lines{c.line});
    EXPECT_EQ(w.dlg->m_strStoredMd5, c.storedMd5);
    EXPECT_EQ(w.dlg->m_bBusy, 1);
    EXPECT_EQ(w.dlg->m_bForceDownload, 0);
    w.platform.RunPending();
    EXPECT_EQ(w.firmware.localRuns, 1);
    EXPECT_EQ(w.firmware.downloadRuns, 0);
  }
}

TEST_F(WizardTest, DifferentVersionsAskTheDownloadQuestion) {
  h.firmware.storedName = "RX2003-1.0";
  CloudHas("1.0.1");
  h.Answer("3");
  EXPECT_EQ(h.view.LogLines(), (Lines{"本地固件：RX2003-1.0", "最新固件：RX2003-1.0.1",
                                      "是否联网下载最新固件：", "1. 是", "2. 否"}));
  EXPECT_EQ(h.dlg->m_nStep, 3);
  EXPECT_EQ(h.dlg->m_bBusy, 0);
  EXPECT_EQ(h.view.input, "");
  EXPECT_EQ(h.platform.started, 0);
}

TEST_F(WizardTest, StoredNameWithoutDashHasAnEmptyVersion) {
  h.firmware.storedName = "RX2001old.bin";
  CloudHas("1.0");
  h.Answer("1");
  EXPECT_EQ(h.dlg->m_nStep, 3);
}

TEST_F(WizardTest, DownloadQuestionAnswers) {
  h.firmware.storedName = "RX2001-1.0";
  CloudHas("2.0");
  h.Answer("1");
  ASSERT_EQ(h.dlg->m_nStep, 3);

  h.Answer("3");
  EXPECT_EQ(h.view.Messages(), Lines{"输入非法，请重新输入！"});
  EXPECT_EQ(h.dlg->m_bBusy, 0);

  h.Answer("2");
  EXPECT_EQ(h.view.Log(), "");  // cleared before the worker starts
  EXPECT_EQ(h.dlg->m_bBusy, 1);
  EXPECT_EQ(h.view.input, "2");  // stays until the next step empties it
  h.platform.RunPending();
  EXPECT_EQ(h.firmware.localRuns, 1);

  // While busy, Enter does nothing at all.
  h.Answer("1");
  EXPECT_EQ(h.view.Messages().size(), 1u);
  EXPECT_EQ(h.platform.started, 1);
}

TEST_F(WizardTest, DownloadAnswerStartsTheDownloadWorker) {
  h.firmware.storedName = "RX2001-1.0";
  CloudHas("2.0");
  h.Answer("1");
  h.Answer("1");
  h.platform.RunPending();
  EXPECT_EQ(h.firmware.downloadRuns, 1);
  EXPECT_EQ(h.dlg->m_bForceDownload, 0);
}

// Drives the wizard to step 5 as a firmware worker would.
void EnterStepFive(WizardHarness& w) {
  w.firmware.storedName = "RX2001-1.0";
  w.firmware.queryCode = 4;
  w.firmware.onLocal = [](CBrickfixDlg* dlg) {
    dlg->m_nStep = 5;
    dlg->RunStep();
  };
  w.Answer("1");
  w.platform.RunPending();
}

TEST_F(WizardTest, OneEthernetAdapterIsUsedAtOnce) {
  h.net.AddEthernet("eth0");
  h.net.adapters.push_back({"{wlan}", 71, "10.0.0.2"});
  EnterStepFive(h);
  EXPECT_EQ(h.view.LogLines(),
            (Lines{"使用本地固件：RX2001-1.0", "当前可用网卡如下，请正确选择所使用的网卡：",
                   "1. eth0 (0.0.0.0)", "只发现一块网卡，强制使用这块网卡。",
                   "正在配置本机IP地址信息，请稍候...", "IP地址信息配置完成",
                   "请使用网线连接电脑的以太网口和Terno的一个黄色网口。",
                   "请使用尖锐物按住RST按钮不松开再将Terno电源插上..."}));
  ASSERT_EQ(h.net.commands.size(), 1u);
  EXPECT_EQ(h.net.commands[0].commandLine,
            "netsh interface ip set address \"eth0\" static 192.168.1.88 255.255.255.0 "
            "192.168.1.1 1");
  EXPECT_EQ(h.net.commands[0].kind, NetCommand::kStatic);
  EXPECT_EQ(h.net.commands[0].address, "192.168.1.88");
  EXPECT_EQ(h.dlg->m_nAdapter, 1);
  EXPECT_EQ(h.dlg->m_bBusy, 1);
  EXPECT_EQ(h.tftp.listenerStarts, 1);
  EXPECT_EQ(h.dlg->m_pTftpThread.load(), &h.tftp.listener);
  EXPECT_EQ(h.dlg->m_nStep, 5);
  EXPECT_EQ(h.observer.Calls(), Lines{"wait eth0 192.168.1.88"});  // the wait for the router begins

  h.Answer("1");  // ignored from here on
  EXPECT_TRUE(h.view.Messages().empty());
}

TEST_F(WizardTest, SeveralAdaptersWaitForTheOperatorsNumber) {
  h.net.AddEthernet("eth0", "10.1.1.5");
  h.net.AddEthernet("eth1");
  h.net.AddEthernet("usb0", "192.168.7.2");
  EnterStepFive(h);
  EXPECT_EQ(h.dlg->m_nAdapterCount, 3);
  EXPECT_EQ(h.dlg->m_bBusy, 0);
  EXPECT_TRUE(h.net.commands.empty());

  for (const char* wrong : {"4", "0", "-1"}) {
    h.Answer(wrong);
    EXPECT_EQ(h.view.Messages().back(), "输入网卡序号非法，请重新输入！");
  }
  EXPECT_EQ(h.dlg->m_nAdapter, -1);

  h.Answer("3");
  ASSERT_EQ(h.net.commands.size(), 1u);
  EXPECT_EQ(h.net.commands[0].adapter, "usb0");
  EXPECT_EQ(h.view.LogLines().front(), "正在配置本机IP地址信息，请稍候...");  // list cleared
  EXPECT_EQ(h.dlg->m_nAdapter, 3);
  EXPECT_EQ(h.dlg->m_bBusy, 1);
  EXPECT_EQ(h.tftp.listenerStarts, 1);
  EXPECT_EQ(h.view.input, "3");
}

TEST_F(WizardTest, NoAdapterRefusesEveryNumber) {
  EnterStepFive(h);
  EXPECT_EQ(h.view.LogLines().back(), "当前可用网卡如下，请正确选择所使用的网卡：");
  EXPECT_EQ(h.dlg->m_bBusy, 0);
  h.Answer("1");
  EXPECT_EQ(h.view.Messages(), Lines{"输入网卡序号非法，请重新输入！"});
}

TEST_F(WizardTest, UnreadableAdapterListLeavesTheWizardStuckButAlive) {
  h.net.listFails = true;
  EnterStepFive(h);
  EXPECT_EQ(h.view.LogLines().back(), "获取网卡信息失败，请向版主反馈。");
  EXPECT_EQ(h.dlg->m_bBusy, 1);
}

TEST_F(WizardTest, UnreadableOrOverlongConnectionNameEndsTheProcess) {
  h.net.AddEthernet("eth0");
  h.net.names["{eth0}"] = std::string(80, 'n');  // 79 bytes is the most that fits
  EXPECT_THROW(EnterStepFive(h), FakeExit);
  EXPECT_EQ(h.view.Messages(), Lines{"无法获取网卡信息 !程序在确认后退出。"});
}

TEST_F(WizardTest, SeventyNineByteNameIsUsed) {
  std::string name(79, 'n');
  h.net.AddEthernet(name);
  EnterStepFive(h);
  ASSERT_EQ(h.net.commands.size(), 1u);
  EXPECT_EQ(h.net.commands[0].adapter, name);
}

TEST_F(WizardTest, NameLimitIsCountedByTheSystemSlotHoldsWhatItAccepts) {
  // 39 Chinese characters and one letter: 79 bytes in code page 936, 118 in
  // UTF-8. The system accepts it, so the wizard uses it.
  std::string name;
  for (int i = 0; i < 39; ++i) name += "网";
  name += "1";
  h.net.AddEthernet(name);
  h.net.nameLength = [](const std::string& text) {
    std::size_t units = 0;
    for (unsigned char c : text) units += c < 0x80 ? 1 : (c >= 0xC0 ? 2 : 0);
    return units;
  };
  EnterStepFive(h);
  ASSERT_EQ(h.net.commands.size(), 1u);
  EXPECT_EQ(h.net.commands[0].adapter, name);
  EXPECT_STREQ(h.dlg->m_szAdapterNames[1], name.c_str());

  // A name the slot cannot hold ends the run even when the system let it by.
  WizardHarness w;
  w.Start();
  w.net.AddEthernet(std::string(256, 'n'));
  w.net.nameLength = [](const std::string&) { return std::size_t{1}; };
  w.dlg->m_nStep = 5;
  EXPECT_THROW(w.dlg->RunStep(), FakeExit);
  EXPECT_EQ(w.view.Messages(), Lines{"无法获取网卡信息 !程序在确认后退出。"});
}

TEST_F(WizardTest, AdapterListStopsAt255) {
  for (int i = 0; i < 300; ++i) h.net.AddEthernet("e" + std::to_string(i));
  EnterStepFive(h);
  EXPECT_EQ(h.dlg->m_nAdapterCount, 255);
  EXPECT_STREQ(h.dlg->m_szAdapterNames[255], "e254");
  h.Answer("255");
  EXPECT_EQ(h.net.commands.back().adapter, "e254");
}

TEST_F(WizardTest, AddressCommandThatCannotStartEndsTheProcess) {
  h.net.AddEthernet("eth0");
  h.net.executeFails = true;
  EXPECT_THROW(EnterStepFive(h), FakeExit);
  Lines lines = h.view.LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "设置地址错误，请与版主反馈！");
  EXPECT_EQ(lines.back(), "设置地址错误，请与版主反馈！");
  EXPECT_EQ(h.tftp.listenerStarts, 0);
}

class ResultStepTest : public WizardTest {
 protected:
  void SetUp() override {
    WizardTest::SetUp();
    h.net.AddEthernet("eth0");
    EnterStepFive(h);
    h.net.commands.clear();
  }
  void Report(int code) {
    h.tftp.results.push_back(code);
    h.dlg->m_nStep = 7;
    h.dlg->RunStep();
  }
};

TEST_F(ResultStepTest, SuccessAndRetryKeepEverythingRunning) {
  Report(4);
  EXPECT_EQ(h.view.LogLines(), (Lines{"固件烧写失败！需要重试。",
                                      "请使用网线连接电脑的以太网口和Terno的一个黄色网口。",
                                      "请使用尖锐物按住RST按钮不松开再将Terno电源插上..."}));
  Report(0);
  EXPECT_EQ(h.view.LogLines(), Lines{"固件烧写成功！"});
  EXPECT_TRUE(h.net.commands.empty());
  // A failed flash starts a new wait; success does not end the address's.
  EXPECT_EQ(h.observer.Calls(), Lines(2, "wait eth0 192.168.1.88"));
  EXPECT_FALSE(h.tftp.listener.m_bSuspended);
  EXPECT_EQ(h.dlg->m_bBusy, 1);
  EXPECT_EQ(h.dlg->m_nStep, 7);
}

TEST_F(ResultStepTest, OtherCodesRestoreDhcpAndEnd) {
  for (int code : {1, 2, 3, 5, 6, 7}) {
    SCOPED_TRACE(code);
    h.net.commands.clear();
    h.tftp.listener.m_bSuspended = false;
    EXPECT_THROW(Report(code), FakeExit);
    EXPECT_EQ(h.view.Messages().back(), "固件不完整。请在退出后重试!");
    ASSERT_EQ(h.net.commands.size(), 1u);
    EXPECT_EQ(h.net.commands[0].commandLine, "netsh interface ip set address \"eth0\" dhcp");
    EXPECT_TRUE(h.tftp.listener.m_bSuspended);
    EXPECT_EQ(h.observer.Calls().back(), "released");
  }
}

TEST_F(ResultStepTest, RouterComingBackRestoresDhcp) {
  h.net.pingScript = {false, false, true, true, true, false, true, true, true, true, true, true,
                      true};
  // The recovery address is released before the wizard changes it.
  Lines heardBeforeLan;
  h.net.executeHook = [&](const NetCommand& c) {
    if (c.kind == NetCommand::kStatic) heardBeforeLan = h.observer.Calls();
    return true;
  };
  h.dlg->m_nStep = 8;
  h.dlg->RunStep();
  EXPECT_EQ(heardBeforeLan, (Lines{"wait eth0 192.168.1.88", "released"}));
  Lines lines = h.view.LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "...上电初始化中");
  EXPECT_EQ(lines.back(), "固件恢复成功！");
  ASSERT_EQ(h.net.commands.size(), 4u);
  EXPECT_EQ(h.net.commands[0].commandLine,
            "netsh interface ip set address \"eth0\" static 192.168.199.88 255.255.255.0 "
            "192.168.199.1 1");
  EXPECT_EQ(h.net.commands[1].commandLine, "arp -d");
  EXPECT_EQ(h.net.commands[2].kind, NetCommand::kDhcp);
  EXPECT_EQ(h.net.commands[3].commandLine, "arp -d");
  EXPECT_EQ(h.net.pinged.size(), 23u);  // 13 for the first wait, 10 for the second
  EXPECT_EQ(h.net.sleeps, (std::vector<unsigned>{1500, 1500, 1500}));
}

TEST_F(ResultStepTest, DhcpCommandThatCannotStartEndsTheProcess) {
  h.net.executeHook = [](const NetCommand& c) { return c.kind != NetCommand::kDhcp; };
  h.dlg->m_nStep = 8;
  EXPECT_THROW(h.dlg->RunStep(), FakeExit);
  Lines lines = h.view.LogLines();
  EXPECT_EQ(lines.back(), "还原配置错误，请与版主反馈！");
  EXPECT_EQ(lines[lines.size() - 2], "设置地址错误，请与版主反馈！");
}

TEST(RestoreDhcpTest, DoesNothingBeforeAnAdapterOrListener) {
  WizardHarness h;
  h.Start();
  h.dlg->RestoreDhcp();
  EXPECT_TRUE(h.net.commands.empty());
}

TEST(RestoreDhcpTest, ListenerDoesNotSuspendItself) {
  WizardHarness h;
  h.Start();
  CWinThread listener;
  listener.m_threadId = std::this_thread::get_id();
  h.dlg->m_pTftpThread = &listener;
  h.dlg->RestoreDhcp();
  EXPECT_FALSE(listener.m_bSuspended);
}

TEST(AboutTest, SystemMenuEntryOpensTheAboutBox) {
  WizardHarness h;
  h.Start();
  h.dlg->OnSysCommand(IDM_ABOUTBOX | 0x3, 0);
  h.dlg->OnSysCommand(0xF060, 0);  // close: not ours
  EXPECT_EQ(h.view.aboutCount, 1);
}

}  // namespace
