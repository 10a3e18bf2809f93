// The observer between the wizard, the link monitor, the capture and the
// timeline, on a clock the test moves, with the wizard's dialog on fakes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "fakes/Fakes.h"
#include "netcfg/Ipv4.h"
#include "observe/Observer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

class FakeMonitor : public observe::ILinkMonitor {
 public:
  bool Start(const std::string& adapter, observe::ILinkSink& s) override {
    started.push_back(adapter);
    sink = &s;
    return true;
  }
  void Stop() override { ++stops; }
  Lines started;
  observe::ILinkSink* sink = nullptr;
  int stops = 0;
};

// Says when it starts and stops, for the frames of which adapter.
class FakeCapture : public observe::ICapture {
 public:
  bool Start(const std::string& adapter, observe::IFrameSink&) override { return Add("start " + adapter); }
  void Stop() override { Add("stop"); }
  // Waits (a little) until there are `count` calls; all of them.
  Lines Calls(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, 5s, [&] { return calls.size() >= count; });
    return calls;
  }

 private:
  bool Add(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
    changed.notify_all();
    return true;
  }
  std::mutex mutex;
  std::condition_variable changed;
  Lines calls;
};

class Timeline : public observe::ITimelineSink {
 public:
  void Write(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  }
  // The "event" of each line.
  Lines Events() {
    std::lock_guard<std::mutex> lock(mutex);
    Lines events;
    for (const std::string& line : lines) {
      std::size_t at = line.find("\"event\":\"") + 9;
      events.push_back(line.substr(at, line.find('"', at) - at));
    }
    return events;
  }
  std::mutex mutex;
  Lines lines;
};

const std::uint32_t kRecovery = ParseIpv4("192.168.1.88").value();

// A dialog on fakes (console calls run on the calling thread), and an
// observer whose clock moves only when the test says.
struct Rig {
  explicit Rig(observe::FirewallKind firewall = observe::FirewallKind::kLinux) {
    observe::ObserverParts parts;
    parts.firewall = firewall;
    parts.monitor = &monitor;
    parts.capture = &capture;
    parts.timeline = &timeline;
    parts.saveCapture = [this](const std::string& file) {
      std::lock_guard<std::mutex> lock(mutex);
      saved.push_back(file);
    };
    parts.findPortHolder = [this](std::uint16_t) { return holder; };
    parts.program = "brickfix test";
    parts.ticker = false;
    parts.clock = [this] {
      std::lock_guard<std::mutex> lock(mutex);
      return now;
    };
    observer = std::make_unique<observe::Observer>(std::move(parts));
    CBrickfixDlg::Services services = MakeServices(view, bridge, platform, firmware, net, tftp);
    services.observer = observer.get();
    dlg = std::make_unique<CBrickfixDlg>(services);
    dlg->InitConsole();
    std::strcpy(dlg->m_szAdapterNames[1], "eth0");
    dlg->m_nAdapter = 1;
  }
  ~Rig() { observer.reset(); }

  void Advance(std::chrono::milliseconds by) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      now += by;
    }
    observer->Tick();
  }
  // Waits until the log has `count` lines.
  Lines LogLines(std::size_t count) {
    for (auto deadline = Clock::now() + 5s; view.LogLines().size() < count && Clock::now() < deadline;) {
      std::this_thread::sleep_for(5ms);
    }
    return view.LogLines();
  }
  std::size_t Commands() {
    std::lock_guard<std::mutex> lock(net.mutex);
    return net.commands.size();
  }

  FakeView view;
  UiBridge bridge;
  FakePlatform platform;
  FakeFirmware firmware;
  FakeNet net;
  FakeTftp tftp;
  FakeMonitor monitor;
  FakeCapture capture;
  Timeline timeline;
  std::optional<observe::PortHolder> holder;
  std::mutex mutex;
  Clock::time_point now = Clock::now();
  Lines saved;
  std::unique_ptr<observe::Observer> observer;
  std::unique_ptr<CBrickfixDlg> dlg;
};

