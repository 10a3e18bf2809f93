// LinuxNetOps against the real kernel, inside a pair of network namespaces
// that each test creates and removes: a "pc" namespace with the veth "pc",
// joined to a "router" namespace with the veth "router". Nothing here
// touches the machine's own interfaces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <poll.h>
#include <netinet/ip_icmp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "fakes/Fakes.h"
#include "netcfg/linux/FrameCapture.h"
#include "netcfg/linux/HelperClient.h"
#include "netcfg/linux/LinkMonitor.h"
#include "netcfg/linux/LinuxNetOps.h"
#include "netcfg/linux/Netlink.h"
#include "netcfg/linux/Ping.h"
#include "netcfg/NetcfgFakes.h"
#include "platform/linux/ProcessRunner.h"
#include "platform/linux/ScopedFd.h"
#include "tftp/TftpTestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Argv = std::vector<std::string>;
using Lines = std::vector<std::string>;

constexpr const char* kPrefix = "bfnc-";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RecordingDhcp : public DhcpStarter {
 public:
  bool Start(const std::string&, const std::string&) override { return false; }
};

// Remembers every process it starts, so that the test can end them.
class RecordingRunner : public PosixProcessRunner {
 public:
  ProcessResult Start(const Argv& argv) override {
    ProcessResult result = PosixProcessRunner::Start(argv);
    std::lock_guard<std::mutex> lock(mutex);
    if (result.started) pids.push_back(result.pid);
    return result;
  }
  std::mutex mutex;
  std::vector<pid_t> pids;
};

// A thread that has entered a network namespace; its sockets and the
// processes it starts live there. Joined on destruction.
class NetnsThread {
 public:
  NetnsThread(const std::string& netns, std::function<void()> body)
      : m_thread([netns, body = std::move(body)] {
          ScopedFd ns(open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC));
          if (!ns.valid() || setns(ns.get(), CLONE_NEWNET) != 0) {
            ADD_FAILURE() << "cannot enter the network namespace " << netns;
            return;
          }
          body();
        }) {}
  ~NetnsThread() { Join(); }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::thread m_thread;
};

void RunInNetns(const std::string& netns, std::function<void()> body) {
  NetnsThread(netns, std::move(body)).Join();
}

// Writes a sysctl of the namespace the calling thread is in.
void WriteSysctl(const std::string& name, const std::string& value) {
  std::ofstream out("/proc/sys/net/ipv4/" + name);
  out << value;
  ASSERT_TRUE(out.good()) << name;
}

class NetcfgNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespace tests need root";
    RemoveStaleNamespaces();
    std::string tag = kPrefix + std::to_string(getpid());
    pcNs = tag + "-pc";
    routerNs = tag + "-rt";
    ProcessResult added = runner.Run({"ip", "netns", "add", pcNs});
    if (!added.started || added.status != 0) {
      GTEST_SKIP() << "cannot create network namespaces here (ip netns add failed)";
    }
    m_created.push_back(pcNs);
    ASSERT_EQ(Ip({"netns", "add", routerNs}), 0);
    m_created.push_back(routerNs);
    ASSERT_EQ(Ip({"-n", pcNs, "link", "add", "pc", "type", "veth", "peer", "name", "router",
                  "netns", routerNs}),
              0);
    ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "lo", "up"}), 0);
    ASSERT_EQ(Ip({"-n", routerNs, "link", "set", "lo", "up"}), 0);
    ASSERT_EQ(Ip({"-n", routerNs, "link", "set", "router", "up"}), 0);
    char dir[] = "/tmp/brickfix-netns-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tempDir = dir;
  }

  void TearDown() override {
    std::vector<pid_t> pids;
    {
      std::lock_guard<std::mutex> lock(runner.mutex);
      pids = runner.pids;
    }
    for (pid_t pid : pids) kill(pid, SIGKILL);
    for (const std::string& ns : m_created) RemoveNamespace(ns);
    if (!tempDir.empty()) std::filesystem::remove_all(tempDir);
  }

  int Ip(const Argv& args) {
    Argv argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = runner.Run(argv);
    return result.started ? result.status : -1;
  }
  std::string IpOutput(const Argv& args) {
    Argv argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runner.Run(argv).output;
  }

  // "a.b.c.d/n" of every IPv4 address of `dev`, read back from the kernel.
  Lines Addresses(const std::string& ns, const std::string& dev) {
    Lines addresses;
    for (const std::string& line : SplitLines(IpOutput({"-n", ns, "-4", "-o", "addr", "show", "dev", dev}))) {
      Lines words = Words(line);
      for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == "inet") addresses.push_back(words[i + 1]);
      }
    }
    return addresses;
  }
  Lines DefaultRoutes(const std::string& ns) {
    return SplitLines(IpOutput({"-n", ns, "-4", "route", "show", "default"}));
  }
  bool LinkUp(const std::string& ns, const std::string& dev) {
    std::string line = IpOutput({"-n", ns, "-o", "link", "show", "dev", dev});
    std::size_t open = line.find('<'), close = line.find('>');
    if (open == std::string::npos || close == std::string::npos) return false;
    std::string flags = "," + line.substr(open + 1, close - open - 1) + ",";
    return flags.find(",UP,") != std::string::npos;
  }

  // "pc" with the recovery address, the router at 192.168.1.1; and a second
  // adapter "pc2" at 10.88.0.2, whose peer "other" (10.88.0.1) is in the
  // router's namespace too.
  void RecoveryLinkAndAnother() {
    ASSERT_EQ(Ip({"-n", pcNs, "link", "add", "pc2", "type", "veth", "peer", "name", "other", "netns",
                  routerNs}),
              0);
    for (Argv command : {Argv{"-n", pcNs, "addr", "add", "192.168.1.88/24", "dev", "pc"},
                         Argv{"-n", pcNs, "addr", "add", "10.88.0.2/24", "dev", "pc2"},
                         Argv{"-n", routerNs, "addr", "add", "192.168.1.1/24", "dev", "router"},
                         Argv{"-n", routerNs, "addr", "add", "10.88.0.1/24", "dev", "other"},
                         Argv{"-n", pcNs, "link", "set", "pc", "up"}, Argv{"-n", pcNs, "link", "set", "pc2", "up"},
                         Argv{"-n", routerNs, "link", "set", "other", "up"}}) {
      ASSERT_EQ(Ip(command), 0);
    }
  }

  NetCommand Static(const char* address, const char* gateway) {
    NetCommand command;
    command.kind = NetCommand::kStatic;
    command.adapter = "pc";
    command.address = address;
    command.mask = "255.255.255.0";
    command.gateway = gateway;
    command.metric = 1;
    return command;
  }

  RecordingRunner runner;
  NetlinkKernel kernel;
  std::string pcNs, routerNs, tempDir;

 private:
  void RemoveNamespace(const std::string& ns) {
    for (const std::string& pid : SplitLines(IpOutput({"netns", "pids", ns}))) {
      kill(std::stoi(pid), SIGKILL);
    }
    Ip({"netns", "del", ns});
  }
  // Namespaces that an earlier run of this suite left behind when it crashed.
  void RemoveStaleNamespaces() {
    for (const std::string& line : SplitLines(IpOutput({"netns", "list"}))) {
      std::string name = Words(line).at(0);
      if (name.rfind(kPrefix, 0) != 0) continue;
      pid_t owner = std::atoi(name.c_str() + std::strlen(kPrefix));
      if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) RemoveNamespace(name);
    }
  }

  std::vector<std::string> m_created;
};

