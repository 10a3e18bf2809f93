// What LinuxNetOps asks of the kernel and which commands it runs, on each
// path, with a fake runner and a fake kernel.
#include "netcfg/linux/LinuxNetOps.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>

#include "netcfg/linux/DhcpClient.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "netcfg/linux/Journal.h"
#include "netcfg/NetcfgFakes.h"

namespace {

NetCommand Static(const std::string& adapter, const std::string& address,
                  const std::string& mask, const std::string& gateway) {
  NetCommand command;
  command.kind = NetCommand::kStatic;
  command.adapter = adapter;
  command.address = address;
  command.mask = mask;
  command.gateway = gateway;
  command.metric = 1;
  return command;
}

NetCommand Recovery(const std::string& adapter = "eth0") {
  return Static(adapter, "192.168.1.88", "255.255.255.0", "192.168.1.1");
}

NetCommand Dhcp(const std::string& adapter = "eth0") {
  NetCommand command;
  command.kind = NetCommand::kDhcp;
  command.adapter = adapter;
  return command;
}

NetCommand ArpFlush(const std::string& adapter = "eth0") {
  NetCommand command;
  command.kind = NetCommand::kArpFlush;
  command.adapter = adapter;
  return command;
}

const Argv kStateQuery = {"nmcli", "-g", "GENERAL.STATE,GENERAL.CON-UUID,GENERAL.CONNECTION",
                          "device", "show", "eth0"};

class LinuxNetOpsTest : public ::testing::Test {
 protected:
  LinuxNetOps& Ops() {
    if (!ops) ops = std::make_unique<LinuxNetOps>(runner, kernel, options);
    return *ops;
  }
  // nmcli installed, and reporting `state` for every device.
  void NetworkManagerSays(int status, const std::string& state) {
    runner.installed.insert("nmcli");
    runner.onRun = [=](const Argv& argv) {
      if (argv == kStateQuery) return ProcessResult{true, 0, status, -1, state};
      return ProcessResult{true, 0, 0, -1, ""};
    };
  }

  FakeRunner runner;
  FakeKernel kernel;
  LinuxNetOptions options;
  std::unique_ptr<LinuxNetOps> ops;
};

TEST_F(LinuxNetOpsTest, ListsEveryLinkWithItsTypeAndFirstAddress) {
  kernel.links = {{1, "lo", ARPHRD_LOOPBACK, false},
                  {2, "enp3s0", ARPHRD_ETHER, false},
                  {3, "wlp2s0", ARPHRD_ETHER, true},
                  {4, "ppp0", ARPHRD_PPP, false},
                  {5, "enx001122", ARPHRD_ETHER, false},
                  {6, "br0", ARPHRD_ETHER, false, "bridge"},
                  {7, "veth1", ARPHRD_ETHER, false, "veth", 6},
                  {8, "veth2", ARPHRD_ETHER, false, "veth"}};
  kernel.addresses = {{1, "127.0.0.1", 8},
                      {2, "10.0.0.7", 24},
                      {2, "10.0.0.8", 24},
                      {3, "192.168.5.20", 24}};
  std::vector<AdapterRecord> adapters;
  ASSERT_TRUE(Ops().GetAdapters(adapters));
  ASSERT_EQ(adapters.size(), 8u);
  struct Want {
    const char* id;
    int type;
    const char* ip;
  } want[] = {{"lo", 24, "127.0.0.1"},
              {"enp3s0", MIB_IF_TYPE_ETHERNET, "10.0.0.7"},
              {"wlp2s0", 71, "192.168.5.20"},
              {"ppp0", 1, "0.0.0.0"},
              {"enx001122", MIB_IF_TYPE_ETHERNET, "0.0.0.0"},
              {"br0", 1, "0.0.0.0"},     // a bridge is no adapter to cable a router to,
              {"veth1", 1, "0.0.0.0"},   // nor is its port,
              {"veth2", MIB_IF_TYPE_ETHERNET, "0.0.0.0"}};  // but a veth is
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    SCOPED_TRACE(want[i].id);
    EXPECT_EQ(adapters[i].id, want[i].id);
    EXPECT_EQ(adapters[i].type, want[i].type);
    EXPECT_EQ(adapters[i].ipAddress, want[i].ip);
  }
}