TEST(ObserverTest, WatchdogPutsTheAddressBackWithTheWizardsCommandUntilItIsReleased) {
  Rig rig;
  // The "kernel": the command brings the address back.
  rig.net.executeHook = [&](const NetCommand&) {
    rig.monitor.sink->OnAddresses({kRecovery});
    return true;
  };
  NetCommand command = rig.dlg->RecoveryAddressCommand("eth0");
  rig.observer->WaitBegins(rig.dlg.get(), command);
  ASSERT_EQ(rig.monitor.started, Lines{"eth0"});
  rig.monitor.sink->OnCarrier(true);
  rig.monitor.sink->OnAddresses({kRecovery, 0x0A000001});
  rig.monitor.sink->OnAddresses({0x0A000001});  // taken away
  rig.Advance(200ms);
  EXPECT_EQ(rig.Commands(), 0u) << "it may come back by itself first";
  rig.Advance(150ms);
  Lines expected = {"诊断（address-lost）：本机地址192.168.1.88被其它程序移除，已自动恢复。"};
  EXPECT_EQ(rig.LogLines(1), expected);
  ASSERT_EQ(rig.Commands(), 1u);
  EXPECT_EQ(rig.net.commands[0].commandLine, command.commandLine);
  EXPECT_EQ(rig.view.status, expected[0]);

  EXPECT_EQ(rig.capture.Calls(1), Lines{"start eth0"});
  rig.observer->RequestRead(0xC0A80101, 2000, "recovery.bin");
  EXPECT_EQ(rig.view.status, "") << "the router has asked";
  EXPECT_EQ(rig.capture.Calls(2), (Lines{"start eth0", "stop"})) << "the frames are no longer needed";
  rig.observer->AddressReleased();  // the wizard moves the adapter on
  rig.monitor.sink->OnAddresses({});
  rig.Advance(5s);
  EXPECT_EQ(rig.Commands(), 1u);
  EXPECT_EQ(rig.view.LogLines(), expected);
  rig.observer->Finish();
  EXPECT_EQ(rig.monitor.stops, 1);
  EXPECT_EQ(rig.capture.Calls(2).size(), 2u) << "stopped once";
  EXPECT_EQ(rig.timeline.Events(),
            (Lines{"start", "wait-begin", "carrier-up", "address-gone", "address-back", "address-repaired",
                   "diagnosis", "request-read", "wait-end", "watch-end", "end"}));
}