// A dialog wired to the real LinuxNetOps and fakes for everything else. No
// thread is attached as the interface thread, so console calls run on the
// calling thread.
struct RealNetDialog {
  explicit RealNetDialog(INetOps& net) {
    dlg = std::make_unique<CBrickfixDlg>(
        MakeServices(view, bridge, platform, firmware, net, tftp));
  }
  FakeView view;
  UiBridge bridge;
  FakePlatform platform;
  FakeFirmware firmware;
  FakeTftp tftp;
  std::unique_ptr<CBrickfixDlg> dlg;
};

TEST_F(NetcfgNetnsTest, ListingShowsTheVethAndTheOnlyAdapterGetsTheRecoveryAddress) {
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "add", "10.77.0.2/24", "dev", "pc"}), 0);
  LinuxNetOps ops(runner, kernel);
  RealNetDialog wizard(ops);
  std::vector<AdapterRecord> adapters;
  RunInNetns(pcNs, [&] {
    ASSERT_TRUE(ops.GetAdapters(adapters));
    wizard.dlg->m_bBusy = 1;
    wizard.dlg->m_nStep = 5;
    wizard.dlg->RunStep();
  });
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_EQ(adapters[0].id, "lo");
  EXPECT_NE(adapters[0].type, MIB_IF_TYPE_ETHERNET);
  EXPECT_EQ(adapters[1].id, "pc");
  EXPECT_EQ(adapters[1].type, MIB_IF_TYPE_ETHERNET);
  EXPECT_EQ(adapters[1].ipAddress, "10.77.0.2");

  Lines log = wizard.view.LogLines();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[1], "1. pc (10.77.0.2)");
  EXPECT_EQ(log[2], "只发现一块网卡，强制使用这块网卡。");
  EXPECT_EQ(log[4], "IP地址信息配置完成");
  EXPECT_EQ(Addresses(pcNs, "pc"), Lines{"192.168.1.88/24"});
  EXPECT_TRUE(LinkUp(pcNs, "pc"));
}