TEST_F(LinuxNetOpsTest, ListFailsWhenTheKernelCannotBeAskedOrHasNoLinks) {
  std::vector<AdapterRecord> adapters;
  EXPECT_FALSE(Ops().GetAdapters(adapters));  // no links at all
  kernel.links = {{1, "lo", ARPHRD_LOOPBACK, false}};
  kernel.listWorks = false;
  EXPECT_FALSE(Ops().GetAdapters(adapters));
}

TEST_F(LinuxNetOpsTest, ConnectionNameIsTheInterfaceNameWithinTheLimit) {
  std::string name;
  EXPECT_TRUE(Ops().GetConnectionName({"enp3s0", 6, "0.0.0.0"}, 7, name));
  EXPECT_EQ(name, "enp3s0");
  EXPECT_FALSE(Ops().GetConnectionName({"enp3s0", 6, "0.0.0.0"}, 6, name));
  EXPECT_FALSE(Ops().GetConnectionName({"", 6, "0.0.0.0"}, 80, name));
}

TEST_F(LinuxNetOpsTest, StaticAddressGoesToTheKernelWithoutNetworkManager) {
  EXPECT_TRUE(Ops().Execute(Recovery()));
  EXPECT_EQ(kernel.calls, std::vector<std::string>{"apply eth0 192.168.1.88/24 via 192.168.1.1 metric 1"});
  EXPECT_TRUE(runner.runs.empty());
}