// The router reboots after a failed flash and its link drops, taking the
// address with it: the next wait puts it back once the link is up.
TEST(ObserverTest, TheNextWaitPutsBackAnAddressThatWentMeanwhile) {
  Rig rig;
  NetCommand command = rig.dlg->RecoveryAddressCommand("eth0");
  rig.observer->WaitBegins(rig.dlg.get(), command);
  rig.monitor.sink->OnAddresses({kRecovery});
  rig.monitor.sink->OnCarrier(false);
  rig.monitor.sink->OnAddresses({});
  rig.observer->RequestRead(0xC0A80101, 2000, "recovery.bin");
  EXPECT_EQ(rig.capture.Calls(2), (Lines{"start eth0", "stop"}));
  rig.observer->WaitBegins(rig.dlg.get(), command);  // after a failed flash
  EXPECT_EQ(rig.capture.Calls(3), (Lines{"start eth0", "stop", "start eth0"}));
  rig.Advance(5s);
  EXPECT_EQ(rig.Commands(), 0u) << "not while the link is down";
  rig.monitor.sink->OnCarrier(true);
  rig.Advance(350ms);
  for (auto deadline = Clock::now() + 5s; rig.Commands() == 0 && Clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(rig.Commands(), 1u);
}

TEST(ObserverTest, FramesFeedTheDiagnosisAndTheCapture) {
  Rig rig;
  rig.observer->WaitBegins(rig.dlg.get(), rig.dlg->RecoveryAddressCommand("eth0"));
  // An ARP request of the router for 192.168.0.66, and a frame the capture
  // should not have handed up.
  std::string arp = std::string(12, '\x11') + "\x08\x06" + std::string("\x00\x01\x08\x00\x06\x04\x00\x01", 8) +
                    std::string(6, '\x22') + std::string("\xC0\xA8\x00\x01", 4) + std::string(6, '\0') +
                    std::string("\xC0\xA8\x00\x42", 4);
  std::string other = std::string(12, '\x11') + "\x86\xDD" + std::string(40, '\0');
  for (const std::string& frame : {other, arp}) {
    rig.observer->OnFrame(rig.now, false, {reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()},
                          frame.size());
  }
  EXPECT_EQ(rig.view.LogLines(),
            Lines{"诊断（router-expects）：Terno在寻找地址为192.168.0.66的服务器，而本机是192.168.1.88。请把这个地址告诉版主。"});
  // The capture was kept with the diagnosis: the header blocks and the ARP
  // frame's block (28 bytes of packet fields and options, 42 of frame).
  ASSERT_EQ(rig.saved.size(), 1u);
  EXPECT_EQ(rig.saved[0].substr(0, 4), std::string("\x0A\x0D\x0D\x0A", 4));
  EXPECT_EQ(rig.saved[0].find(arp) != std::string::npos, true);
  EXPECT_EQ(rig.saved[0].find(other), std::string::npos);
  rig.Advance(3s);
  EXPECT_EQ(rig.saved.size(), 1u) << "nothing new to keep";
}

// Windows shows no frames: its monitor tells the neighbours the system has
// resolved and the firewall's verdict instead.
TEST(ObserverTest, WithoutFramesTheResolvedRouterAndTheFirewallTellBlocked) {
  Rig rig(observe::FirewallKind::kWindows);
  rig.observer->WaitBegins(rig.dlg.get(), rig.dlg->RecoveryAddressCommand("eth0"));
  observe::FirewallInfo firewall;
  firewall.verdict = observe::FirewallInfo::kNoRule;
  firewall.profile = "public";
  rig.monitor.sink->OnFirewall(firewall);
  rig.monitor.sink->OnNeighbour(0xC0A80101);
  rig.Advance(1500ms);
  EXPECT_EQ(rig.LogLines(1), Lines{"诊断（blocked）：Terno已出现在网线上，它的请求却没有到达本程序：Windows防火墙在此网络"
                                   "（公用网络）上没有允许本程序接收UDP 69端口的规则。请按说明书添加“Brickfix TFTP”规则后重试。"});
  std::lock_guard<std::mutex> lock(rig.timeline.mutex);
  EXPECT_EQ(Lines(rig.timeline.lines.begin() + 2, rig.timeline.lines.end()),
            (Lines{R"({"t":0.000,"event":"firewall","verdict":"no-rule","profile":"public"})" "\n",
                   R"({"t":0.000,"event":"neighbour","address":"192.168.1.1"})" "\n",
                   R"({"t":1.500,"event":"diagnosis","cause":"blocked","detail":"firewall, public profile: no rule lets UDP 69 in"})" "\n"}));
}

TEST(ObserverTest, PortTakenIsToldBeforeItReturnsWhenSomeoneHoldsThePort) {
  Rig rig;
  rig.observer->WaitBegins(rig.dlg.get(), rig.dlg->RecoveryAddressCommand("eth0"));
  rig.observer->PortTaken(69);  // nobody: the rights were missing
  EXPECT_TRUE(rig.view.LogLines().empty());
  rig.holder = observe::PortHolder{"in.tftpd", 812, "root"};
  rig.observer->PortTaken(69);
  EXPECT_EQ(rig.view.LogLines(), Lines{"诊断（port-taken）：UDP 69端口被in.tftpd（进程号812）占用。请关闭它后重试。"});
}

}  // namespace