TEST_F(NetcfgNetnsTest, StaticAddressReplacesWhatTheAdapterHad) {
  // Before: the link down, two other addresses, another default route; the
  // router's side is down too, as before the cable is plugged in.
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "add", "10.77.0.2/24", "dev", "pc"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "add", "10.78.0.3/16", "dev", "pc"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "up"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "route", "add", "default", "via", "10.77.0.1", "metric", "100"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "down"}), 0);
  ASSERT_EQ(Ip({"-n", routerNs, "link", "set", "router", "down"}), 0);
  LinuxNetOps ops(runner, kernel);

  RunInNetns(pcNs, [&] { EXPECT_TRUE(ops.Execute(Static("192.168.1.88", "192.168.1.1"))); });
  EXPECT_EQ(Addresses(pcNs, "pc"), Lines{"192.168.1.88/24"});
  EXPECT_TRUE(LinkUp(pcNs, "pc"));
  Lines routes = DefaultRoutes(pcNs);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].rfind("default via 192.168.1.1 dev pc ", 0), 0u) << routes[0];
  EXPECT_NE(routes[0].find(" metric 1"), std::string::npos) << routes[0];

  // The LAN address replaces it; asking twice changes nothing.
  for (int i = 0; i < 2; ++i) {
    RunInNetns(pcNs, [&] { EXPECT_TRUE(ops.Execute(Static("192.168.199.88", "192.168.199.1"))); });
  }
  EXPECT_EQ(Addresses(pcNs, "pc"), Lines{"192.168.199.88/24"});
  routes = DefaultRoutes(pcNs);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].rfind("default via 192.168.199.1 dev pc ", 0), 0u) << routes[0];
}

// What an adapter had (addresses primary and secondary, one without a prefix
// route, a leased one, routes in two tables) comes back exactly after the
// recovery addresses replaced it, and a second restore changes nothing.
TEST_F(NetcfgNetnsTest, AnAdapterGetsBackExactlyWhatItHad) {
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "up"}), 0);
  for (Argv add : {Argv{"10.77.0.2/24"}, Argv{"10.77.0.9/24"},
                   Argv{"10.78.0.3/16", "noprefixroute", "label", "pc:1"},
                   Argv{"10.79.0.4/24", "valid_lft", "3600", "preferred_lft", "1800"}}) {
    Argv argv = {"-n", pcNs, "addr", "add"};
    argv.insert(argv.end(), add.begin(), add.end());
    argv.insert(argv.end(), {"dev", "pc"});
    ASSERT_EQ(Ip(argv), 0);
  }
  for (Argv route : {Argv{"default", "via", "10.77.0.1", "metric", "100"},
                     Argv{"10.99.0.0/16", "via", "10.77.0.254", "metric", "5", "proto", "static"},
                     Argv{"10.78.0.0/16", "dev", "pc", "metric", "7", "src", "10.78.0.3"},
                     Argv{"10.100.0.0/16", "via", "10.77.0.1", "table", "1000"}}) {
    Argv argv = {"-n", pcNs, "route", "add"};
    argv.insert(argv.end(), route.begin(), route.end());
    ASSERT_EQ(Ip(argv), 0);
  }
  auto listing = [&] {
    return IpOutput({"-n", pcNs, "-4", "addr", "show", "dev", "pc"}) +
           IpOutput({"-n", pcNs, "-4", "route", "show", "table", "all", "dev", "pc"});
  };
  // Lifetimes count down while the test runs: compare without them.
  auto withoutLifetimes = [](std::string text) {
    for (std::size_t at; (at = text.find("_lft ")) != std::string::npos;) {
      std::size_t end = text.find_first_of(" \n", at + 5);
      text.erase(at + 4, end - at - 4);
    }
    return text;
  };
  std::string before = withoutLifetimes(listing());
  AdapterState own, back;
  RunInNetns(pcNs, [&] { ASSERT_EQ(kernel.ReadAdapter("pc", own), KernelResult::kDone); });
  ASSERT_EQ(own.addresses.size(), 4u);
  auto leased = [](const AdapterState& state) {
    for (const AdapterAddress& address : state.addresses) {
      if (address.address == "10.79.0.4") return address;
    }
    return AdapterAddress{};
  };
  EXPECT_TRUE(own.addresses[0].permanent);
  EXPECT_FALSE(leased(own).permanent);
  EXPECT_LE(leased(own).validLifetime, 3600u);
  EXPECT_GT(leased(own).validLifetime, 3500u);
  EXPECT_EQ(own.routes.size(), 4u) << "the prefix routes of the addresses are the kernel's own";

  LinuxNetOps ops(runner, kernel);
  RunInNetns(pcNs, [&] {
    ASSERT_TRUE(ops.Execute(Static("192.168.1.88", "192.168.1.1")));
    ASSERT_TRUE(ops.Execute(Static("192.168.199.88", "192.168.199.1")));
  });
  ASSERT_EQ(Addresses(pcNs, "pc"), Lines{"192.168.199.88/24"});
  for (int i = 0; i < 2; ++i) {
    RunInNetns(pcNs, [&] {
      EXPECT_EQ(kernel.RestoreAdapter("pc", own), KernelResult::kDone);
      ASSERT_EQ(kernel.ReadAdapter("pc", back), KernelResult::kDone);
    });
    EXPECT_EQ(withoutLifetimes(listing()), before);
    EXPECT_EQ(back.routes, own.routes);
    ASSERT_EQ(back.addresses.size(), own.addresses.size());
    EXPECT_GT(leased(back).validLifetime, 3500u);
    EXPECT_FALSE(leased(back).permanent);
  }

  // A link that was down goes down again; an adapter that is not there fails.
  AdapterState down;
  RunInNetns(pcNs, [&] {
    EXPECT_EQ(kernel.RestoreAdapter("pc", down), KernelResult::kDone);
    EXPECT_EQ(kernel.RestoreAdapter("nosuch0", own), KernelResult::kFailed);
  });
  EXPECT_FALSE(LinkUp(pcNs, "pc"));
  EXPECT_TRUE(Addresses(pcNs, "pc").empty());
}