TEST_F(LinuxNetOpsTest, KernelPathWhenNetworkManagerDoesNotManageTheAdapter) {
  struct Case {
    const char* what;
    int status;
    const char* state;
  } cases[] = {{"unmanaged", 0, "10 (unmanaged)\n"},
               {"not running", 8, ""},
               {"unknown device", 10, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    runner.runs.clear();
    kernel.calls.clear();
    NetworkManagerSays(c.status, c.state);
    EXPECT_TRUE(Ops().Execute(Recovery()));
    EXPECT_EQ(runner.runs, std::vector<Argv>{kStateQuery});
    EXPECT_EQ(kernel.calls.size(), 1u);
  }
}

TEST_F(LinuxNetOpsTest, KernelOutcomesOfTheStaticAddress) {
  kernel.result = KernelResult::kFailed;  // e.g. no such adapter: ran, not noticed
  EXPECT_TRUE(Ops().Execute(Recovery()));
  kernel.result = KernelResult::kRefused;  // not permitted: could not be started
  EXPECT_FALSE(Ops().Execute(Recovery()));
}

TEST_F(LinuxNetOpsTest, MaskBecomesThePrefixLength) {
  EXPECT_TRUE(Ops().Execute(Static("eth0", "10.1.0.5", "255.255.0.0", "10.1.0.1")));
  EXPECT_TRUE(Ops().Execute(Static("eth0", "10.1.0.5", "255.0.255.0", "10.1.0.1")));
  EXPECT_EQ(kernel.calls, std::vector<std::string>{"apply eth0 10.1.0.5/16 via 10.1.0.1 metric 1"});
}

TEST_F(LinuxNetOpsTest, NetworkManagerKeepsTheStaticAddressInItsOwnProfile) {
  NetworkManagerSays(0, "100 (connected)\n");
  // The first time the profile does not exist yet: modify fails, add creates it.
  auto onRun = runner.onRun;
  runner.onRun = [&](const Argv& argv) {
    if (argv.size() > 3 && argv[2] == "modify") return ProcessResult{true, 0, 10, -1, ""};
    return onRun(argv);
  };
  EXPECT_TRUE(Ops().Execute(Recovery()));
  const Argv settings = {"ipv4.method", "manual", "ipv4.addresses", "192.168.1.88/24",
                         "ipv4.gateway", "192.168.1.1", "ipv4.route-metric", "1"};
  Argv modify = {"nmcli", "connection", "modify", "--temporary", "brickfix-eth0"};
  modify.insert(modify.end(), settings.begin(), settings.end());
  Argv add = {"nmcli", "connection", "add", "save", "no", "type", "ethernet",
              "con-name", "brickfix-eth0", "ifname", "eth0", "connection.autoconnect", "yes",
              "connection.autoconnect-priority", "999", "ipv6.method", "ignore"};
  add.insert(add.end(), settings.begin(), settings.end());
  const Argv up = {"nmcli", "--wait", "10", "connection", "up", "brickfix-eth0"};
  EXPECT_EQ(runner.runs, (std::vector<Argv>{kStateQuery, modify, add, up}));
  EXPECT_TRUE(kernel.calls.empty());

  // Later the profile exists: it is modified and brought up again.
  runner.runs.clear();
  runner.onRun = onRun;
  EXPECT_TRUE(Ops().Execute(Recovery()));
  EXPECT_EQ(runner.runs, (std::vector<Argv>{kStateQuery, modify, up}));
}

TEST_F(LinuxNetOpsTest, NetworkManagerPathFailsOnlyWhenNmcliCannotBeStarted) {
  NetworkManagerSays(0, "30 (disconnected)\n");
  auto onRun = runner.onRun;
  runner.onRun = [&](const Argv& argv) {
    if (argv[1] == "--wait") return ProcessResult{true, 0, 4, -1, ""};  // no carrier yet
    return onRun(argv);
  };
  EXPECT_TRUE(Ops().Execute(Recovery()));
  runner.onRun = [&](const Argv& argv) {
    if (argv[1] == "connection") return ProcessResult{false, ENOENT, -1, -1, ""};
    return onRun(argv);
  };
  EXPECT_FALSE(Ops().Execute(Recovery()));
}

TEST_F(LinuxNetOpsTest, DhcpWithoutNetworkManagerRemovesOurAddressAndStartsTheClient) {
  runner.installed = {"dhclient"};
  options.dhcp = {"/tmp/state", "/tmp/hook"};
  ASSERT_TRUE(Ops().Execute(Static("eth0", "192.168.199.88", "255.255.255.0", "192.168.199.1")));
  EXPECT_TRUE(Ops().Execute(Dhcp()));
  EXPECT_EQ(kernel.calls, (std::vector<std::string>{
                              "apply eth0 192.168.199.88/24 via 192.168.199.1 metric 1",
                              "remove eth0 192.168.199.88/24 via 192.168.199.1 metric 1"}));
  EXPECT_EQ(runner.starts,
            (std::vector<Argv>{{"/usr/sbin/dhclient", "-4", "-d", "-pf",
                                "/tmp/state/dhclient.eth0.pid", "-lf",
                                "/tmp/state/dhclient.eth0.leases", "-sf", "/tmp/hook", "eth0"}}));

  // Handed back once, there is nothing of ours left to remove.
  kernel.calls.clear();
  EXPECT_TRUE(Ops().Execute(Dhcp()));
  EXPECT_TRUE(kernel.calls.empty());
  EXPECT_EQ(runner.starts.size(), 2u);
}

TEST_F(LinuxNetOpsTest, DhcpCannotStartWithoutRightsOrClient) {
  runner.installed = {"dhclient"};
  Ops().Execute(Recovery());
  kernel.result = KernelResult::kRefused;
  EXPECT_FALSE(Ops().Execute(Dhcp()));
  EXPECT_TRUE(runner.starts.empty());

  kernel.result = KernelResult::kDone;
  runner.startWorks = false;
  EXPECT_FALSE(Ops().Execute(Dhcp()));

  runner.installed.clear();
  runner.starts.clear();
  EXPECT_FALSE(Ops().Execute(Dhcp()));
  EXPECT_TRUE(runner.starts.empty());
}

TEST_F(LinuxNetOpsTest, DhcpWithNetworkManagerDropsOurProfileAndReconnects) {
  NetworkManagerSays(0, "100 (connected)\n");
  runner.installed.insert("dhclient");
  EXPECT_TRUE(Ops().Execute(Dhcp()));
  EXPECT_EQ(runner.runs, (std::vector<Argv>{kStateQuery,
                                            {"nmcli", "connection", "delete", "brickfix-eth0"},
                                            {"nmcli", "--wait", "0", "device", "connect", "eth0"}}));
  EXPECT_TRUE(runner.starts.empty());
  EXPECT_TRUE(kernel.calls.empty());
}

TEST_F(LinuxNetOpsTest, ArpFlushEmptiesTheAdaptersNeighbourTable) {
  EXPECT_TRUE(Ops().Execute(ArpFlush()));
  kernel.result = KernelResult::kFailed;
  EXPECT_TRUE(Ops().Execute(ArpFlush()));
  kernel.result = KernelResult::kRefused;
  EXPECT_FALSE(Ops().Execute(ArpFlush()));
  // Without a name: the adapter of the last set-up, and none before one.
  kernel.result = KernelResult::kDone;
  EXPECT_FALSE(Ops().Execute(ArpFlush("")));
  ASSERT_TRUE(Ops().Execute(Recovery("eth1")));
  EXPECT_TRUE(Ops().Execute(ArpFlush("")));
  EXPECT_EQ(kernel.calls, (std::vector<std::string>{"flush eth0", "flush eth0", "flush eth0",
                                                    "apply eth1 192.168.1.88/24 via 192.168.1.1 metric 1",
                                                    "flush eth1"}));
  EXPECT_TRUE(runner.runs.empty());
}

TEST_F(LinuxNetOpsTest, UnsafeAdapterNamesAreNeverPassedOn) {
  NetworkManagerSays(0, "100 (connected)\n");
  runner.installed.insert("dhclient");
  for (const char* name : {"-sf", "", "a/b", "has space", "..", "sixteen-chars-xx"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Ops().Execute(Recovery(name)));
    EXPECT_FALSE(Ops().Execute(Dhcp(name)));
  }
  EXPECT_TRUE(runner.runs.empty());
  EXPECT_TRUE(runner.starts.empty());
  EXPECT_TRUE(kernel.calls.empty());
  EXPECT_TRUE(IsSafeInterfaceName("enp0s31f6"));
  EXPECT_TRUE(IsSafeInterfaceName("br-lan.10"));
}

// ---- The journal of the adapter's own settings ----

class JournalNetOpsTest : public LinuxNetOpsTest {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/brickfix-netops-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    temp = dir;
    options.journalDir = temp + "/brickfix";
    options.now = [] { return 1000LL; };
    runner.installed.insert("dhclient");
    // By hand: an office address, a lease on the side, a default route.
    own.up = true;
    own.addresses = {{"10.1.2.3", 24, "10.1.2.255", "", true, false},
                     {"10.9.0.7", 16, "", "", false, false, 3600, 1800}};
    own.routes = {{"0.0.0.0", 0, "10.1.2.1", "", 100, 254, 3, 0, 1}};
    kernel.adapter = own;
  }
  void TearDown() override { std::filesystem::remove_all(temp); }

  AdapterSnapshot Journal() {
    AdapterSnapshot s;
    std::string error;
    EXPECT_TRUE(AdapterJournal(options.journalDir).Load("eth0", s, error)) << error;
    return s;
  }
  bool JournalExists() { return AdapterJournal(options.journalDir).Exists("eth0"); }
  void Recovered() {
    kernel.adapter = AdapterState{true, {{"192.168.1.88", 24, "192.168.1.255"}}, {}};
  }

  std::string temp;
  AdapterState own;
};

