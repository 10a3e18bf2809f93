// The adapter journal: its text, the file that holds it, and putting an
// adapter back from it (with a fake runner and a fake kernel).
#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "netcfg/linux/Journal.h"
#include "netcfg/linux/LinuxNetOps.h"
#include "netcfg/NetcfgFakes.h"

namespace {

// eth0 as an office might have set it up by hand, with a lease on the side.
AdapterSnapshot OfficeSnapshot() {
  AdapterSnapshot s;
  s.ifname = "eth0";
  s.netns = 4026531840;
  s.takenAt = 1000;
  s.kernel.up = true;
  AdapterAddress office{"10.1.2.3", 24, "10.1.2.255", "", true, false};
  AdapterAddress leased{"10.9.0.7", 16, "", "eth0:1", false, true, 3600, 1800};
  s.kernel.addresses = {office, leased};
  AdapterRoute byDefault{"0.0.0.0", 0, "10.1.2.1", "", 100, 254, 3, 0, 1};
  AdapterRoute lab{"10.99.0.0", 16, "10.1.2.254", "10.1.2.3", 5, 1000, 4, 0, 1};
  s.kernel.routes = {byDefault, lab};
  s.dhcpClient = "dhclient";
  return s;
}

class TempDir {
 public:
  TempDir() {
    char dir[] = "/tmp/brickfix-journal-XXXXXX";
    path = mkdtemp(dir) ? dir : "";
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

std::string Read(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The same office on Windows: the static addresses, gateways and DNS
// servers the adapter's settings name.
AdapterSnapshot WindowsOfficeSnapshot() {
  AdapterSnapshot s = OfficeSnapshot();
  s.ifname = "{6C1F0F5E-2D7A-4A55-9B0E-3F2A9A1C0B11}";
  s.kernel.addresses.resize(1);
  s.kernel.routes.resize(1);
  s.dhcpClient.clear();
  s.windows = {true, false, false, {"10.1.2.53", "8.8.8.8"}};
  return s;
}

TEST(AdapterSnapshotTest, TheTextGivesBackEveryDetail) {
  AdapterSnapshot windowsDhcp;  // DHCP for the addresses and DNS, link down
  windowsDhcp.ifname = "{00000002-0000-0000-0000-4e6574446576}";
  windowsDhcp.windows.present = true;
  for (AdapterSnapshot s : {OfficeSnapshot(), AdapterSnapshot{}, WindowsOfficeSnapshot(), windowsDhcp}) {
    if (s.ifname.empty()) {  // NetworkManager's adapter, link down, nothing on it
      s.ifname = "enp0s31f6";
      s.networkManager = true;
      s.profileUuid = "6c1f0f5e-2d7a-4a55-9b0e-3f2a9a1c0b11";
      s.profileName = "Wired connection 1";
    }
    AdapterSnapshot back;
    std::string error;
    ASSERT_TRUE(ParseSnapshot(FormatSnapshot(s), back, error)) << error << "\n" << FormatSnapshot(s);
    EXPECT_EQ(back, s) << FormatSnapshot(s);
  }
}

TEST(AdapterSnapshotTest, AnythingUnexpectedIsRefusedWhole) {
  const std::string good = FormatSnapshot(OfficeSnapshot());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"another format", replaced("brickfix-journal 1", "brickfix-journal 2")},
      {"cut short", good.substr(0, good.find("route "))},
      {"no adapter", replaced("adapter eth0\n", "")},
      {"a namespace that is no number", replaced("netns 4026531840", "netns net:[1]")},
      {"an adapter name that is an option", replaced("adapter eth0", "adapter -sf")},
      {"an adapter name that is a path", replaced("adapter eth0", "adapter ../x")},
      {"a bad address", replaced("10.1.2.3/24", "10.1.2.300/24")},
      {"a prefix too long", replaced("10.1.2.3/24", "10.1.2.3/33")},
      {"a negative metric", replaced("metric 100", "metric -1")},
      {"the local table", replaced("table 254", "table 255")},
      {"an unknown key", replaced("link up", "link up\nexec /bin/sh")},
      {"an unknown DHCP client", replaced("dhcp-client dhclient", "dhcp-client /tmp/evil")},
      {"a profile that is no uuid", good + "networkmanager managed $(reboot) x\n"},
      {"a label that is a path", replaced("label eth0:1", "label ../../x")},
      {"text after the end", good + "address 1.2.3.4/8 permanent\n"},
  };
  const std::string windows = FormatSnapshot(WindowsOfficeSnapshot());
  auto windowsWith = [&](const std::string& from, const std::string& to) {
    std::string text = windows;
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const Case windowsCases[] = {
      {"a GUID without braces", windowsWith("{6C1F0F5E", "06C1F0F5E")},
      {"a GUID one digit short", windowsWith("3F2A9A1C0B11}", "3F2A9A1C0B1}")},
      {"a GUID that is a path", windowsWith("{6C1F0F5E-2D7A", "{6C1F0F5E\\2D7A")},
      {"DHCP neither on nor off", windowsWith("windows dhcp off", "windows dhcp auto")},
      {"DHCP with more", windowsWith("windows dhcp off", "windows dhcp off now")},
      {"a DNS server that is a name", windowsWith("8.8.8.8", "dns.example")},
      {"DNS from DHCP and a server", windowsWith("windows dns 10.1.2.53", "windows dns dhcp 10.1.2.53")},
      {"no DNS at all", windowsWith("windows dns 10.1.2.53 8.8.8.8", "windows dns")},
      {"nine DNS servers", windowsWith("8.8.8.8", "8.8.8.8 1.1.1.1 1.0.0.1 9.9.9.9 4.4.4.4 4.2.2.2 4.2.2.1 8.8.4.4")},
      {"an unknown Windows setting", windowsWith("windows dhcp off", "windows wins 10.1.2.9")},
  };
  for (const Case& c : windowsCases) {
    AdapterSnapshot out;
    std::string error;
    EXPECT_FALSE(ParseSnapshot(c.text, out, error)) << c.what;
  }
  for (const Case& c : cases) {
    AdapterSnapshot out;
    std::string error;
    EXPECT_FALSE(ParseSnapshot(c.text, out, error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
}

TEST(AdapterSnapshotTest, LeasesRunOnWhileTheStaticAddressStays) {
  AdapterSnapshot s = OfficeSnapshot();
  EXPECT_TRUE(s.HasOwnStaticAddress());
  EXPECT_EQ(s.AddressList(), "10.1.2.3/24, 10.9.0.7/16");
  AdapterState later = s.KernelStateAt(s.takenAt + 1000);
  ASSERT_EQ(later.addresses.size(), 2u);
  EXPECT_EQ(later.addresses[0], s.kernel.addresses[0]);
  EXPECT_EQ(later.addresses[1].validLifetime, 2600u);
  EXPECT_EQ(later.addresses[1].preferredLifetime, 800u);
  EXPECT_EQ(s.KernelStateAt(s.takenAt + 5000).addresses.size(), 1u) << "the lease has run out";
  EXPECT_EQ(s.KernelStateAt(s.takenAt - 50).addresses, s.kernel.addresses) << "a clock set back";

  s.kernel.addresses.erase(s.kernel.addresses.begin());
  EXPECT_FALSE(s.HasOwnStaticAddress()) << "DHCP brings a lease back";
  s = OfficeSnapshot();
  s.networkManager = true;
  EXPECT_FALSE(s.HasOwnStaticAddress()) << "NetworkManager's profile brings it back";
}

TEST(AdapterJournalTest, SavedWholeReadBackAndRemoved) {
  TempDir temp;
  AdapterJournal journal(temp.path + "/state/brickfix");  // made when first needed
  EXPECT_TRUE(journal.Adapters().empty());
  AdapterSnapshot s = OfficeSnapshot(), back;
  std::string error;
  EXPECT_FALSE(journal.Load("eth0", back, error));
  EXPECT_EQ(error, "") << "none is not an error";
  ASSERT_TRUE(journal.Save(s, error)) << error;
  struct stat st {};
  ASSERT_EQ(stat(journal.PathOf("eth0").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(journal.Dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(journal.Dir()), {}), 1)
      << "no temporary file is left";
  ASSERT_TRUE(journal.Load("eth0", back, error)) << error;
  EXPECT_EQ(back, s);
  EXPECT_EQ(journal.Adapters(), std::vector<std::string>{"eth0"});

  // A journal whose name and content disagree, or that was damaged, is not used.
  std::filesystem::copy_file(journal.PathOf("eth0"), journal.PathOf("eth1"));
  EXPECT_FALSE(journal.Load("eth1", back, error));
  EXPECT_NE(error.find("another adapter"), std::string::npos) << error;
  std::ofstream(journal.PathOf("eth1")) << Read(journal.PathOf("eth0")).substr(0, 80);
  EXPECT_FALSE(journal.Load("eth1", back, error));
  EXPECT_EQ(journal.Adapters(), (std::vector<std::string>{"eth0", "eth1"}));

  EXPECT_TRUE(journal.Remove("eth0"));
  EXPECT_TRUE(journal.Remove("eth0")) << "twice is no error";
  EXPECT_FALSE(journal.Exists("eth0"));
  EXPECT_FALSE(AdapterJournal("").Save(s, error)) << "no state folder";
}

class RestoreTest : public ::testing::Test {
 protected:
  static constexpr unsigned long long kHere = 4026531840;
  void SetUp() override {
    kernel.links = {{1, "lo", ARPHRD_LOOPBACK}, {2, "eth0", ARPHRD_ETHER}, {3, "wlan0", ARPHRD_ETHER, true},
                    {4, "br0", ARPHRD_ETHER, false, "bridge"}};
    runner.installed = {"nmcli", "dhclient"};
    kernel.adapter.up = true;
  }
  int Restore() {
    report.clear();
    return RestoreFromJournal(settings, journal, 2000, kHere, report);
  }
  TempDir temp;
  FakeRunner runner;
  FakeKernel kernel;
  AdapterSettings settings{runner, kernel, {temp.path, temp.path + "/hook"}};
  AdapterJournal journal{temp.path};
  std::string report;
  std::string error;
};

TEST_F(RestoreTest, WithoutNetworkManagerTheKernelGetsItBackAndTheClientRunsAgain) {
  AdapterSnapshot s = OfficeSnapshot();
  s.kernel.routes.pop_back();  // a route of another table: see the next test
  ASSERT_TRUE(journal.Save(s, error));
  // Our client from the hand-back serves it; the one from before is gone.
  EXPECT_EQ(Restore(), 0) << report;
  EXPECT_EQ(kernel.calls, std::vector<std::string>{"restore eth0"});
  AdapterState expected = s.KernelStateAt(2000);
  expected.routes[0].protocol = 4;  // what a restore adds is "static"
  EXPECT_EQ(kernel.restored, expected);
  ASSERT_EQ(runner.starts.size(), 1u);
  EXPECT_EQ(runner.starts[0].front(), "/usr/sbin/dhclient");
  EXPECT_FALSE(journal.Exists("eth0"));
  EXPECT_NE(report.find("网卡 eth0 已还原原有设置（10.1.2.3/24, 10.9.0.7/16）。\n"), std::string::npos)
      << report;

  // Run again, or after a reboot: nothing is left to do.
  EXPECT_EQ(Restore(), 0);
  EXPECT_NE(report.find("没有需要还原的网卡设置。\n"), std::string::npos) << report;

  // No client served it before: a running one (ours) is stopped, none started.
  s.dhcpClient.clear();
  ASSERT_TRUE(journal.Save(s, error));
  runner.starts.clear();
  runner.processes = {{77, "dhclient", {"/usr/sbin/dhclient", "-4", "-d", "eth0"}, 1},
                      {78, "dhclient", {"/usr/sbin/dhclient", "-4", "-d", "eth1"}, 1}};
  EXPECT_EQ(Restore(), 0) << report;
  EXPECT_EQ(runner.stopped, std::vector<pid_t>{77});
  EXPECT_TRUE(runner.starts.empty());
  EXPECT_TRUE(runner.runs.empty()) << "NetworkManager is not asked";
}

TEST_F(RestoreTest, WithNetworkManagerItsOwnProfileComesBack) {
  AdapterSnapshot s;
  s.ifname = "eth0";
  s.networkManager = true;
  s.profileUuid = "6c1f0f5e-2d7a-4a55-9b0e-3f2a9a1c0b11";
  s.profileName = "home";
  ASSERT_TRUE(journal.Save(s, error));
  EXPECT_EQ(Restore(), 0) << report;
  EXPECT_EQ(runner.runs, (std::vector<Argv>{{"nmcli", "connection", "delete", "brickfix-eth0"},
                                            {"nmcli", "--wait", "0", "connection", "up", "uuid",
                                             s.profileUuid, "ifname", "eth0"}}));
  EXPECT_TRUE(kernel.calls.empty());

  // A profile that has gone since: the journal stays for another try.
  ASSERT_TRUE(journal.Save(s, error));
  runner.onRun = [](const Argv& argv) {
    return ProcessResult{true, 0, argv[1] == "--wait" ? 10 : 0, -1, ""};  // "unknown connection"
  };
  EXPECT_EQ(Restore(), 1);
  EXPECT_TRUE(journal.Exists("eth0"));
  EXPECT_NE(report.find("NetworkManager did not take back the profile \"home\""), std::string::npos) << report;

  // It had no active profile: it is left disconnected, as it was.
  s.profileUuid.clear();
  ASSERT_TRUE(journal.Save(s, error));
  runner.runs.clear();
  EXPECT_EQ(Restore(), 0) << report;
  EXPECT_EQ(runner.runs.back(), (Argv{"nmcli", "device", "disconnect", "eth0"}));
}

TEST_F(RestoreTest, WhatCannotBePutBackKeepsItsJournal) {
  struct Case {
    const char* what;
    std::string ifname;
    KernelResult result;
    const char* reason;
  } cases[] = {
      {"unplugged", "eth7", KernelResult::kDone, "no such adapter here"},
      {"a wireless adapter", "wlan0", KernelResult::kDone, "not a wired Ethernet adapter"},
      {"a bridge", "br0", KernelResult::kDone, "not a wired Ethernet adapter"},
      {"no rights", "eth0", KernelResult::kRefused, "not permitted"},
      {"refused routes", "eth0", KernelResult::kFailed, "the kernel refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AdapterSnapshot s = OfficeSnapshot();
    s.ifname = c.ifname;
    ASSERT_TRUE(journal.Save(s, error));
    kernel.result = c.result;
    EXPECT_EQ(Restore(), 1);
    EXPECT_NE(report.find(c.reason), std::string::npos) << report;
    EXPECT_NE(report.find(journal.PathOf(c.ifname)), std::string::npos) << report;
    EXPECT_TRUE(journal.Remove(c.ifname));
  }
  // A journal of another network namespace is left for that one.
  AdapterSnapshot foreign = OfficeSnapshot();
  foreign.netns = kHere + 1;
  ASSERT_TRUE(journal.Save(foreign, error));
  kernel.calls.clear();
  EXPECT_EQ(Restore(), 0);
  EXPECT_NE(report.find("网卡 eth0 的记录属于另一个网络命名空间，未处理。\n"), std::string::npos) << report;
  EXPECT_TRUE(kernel.calls.empty());
  EXPECT_TRUE(journal.Remove("eth0"));
  // A damaged journal is reported and kept.
  std::ofstream(journal.PathOf("eth0")) << "brickfix-journal 1\nadapter eth0\n";
  EXPECT_EQ(Restore(), 1);
  EXPECT_NE(report.find("cut short"), std::string::npos) << report;
  EXPECT_TRUE(journal.Exists("eth0"));
}

// A journal planted in the user's own folder: what it lists beyond the
// restore's bounds is not applied but printed for an administrator, what it
// lists within them is, and the journal stays until all is there.
TEST_F(RestoreTest, APlantedJournalGetsNothingBeyondTheBounds) {
  AdapterSnapshot s;
  s.ifname = "eth0";
  s.kernel.up = false;  // "take the adapter down"
  s.kernel.addresses = {{"10.0.0.1", 32, "", "", true, false}, {"10.77.0.2", 24, "", "", true, false}};
  auto route = [](const char* to, int prefix, const char* via, std::uint32_t metric, int protocol = 4) {
    return AdapterRoute{to, prefix, via, "", metric, 254, protocol, via[0] ? 0 : 253, 1};
  };
  s.kernel.routes = {route("0.0.0.0", 0, "10.0.0.254", 0),       // above the uplink, gateway elsewhere
                     route("128.0.0.0", 1, "", 100),             // half the Internet on the link
                     route("10.77.0.0", 16, "", 100),            // wider than its subnet
                     route("0.0.0.0", 0, "10.77.0.1", 5),         // below the metric floor
                     route("10.99.0.0", 16, "10.77.0.254", 100, 2),  // "proto kernel": made static
                     route("10.77.0.128", 25, "", 100)};           // a part of its subnet
  ASSERT_TRUE(journal.Save(s, error));
  kernel.adapter.up = true;
  EXPECT_EQ(Restore(), 1);
  EXPECT_TRUE(journal.Exists("eth0"));
  AdapterState applied;
  applied.up = true;
  applied.addresses = s.kernel.addresses;
  applied.routes = {s.kernel.routes[4], s.kernel.routes[5]};
  applied.routes[0].protocol = 4;
  EXPECT_EQ(kernel.restored, applied);
  for (const char* command : {"ip route add default via 10.0.0.254 dev eth0 metric 0 proto static scope global",
                              "ip route add 128.0.0.0/1 dev eth0 metric 100 proto static scope link",
                              "ip route add 10.77.0.0/16 dev eth0 metric 100 proto static scope link",
                              "ip route add default via 10.77.0.1 dev eth0 metric 5 proto static scope global",
                              "ip link set dev eth0 down"}) {
    EXPECT_NE(report.find(std::string("\n  ") + command + "\n"), std::string::npos) << command << "\n" << report;
  }
  // Once an administrator has added the rest, the restore is complete.
  kernel.adapter = applied;
  kernel.adapter.up = false;
  kernel.adapter.routes = s.kernel.routes;
  EXPECT_EQ(Restore(), 0) << report;
  EXPECT_FALSE(journal.Exists("eth0"));
}

}  // namespace