TEST_F(NetcfgNetnsTest, DhcpHandBackObtainsALeaseFromTheRouter) {
  std::string dnsmasq = runner.Find("dnsmasq");
  DhcpClientFiles files{tempDir, tempDir + "/hook"};
  if (dnsmasq.empty()) GTEST_SKIP() << "dnsmasq is not installed";
  if (FindDhcpClient(runner, "pc", files).argv.empty()) GTEST_SKIP() << "no DHCP client installed";
  // The client's hook applies the lease and nothing else: the machine's
  // /etc/resolv.conf stays as it is.
  {
    std::ofstream hook(files.script);
    hook << "#!/bin/sh\n"
            "case \"$reason\" in\n"
            "  PREINIT) ip link set dev \"$interface\" up ;;\n"
            "  BOUND|RENEW|REBIND|REBOOT) ip -4 addr add \"$new_ip_address/$new_subnet_mask\" "
            "dev \"$interface\" ;;\n"
            "esac\n"
            "exit 0\n";
  }
  std::filesystem::permissions(files.script, std::filesystem::perms::owner_all);
  std::string resolvBefore = ReadFile("/etc/resolv.conf");

  ASSERT_EQ(Ip({"-n", routerNs, "addr", "add", "192.168.199.1/24", "dev", "router"}), 0);
  ProcessResult server = runner.Start(
      {"ip", "netns", "exec", routerNs, dnsmasq, "--no-daemon", "--conf-file=/dev/null",
       "--port=0", "--interface=router", "--bind-interfaces",
       "--dhcp-range=192.168.199.100,192.168.199.150,255.255.255.0,1h",
       "--dhcp-leasefile=" + tempDir + "/dnsmasq.leases", "--pid-file=" + tempDir + "/dnsmasq.pid",
       "--user=root", "--group=root"});
  ASSERT_TRUE(server.started);

  LinuxNetOptions options;
  options.dhcp = files;
  LinuxNetOps ops(runner, kernel, options);
  NetCommand dhcp;
  dhcp.kind = NetCommand::kDhcp;
  dhcp.adapter = "pc";
  Clock::duration handBack{};
  RunInNetns(pcNs, [&] {
    ASSERT_TRUE(ops.Execute(Static("192.168.199.88", "192.168.199.1")));
    auto start = Clock::now();
    EXPECT_TRUE(ops.Execute(dhcp));
    handBack = Clock::now() - start;
  });
  EXPECT_LT(handBack, 2s) << "the hand-back must not wait for the lease";

  Lines addresses;
  for (auto deadline = Clock::now() + 40s; Clock::now() < deadline;) {
    addresses = Addresses(pcNs, "pc");
    if (addresses.size() == 1 && addresses[0].rfind("192.168.199.1", 0) == 0 &&
        addresses[0] != "192.168.199.1/24") {
      break;
    }
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_EQ(addresses.size(), 1u) << "no lease, or our static address is still there";
  int host = std::atoi(addresses[0].substr(std::strlen("192.168.199.")).c_str());
  EXPECT_GE(host, 100) << addresses[0];
  EXPECT_LE(host, 150) << addresses[0];
  EXPECT_EQ(addresses[0].substr(addresses[0].size() - 3), "/24");
  EXPECT_TRUE(DefaultRoutes(pcNs).empty()) << "our gateway route is still there";
  EXPECT_EQ(ReadFile("/etc/resolv.conf"), resolvBefore);

  // A second hand-back (a later run of the program) replaces the first client.
  RunInNetns(pcNs, [&] { EXPECT_TRUE(ops.Execute(dhcp)); });
  std::string clientName = FindDhcpClient(runner, "pc", files).processName;
  std::size_t clients = 0;
  for (auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
    clients = 0;
    for (const std::string& pid : SplitLines(IpOutput({"netns", "pids", pcNs}))) {
      std::string stat = ReadFile("/proc/" + pid + "/stat");  // "pid (name) state ..."
      clients += stat.find("(" + clientName + ") ") != std::string::npos &&
                 stat.find(") Z ") == std::string::npos;
    }
    if (clients == 1) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(clients, 1u);
}

// Answers echo requests in the router namespace in place of the kernel, with
// the identifier kept or changed, and as an echo reply or another ICMP type.
class EchoResponder {
 public:
  // `from`: the address its replies come from; empty: the one asked.
  explicit EchoResponder(const std::string& netns, const std::string& from = "")
      : m_from(from), m_thread(netns, [this] { Serve(); }) {
    for (auto deadline = Clock::now() + 5s; !m_ready && Clock::now() < deadline;) {
      std::this_thread::sleep_for(1ms);
    }
  }
  ~EchoResponder() {
    m_stop = true;
    m_thread.Join();
  }
  std::atomic<bool> changeIdentifier{true};
  std::atomic<bool> changeSequence{false};
  std::atomic<int> replyType{ICMP_ECHOREPLY};
  std::atomic<int> replies{0};

 private:
  void Serve() {
    ScopedFd fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    ASSERT_TRUE(fd.valid());
    // Replies from another address leave through a socket bound to it.
    ScopedFd forged;
    if (!m_from.empty()) {
      forged.Reset(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
      sockaddr_in local{};
      local.sin_family = AF_INET;
      inet_pton(AF_INET, m_from.c_str(), &local.sin_addr);
      ASSERT_EQ(bind(forged.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    int out = forged.valid() ? forged.get() : fd.get();
    timeval tick{0, 50000};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    m_ready = true;
    while (!m_stop) {
      uint8_t packet[256];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n = recvfrom(fd.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n <= 0) continue;
      std::size_t header = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
      if (static_cast<std::size_t>(n) < header + 8 || packet[header] != ICMP_ECHO) continue;
      uint8_t* icmp = packet + header;
      std::size_t size = static_cast<std::size_t>(n) - header;
      icmp[0] = static_cast<uint8_t>(replyType.load());
      if (changeIdentifier) icmp[4] ^= 0xff, icmp[5] ^= 0xff;
      if (changeSequence) icmp[6] ^= 0x02;
      icmp[2] = icmp[3] = 0;
      uint16_t checksum = IcmpChecksum(icmp, size);
      icmp[2] = static_cast<uint8_t>(checksum >> 8);
      icmp[3] = static_cast<uint8_t>(checksum & 0xff);
      if (sendto(out, icmp, size, 0, reinterpret_cast<sockaddr*>(&from), length) > 0) ++replies;
    }
  }
  std::string m_from;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_ready{false};
  NetnsThread m_thread;
};

TEST_F(NetcfgNetnsTest, PingHostCountsTheRoutersRepliesOnlyWithOurIdentifier) {
  ASSERT_EQ(Ip({"-n", routerNs, "addr", "add", "192.168.199.1/24", "dev", "router"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "add", "192.168.199.88/24", "dev", "pc"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "up"}), 0);
  // Let the ping socket be used in the pc namespace (root's group included).
  RunInNetns(pcNs, [] { WriteSysctl("ping_group_range", "0 2147483647"); });

  for (PingSocket kind : {PingSocket::kRawOrDatagram, PingSocket::kDatagramOnly}) {
    SCOPED_TRACE(kind == PingSocket::kRawOrDatagram ? "raw socket" : "ping socket");
    LinuxNetOptions options;
    options.ping = kind;
    LinuxNetOps ops(runner, kernel, options);
    RunInNetns(routerNs, [] { WriteSysctl("icmp_echo_ignore_all", "0"); });
    RunInNetns(pcNs, [&] {
      for (int i = 0; i < 3; ++i) EXPECT_TRUE(ops.PingHost("192.168.199.1"));
      EXPECT_FALSE(ops.PingHost("192.168.199.77"));  // nobody there
    });

    // The router's kernel stays silent; a stand-in answers with another identifier.
    RunInNetns(routerNs, [] { WriteSysctl("icmp_echo_ignore_all", "1"); });
    EchoResponder responder(routerNs);
    RunInNetns(pcNs, [&] {
      for (int i = 0; i < 3; ++i) EXPECT_FALSE(ops.PingHost("192.168.199.1"));
    });
    EXPECT_GE(responder.replies.load(), 3) << "the stand-in did not answer";
    // Our identifier in something that is no echo reply does not count either.
    responder.changeIdentifier = false;
    responder.replyType = ICMP_DEST_UNREACH;
    RunInNetns(pcNs, [&] { EXPECT_FALSE(ops.PingHost("192.168.199.1")); });
    responder.replyType = ICMP_ECHOREPLY;
    RunInNetns(pcNs, [&] { EXPECT_TRUE(ops.PingHost("192.168.199.1")); });
    // Nor does a reply to another request of ours (another sequence number).
    responder.changeSequence = true;
    RunInNetns(pcNs, [&] { EXPECT_FALSE(ops.PingHost("192.168.199.1")); });
  }
}

// A host that forges the router's answers from another address (one that
// sees our requests, here the router's network itself) cannot announce the
// router's return while the router still writes its flash.
TEST_F(NetcfgNetnsTest, ForgedEchoRepliesFromAnotherAddressDoNotEndTheWait) {
  ASSERT_EQ(Ip({"-n", routerNs, "addr", "add", "192.168.199.1/24", "dev", "router"}), 0);
  ASSERT_EQ(Ip({"-n", routerNs, "addr", "add", "192.168.199.2/24", "dev", "router"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "add", "192.168.199.88/24", "dev", "pc"}), 0);
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "up"}), 0);
  RunInNetns(pcNs, [] { WriteSysctl("ping_group_range", "0 2147483647"); });
  RunInNetns(routerNs, [] { WriteSysctl("icmp_echo_ignore_all", "1"); });
  EchoResponder forger(routerNs, "192.168.199.2");
  forger.changeIdentifier = false;
  for (PingSocket kind : {PingSocket::kRawOrDatagram, PingSocket::kDatagramOnly}) {
    LinuxNetOptions options;
    options.ping = kind;
    LinuxNetOps ops(runner, kernel, options);
    RunInNetns(pcNs, [&] {
      for (int i = 0; i < 3; ++i) EXPECT_FALSE(ops.PingHost("192.168.199.1"));
    });
  }
  EXPECT_GE(forger.replies.load(), 6) << "the forger did not answer";
}

// The TFTP listener that the network helper opens, and the transfers after
// it, answer on the chosen adapter only: a host on another network can
// neither start a transfer nor disturb one.
TEST_F(NetcfgNetnsTest, TftpAnswersOnlyOnTheChosenAdapter) {
  ASSERT_NO_FATAL_FAILURE(RecoveryLinkAndAnother());
  tftp_test::Service service;
  service.ops->SetRouterSubnet(tftp::kRouterNetwork, tftp::kRouterPrefix);
  service.Serve(tftp_test::Pattern(2000));
  std::strcpy(service.dlg->m_szAdapterNames[1], "pc");
  RecordingDhcp dhcp;
  helper::Service helperService(kernel, dhcp);
  InProcess connection(helperService);
  helper::Client client(connection);
  std::string openedFor;
  service.ops->SetListenerOpener([&](const std::string& adapter, std::uint16_t) {
    openedFor = adapter;
    return tftp::UdpSocket(client.OpenTftpListener(adapter).Release());
  });
  // The listener and the transfers it starts live in pc's namespace.
  std::uint16_t listener = 0;
  RunInNetns(pcNs, [&] { listener = service.Start(); });
  ASSERT_EQ(listener, 69);
  EXPECT_EQ(openedFor, "pc");
  tftp::UdpSocket near, far;
  RunInNetns(routerNs, [&] {
    near = tftp::UdpSocket::Open();
    far = tftp::UdpSocket::Open();
  });
  ASSERT_TRUE(near.Bind(0xC0A80101, 0));  // 192.168.1.1
  ASSERT_TRUE(far.Bind(0x0A580001, 0));   // 10.88.0.1
  auto to = [](std::uint32_t address, std::uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address);
    target.sin_port = htons(port);
    return target;
  };
  auto send = [](tftp::UdpSocket& sock, const std::string& bytes, const sockaddr_in& target) {
    sock.SendTo({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, target);
  };
  auto receive = [](tftp::UdpSocket& sock, std::chrono::milliseconds wait, sockaddr_in& from) {
    std::uint8_t buffer[600];
    std::size_t length = 0;
    return sock.ReceiveWithin(buffer, from, length, wait) == tftp::UdpSocket::Receive::kDatagram
               ? std::optional<std::string>(std::string(reinterpret_cast<char*>(buffer), length))
               : std::nullopt;
  };
  std::string request = tftp_test::Request(tftp::kReadRequest, "recovery.bin");
  sockaddr_in from{};
  send(far, request, to(0x0A580002, 69));  // to 10.88.0.2, pc2's address
  EXPECT_FALSE(receive(far, 500ms, from)) << "a request from another network was answered";
  EXPECT_EQ(service.ops->TransfersStarted(), 0);

  send(near, request, to(0xC0A80158, 69));  // to 192.168.1.88 on the chosen adapter
  std::optional<std::string> data = receive(near, 2000ms, from);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->substr(0, 4), tftp_test::Data(1, ""));
  std::uint16_t transferPort = ntohs(from.sin_port);
  send(far, tftp_test::Error(0, "stop"), to(0x0A580002, transferPort));
  EXPECT_FALSE(receive(far, 500ms, from)) << "the transfer answered another network";
  send(near, tftp_test::Ack(1), to(0xC0A80158, transferPort));
  data = receive(near, 2000ms, from);
  ASSERT_TRUE(data) << "the transfer went on";
  EXPECT_EQ(data->substr(0, 4), tftp_test::Data(2, ""));
  send(near, tftp_test::Error(0, "stop"), to(0xC0A80158, transferPort));
  EXPECT_TRUE(service.Idle());
}

std::string Be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string Be32(std::uint32_t v) { return Be16(v >> 16) + Be16(v & 0xFFFF); }
// A broadcast Ethernet frame from a source address that ends in `mark`.
std::string Ether(int mark, unsigned type, const std::string& payload) {
  return std::string(6, '\xFF') + std::string("\x02\0\0\0\0", 5) + static_cast<char>(mark) + Be16(type) + payload;
}
std::string Ipv4(int protocol, std::uint32_t from, std::uint32_t to, const std::string& payload,
                 unsigned fragment = 0) {
  return "\x45" + std::string(1, '\0') + Be16(20 + static_cast<unsigned>(payload.size())) + Be16(1) +
         Be16(fragment) + "\x40" + static_cast<char>(protocol) + Be16(0) + Be32(from) + Be32(to) + payload;
}
std::string Udp(unsigned from, unsigned to, const std::string& payload) {
  return Be16(from) + Be16(to) + Be16(8 + static_cast<unsigned>(payload.size())) + Be16(0) + payload;
}
std::string Arp(std::uint32_t from, std::uint32_t to) {
  return Be16(1) + Be16(0x0800) + "\x06\x04" + Be16(1) + std::string(6, '\x02') + Be32(from) +
         std::string(6, '\0') + Be32(to);
}

// Sends `frame` as it is out of `ifname` (in the calling thread's namespace).
void SendFrame(const std::string& ifname, const std::string& frame) {
  ScopedFd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  to.sll_halen = 6;
  std::memset(to.sll_addr, 0xFF, 6);
  ASSERT_EQ(sendto(fd.get(), frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(frame.size()));
}

// The helper's capture on a real packet socket: of the chosen adapter's
// frames only those the diagnosis needs come up, cut to the snap length,
// with their direction.
TEST_F(NetcfgNetnsTest, TheHelpersCaptureTakesOnlyTheFramesThatMatter) {
  ASSERT_NO_FATAL_FAILURE(RecoveryLinkAndAnother());
  std::unique_ptr<helper::FrameSource> capture;
  RunInNetns(pcNs, [&] {
    int error = 0;
    capture = helper::OpenPacketCapture(static_cast<int>(if_nametoindex("pc")), error);
    ASSERT_NE(capture, nullptr) << std::strerror(error);
  });
  const std::uint32_t router = 0xC0A80101, ours = 0xC0A80158, far = 0x0A000001;
  const std::string request = Be16(1) + std::string("recovery.bin\0octet\0", 19);
  struct Case {
    const char* what;
    std::string frame;
    bool kept;
  } cases[] = {
      {"ARP for another server", Ether(1, 0x0806, Arp(router, 0xC0A80042)), true},
      {"a request from another subnet", Ether(2, 0x0800, Ipv4(17, far, ours, Udp(2000, 69, request))), true},
      {"a transfer in the router's subnet", Ether(3, 0x0800, Ipv4(17, router, ours, Udp(3000, 56991, "x"))), true},
      {"a transfer port from elsewhere", Ether(4, 0x0800, Ipv4(17, far, ours, Udp(3000, 56991, "x"))), false},
      {"other UDP", Ether(5, 0x0800, Ipv4(17, router, ours, Udp(53, 40000, "x"))), false},
      {"ICMP from the router", Ether(6, 0x0800, Ipv4(1, router, ours, "\x08\0\0\0\0\0\0\0")), true},
      {"ICMP from elsewhere", Ether(7, 0x0800, Ipv4(1, far, ours, "\x08\0\0\0\0\0\0\0")), false},
      {"IPv6", Ether(8, 0x86DD, std::string(48, '\0')), false},
      {"a later fragment", Ether(9, 0x0800, Ipv4(17, router, ours, Udp(2000, 69, request), 0x20)), false},
      {"a long request, cut", Ether(10, 0x0800, Ipv4(17, router, ours, Udp(2000, 69, request + std::string(600, 'x')))),
       true},
  };
  RunInNetns(routerNs, [&] {
    for (const Case& c : cases) SendFrame("router", c.frame);
    SendFrame("other", Ether(11, 0x0806, Arp(0x0A580001, 0x0A580002)));  // pc2's link
  });
  RunInNetns(pcNs, [&] {  // one that this machine sends
    tftp::UdpSocket sock = tftp::UdpSocket::Open();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(router);
    to.sin_port = htons(69);
    sock.SendTo({reinterpret_cast<const std::uint8_t*>(request.data()), request.size()}, to);
  });
  RunInNetns(routerNs, [&] { SendFrame("router", Ether(99, 0x0806, Arp(router, ours))); });
  // What came in, by the mark in the source address; what went out.
  std::map<int, helper::CapturedFrame> seen;
  std::string sent;
  for (auto deadline = Clock::now() + 5s;
       (!seen.count(99) || sent.find(request) == std::string::npos) && Clock::now() < deadline;) {
    pollfd ready{capture->Descriptor(), POLLIN, 0};
    poll(&ready, 1, 100);
    std::vector<helper::CapturedFrame> frames;
    capture->Take(frames, 64);
    for (helper::CapturedFrame& f : frames) {
      if (f.outgoing) sent += std::string(f.bytes.begin(), f.bytes.end());
      else seen[f.bytes.at(11)] = std::move(f);
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto it = seen.find(c.frame[11]);
    ASSERT_EQ(it != seen.end(), c.kept);
    if (!c.kept) continue;
    EXPECT_EQ(it->second.wireLength, c.frame.size());
    EXPECT_EQ(std::string(it->second.bytes.begin(), it->second.bytes.end()), c.frame.substr(0, helper::kSnapLength));
  }
  EXPECT_FALSE(seen.count(11)) << "a frame of another adapter";
  EXPECT_NE(sent.find(request), std::string::npos) << "our own request to the router";
}

// Forwards to the real operations; after the deadline every ping succeeds
// so that a wait that would never end lets the test fail instead of hang.
class DeadlineNet : public INetOps {
 public:
  DeadlineNet(INetOps& inner, Clock::duration limit) : m_inner(inner), m_deadline(Clock::now() + limit) {}
  bool GetAdapters(std::vector<AdapterRecord>& out) override { return m_inner.GetAdapters(out); }
  bool GetConnectionName(const AdapterRecord& a, std::size_t limit, std::string& name) override {
    return m_inner.GetConnectionName(a, limit, name);
  }
  bool Execute(const NetCommand& command) override { return m_inner.Execute(command); }
  bool PingHost(const char* address) override {
    if (Clock::now() > m_deadline) {
      expired = true;
      return true;
    }
    bool replied = m_inner.PingHost(address);
    if (replied) ++replies;
    return replied;
  }
  void Sleep(unsigned ms) override { m_inner.Sleep(ms); }

  std::atomic<bool> expired{false};
  std::atomic<int> replies{0};

 private:
  INetOps& m_inner;
  Clock::time_point m_deadline;
};

// The wait as the program does it: the set-up and the probe through the
// network helper, whose echo leaves from the adapter.
TEST_F(NetcfgNetnsTest, WaitForRouterEndsOnceTheRouterComesUp) {
  RecordingDhcp dhcp;
  helper::Service helperService(kernel, dhcp);
  InProcess connection(helperService);
  helper::Client client(connection);
  helper::HelperKernel helperKernel(client);
  LinuxNetOptions options;
  options.probeRouter = [&](const std::string& ifname) { return client.ProbeRouter(ifname); };
  LinuxNetOps ops(runner, helperKernel, options);
  DeadlineNet net(ops, 60s);
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "up"}), 0);  // the helper switches on nothing
  RealNetDialog wizard(net);
  RunInNetns(pcNs, [&] { ASSERT_TRUE(ops.Execute(Static("192.168.199.88", "192.168.199.1"))); });

  auto start = Clock::now();
  std::atomic<bool> done{false};
  NetnsThread waiter(pcNs, [&] {
    wizard.dlg->WaitForRouter();
    done = true;
  });
  std::this_thread::sleep_for(2500ms);
  EXPECT_FALSE(done) << "the wait ended before the router was there";
  ASSERT_EQ(Ip({"-n", routerNs, "addr", "add", "192.168.199.1/24", "dev", "router"}), 0);
  waiter.Join();
  EXPECT_FALSE(net.expired) << "the router's replies were never counted";
  EXPECT_EQ(net.replies.load(), 10);
  EXPECT_GE(Clock::now() - start, 2500ms);
  std::string log = wizard.view.Log();
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(log.find_first_not_of('.'), std::string::npos) << log;
}

// What the link monitor reports of the adapter "pc", in order.
class LinkReports : public observe::ILinkSink {
 public:
  void OnCarrier(bool up) override { Add(up ? "carrier up" : "carrier down"); }
  void OnAddresses(const std::vector<std::uint32_t>& addresses) override {
    std::string text = "addresses";
    for (std::uint32_t a : addresses) text += " " + std::to_string(a >> 24) + "." + std::to_string(a & 0xFF);
    Add(text);
  }
  // Waits until the last report is `report`; all of them.
  Lines WaitFor(const std::string& report) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, 5s, [&] { return !m_reports.empty() && m_reports.back() == report; });
    return m_reports;
  }

 private:
  void Add(std::string report) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.push_back(std::move(report));
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  Lines m_reports;
};