TEST_F(JournalNetOpsTest, TheFirstChangeKeepsWhatTheAdapterHadAndStopsItsDhcpClient) {
  runner.processes = {
      {41, "dhclient", {"/sbin/dhclient", "-4", "-v", "-pf", "/run/dhclient.eth0.pid", "eth0"}, 7},
      {42, "dhclient", {"/sbin/dhclient", "-4", "eth1"}, 7},
      {43, "dhcpcd", {"dhcpcd", "-B"}, 7},  // serves every adapter: left alone
      {44, "sleep", {"sleep", "eth0"}, 7}};
  EXPECT_TRUE(Ops().AdaptersLeftChanged().empty());
  ASSERT_TRUE(Ops().Execute(Recovery()));
  AdapterSnapshot kept = Journal();
  EXPECT_EQ(kept.kernel, own);
  EXPECT_EQ(kept.takenAt, 1000);
  EXPECT_EQ(kept.dhcpClient, "dhclient");
  EXPECT_FALSE(kept.networkManager);
  EXPECT_EQ(runner.stopped, std::vector<pid_t>{41});

  // Later changes keep the first snapshot; what the adapter has meanwhile is
  // what the end of the run reports.
  Recovered();
  ASSERT_TRUE(Ops().Execute(Static("eth0", "192.168.199.88", "255.255.255.0", "192.168.199.1")));
  EXPECT_EQ(Journal(), kept);
  EXPECT_EQ(Ops().DescribeChangedAdapters(),
            "网卡 eth0 现为 192.168.1.88/24，原有设置（10.1.2.3/24, 10.9.0.7/16）尚未还原；"
            "请运行 brickfix --restore-network 还原\n");

  // The hand-back starts the client that served it; DHCP cannot bring the
  // office address back, so the journal and the end line stay.
  ASSERT_TRUE(Ops().Execute(Dhcp()));
  ASSERT_EQ(runner.starts.size(), 1u);
  EXPECT_EQ(runner.starts[0][0], "/usr/sbin/dhclient");
  EXPECT_TRUE(JournalExists());
  EXPECT_NE(Ops().DescribeChangedAdapters(), "");
}

TEST_F(JournalNetOpsTest, AHandBackThatBringsEverythingBackRemovesTheJournal) {
  own.addresses.erase(own.addresses.begin());  // only the lease
  kernel.adapter = own;
  ASSERT_TRUE(Ops().Execute(Recovery()));
  EXPECT_TRUE(JournalExists());
  ASSERT_TRUE(Ops().Execute(Dhcp()));
  EXPECT_FALSE(JournalExists());
  EXPECT_EQ(Ops().DescribeChangedAdapters(), "");

  // Changed again (a retry): the journal comes back with the same snapshot.
  Recovered();
  ASSERT_TRUE(Ops().Execute(Recovery()));
  EXPECT_EQ(Journal().kernel, own);
}

TEST_F(JournalNetOpsTest, WithoutADhcpClientOurAddressStays) {
  runner.installed.clear();
  ASSERT_TRUE(Ops().Execute(Recovery()));
  EXPECT_FALSE(Ops().Execute(Dhcp()));
  EXPECT_EQ(kernel.calls, std::vector<std::string>{"apply eth0 192.168.1.88/24 via 192.168.1.1 metric 1"})
      << "the static address was not taken away";
  EXPECT_TRUE(JournalExists());
}

TEST_F(JournalNetOpsTest, NetworkManagerGetsTheAdaptersOwnProfileBack) {
  const std::string uuid = "6c1f0f5e-2d7a-4a55-9b0e-3f2a9a1c0b11";
  NetworkManagerSays(0, "100 (connected)\n" + uuid + "\nhome\n");
  ASSERT_TRUE(Ops().Execute(Recovery()));
  AdapterSnapshot kept = Journal();
  EXPECT_TRUE(kept.networkManager);
  EXPECT_EQ(kept.profileUuid, uuid);
  EXPECT_EQ(kept.profileName, "home");
  EXPECT_TRUE(runner.stopped.empty()) << "NetworkManager's own DHCP is its business";

  // Meanwhile NetworkManager reports our profile as the active one.
  NetworkManagerSays(0, "100 (connected)\n0000-our-profile\nbrickfix-eth0\n");
  runner.runs.clear();
  ASSERT_TRUE(Ops().Execute(Dhcp()));
  EXPECT_EQ(runner.runs, (std::vector<Argv>{kStateQuery,
                                            {"nmcli", "connection", "delete", "brickfix-eth0"},
                                            {"nmcli", "--wait", "0", "connection", "up", "uuid", uuid,
                                             "ifname", "eth0"}}));
  EXPECT_FALSE(JournalExists());
}