// The cable pulled and plugged back at the router's end, an address added
// and taken away: each once, in order, after the state it started from.
TEST_F(NetcfgNetnsTest, LinkMonitorHearsTheCarrierAndTheAddresses) {
  ASSERT_EQ(Ip({"-n", pcNs, "link", "set", "pc", "up"}), 0);
  LinkReports reports;
  LinkMonitor monitor;
  RunInNetns(pcNs, [&] {
    EXPECT_FALSE(monitor.Start("nosuchlink", reports));
    ASSERT_TRUE(monitor.Start("pc", reports));
  });
  reports.WaitFor("addresses");
  ASSERT_EQ(Ip({"-n", routerNs, "link", "set", "router", "down"}), 0);
  reports.WaitFor("carrier down");
  ASSERT_EQ(Ip({"-n", routerNs, "link", "set", "router", "up"}), 0);
  reports.WaitFor("carrier up");
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "add", "192.168.1.88/24", "dev", "pc"}), 0);
  reports.WaitFor("addresses 192.88");
  ASSERT_EQ(Ip({"-n", pcNs, "addr", "del", "192.168.1.88/24", "dev", "pc"}), 0);
  EXPECT_EQ(reports.WaitFor("addresses"),
            (Lines{"carrier up", "addresses", "carrier down", "carrier up", "addresses 192.88", "addresses"}));
  monitor.Stop();
}

}  // namespace