TEST_F(JournalNetOpsTest, AJournalAnEarlierRunLeftIsReportedAndKept) {
  AdapterSnapshot earlier;
  earlier.ifname = "eth0";
  earlier.kernel = own;
  std::string error;
  ASSERT_TRUE(AdapterJournal(options.journalDir).Save(earlier, error)) << error;
  EXPECT_EQ(Ops().AdaptersLeftChanged(), std::vector<std::string>{"eth0"});
  Recovered();  // that run left the recovery address
  ASSERT_TRUE(Ops().Execute(Recovery()));
  EXPECT_EQ(Journal(), earlier);
}

TEST_F(JournalNetOpsTest, AStateFolderThatCannotBeWrittenStopsNothing) {
  options.journalDir = "/proc/brickfix-cannot-be-made";
  EXPECT_TRUE(Ops().Execute(Recovery()));
  Recovered();
  EXPECT_NE(Ops().DescribeChangedAdapters().find("且无法保存（/proc/brickfix-cannot-be-made）；请用系统的网络设置还原"),
            std::string::npos)
      << Ops().DescribeChangedAdapters();
}

TEST(DhcpClientTest, UsesTheFirstClientTheSystemHas) {
  struct Case {
    const char* what;
    std::set<std::string> installed;
    DhcpClientFiles files;
    Argv argv;
    const char* pidFile;
    const char* processName;
    const char* preferred = "";  // the client that served the adapter before
  } cases[] = {
      {"dhclient with the system's files",
       {"dhclient", "dhcpcd", "busybox"},
       {},
       {"/usr/sbin/dhclient", "-4", "-d", "-pf", "/run/dhclient.eth0.pid", "-lf",
        "/var/lib/dhcp/dhclient.eth0.leases", "eth0"},
       "/run/dhclient.eth0.pid",
       "dhclient"},
      {"dhcpcd", {"dhcpcd", "busybox"}, {}, {"/usr/sbin/dhcpcd", "-B", "-4", "eth0"}, "", "dhcpcd"},
      {"dhcpcd with a hook",
       {"dhcpcd"},
       {"/s", "/h"},
       {"/usr/sbin/dhcpcd", "-B", "-4", "-c", "/h", "eth0"},
       "",
       "dhcpcd"},
      {"udhcpc with its default hook",
       {"udhcpc", "busybox", "/etc/udhcpc/default.script"},
       {},
       {"/usr/sbin/udhcpc", "-f", "-i", "eth0", "-s", "/etc/udhcpc/default.script", "-p",
        "/run/udhcpc.eth0.pid"},
       "/run/udhcpc.eth0.pid",
       "udhcpc"},
      {"busybox udhcpc with our hook",
       {"busybox"},
       {"/s", "/h"},
       {"/usr/sbin/busybox", "udhcpc", "-f", "-i", "eth0", "-s", "/h", "-p", "/s/udhcpc.eth0.pid"},
       "/s/udhcpc.eth0.pid",
       "busybox"},
      {"udhcpc without a hook applies nothing", {"udhcpc", "busybox"}, {}, {}, "", ""},
      {"the one that served it before",
       {"dhclient", "dhcpcd"},
       {},
       {"/usr/sbin/dhcpcd", "-B", "-4", "eth0"},
       "",
       "dhcpcd",
       "dhcpcd"},
      {"the one before is gone: the first there is",
       {"dhclient"},
       {"/s", ""},
       {"/usr/sbin/dhclient", "-4", "-d", "-pf", "/s/dhclient.eth0.pid", "-lf",
        "/s/dhclient.eth0.leases", "eth0"},
       "/s/dhclient.eth0.pid",
       "dhclient",
       "udhcpc"},
      {"no client", {}, {}, {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeRunner runner;
    runner.installed = c.installed;
    DhcpClient client = FindDhcpClient(runner, "eth0", c.files, c.preferred);
    EXPECT_EQ(client.argv, c.argv);
    EXPECT_EQ(client.pidFile, c.pidFile);
    EXPECT_EQ(client.processName, c.processName);
  }
}

TEST(DhcpClientTest, AClientServesTheAdapterItsCommandLineNames) {
  struct Case {
    RunningProcess process;
    const char* kind;
  } cases[] = {
      {{1, "dhclient", {"/sbin/dhclient", "-4", "-v", "-i", "-pf", "/run/dhclient.eth0.pid", "eth0"}}, "dhclient"},
      {{1, "dhclient", {"dhclient", "eth1"}}, ""},
      {{1, "dhclient", {"dhclient", "-pf", "/run/eth0x.pid", "eth0x"}}, ""},
      {{1, "dhcpcd", {"dhcpcd", "-q", "eth0"}}, "dhcpcd"},
      {{1, "dhcpcd", {"/usr/sbin/dhcpcd", "-q"}}, ""},  // every adapter
      {{1, "udhcpc", {"udhcpc", "-i", "eth0", "-f"}}, "udhcpc"},
      {{1, "udhcpc", {"udhcpc", "-ieth0"}}, "udhcpc"},
      {{1, "busybox", {"busybox", "udhcpc", "--interface=eth0"}}, "udhcpc"},
      {{1, "busybox", {"busybox", "sh", "eth0"}}, ""},
      {{1, "sleep", {"dhclient", "eth0"}}, ""},  // a name that does not match the program
      {{1, "dhclient", {}}, ""},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& arg : c.process.argv) line += arg + " ";
    EXPECT_EQ(DhcpClientServing(c.process, "eth0"), c.kind) << line;
  }
}

TEST(DhcpClientTest, StopsOnlyTheClientItsPidFileNames) {
  char dir[] = "/tmp/brickfix-dhcp-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  PosixProcessRunner runner;
  ProcessResult previous = runner.Start({"sleep", "30"});
  ASSERT_TRUE(previous.started);
  const std::string pidFile = std::string(dir) + "/client.pid";
  std::ofstream(pidFile) << previous.pid << "\n";
  auto alive = [&] {  // running, not merely waiting to be reaped
    std::ifstream stat("/proc/" + std::to_string(previous.pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
  };

  StopPreviousClient({{"x"}, pidFile, "dhclient"});  // another program by now: left alone
  EXPECT_TRUE(alive());
  StopPreviousClient({{"x"}, pidFile, "sleep"});
  EXPECT_FALSE(alive());
  StopPreviousClient({{"x"}, std::string(dir) + "/missing.pid", "sleep"});  // nothing to stop
  kill(previous.pid, SIGKILL);
  std::filesystem::remove_all(dir);
}

// The helper's starter: while the client it started for an adapter runs, no
// second one; it stops only that one, and starts anew once it has gone.
TEST(DhcpClientTest, OneClientPerAdapterWhileItRuns) {
  FakeRunner runner;
  runner.installed = {"dhclient"};
  LocalDhcpStarter starter(runner, {"/tmp/none", "/tmp/none/hook"});
  ASSERT_TRUE(starter.Start("eth0", ""));
  runner.processes = {{4242, "dhclient", {"/usr/sbin/dhclient", "eth0"}, 7}};
  EXPECT_TRUE(starter.Start("eth0", "dhclient"));
  EXPECT_EQ(runner.starts.size(), 1u);
  starter.StopStarted("eth1");  // none started there
  starter.StopStarted("eth0");
  EXPECT_EQ(runner.stopped, std::vector<pid_t>{4242});
  EXPECT_TRUE(starter.Start("eth0", ""));
  EXPECT_EQ(runner.starts.size(), 2u);
}

}  // namespace
