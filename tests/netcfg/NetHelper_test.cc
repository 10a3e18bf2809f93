// The network helper's requests: what it carries out, on which adapter, and
// that everything else is refused before anything is done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <functional>
#include <thread>

#include "netcfg/linux/HelperClient.h"
#include "netcfg/linux/HelperService.h"
#include "netcfg/NetcfgFakes.h"
#include "netcfg/RefusedRequests.h"
#include "netcfg/RestorePlan.h"

using namespace helper;

namespace {

class RecordingDhcp : public DhcpStarter {
 public:
  bool Start(const std::string& ifname, const std::string& preferred) override {
    starts.push_back(ifname + " " + preferred);
    return true;
  }
  void StopStarted(const std::string& ifname) override { starts.push_back("stop " + ifname); }
  std::vector<std::string> starts;
};

AdapterAddress Address(const std::string& address, int prefix, const std::string& broadcast = "") {
  AdapterAddress entry;
  entry.address = address;
  entry.prefixLength = prefix;
  entry.broadcast = broadcast;
  return entry;
}

AdapterRoute Route(const std::string& destination, int prefix, const std::string& gateway,
                   const std::string& source = "") {
  AdapterRoute route;
  route.destination = destination;
  route.prefixLength = prefix;
  route.gateway = gateway;
  route.source = source;
  route.metric = 100;
  route.protocol = 4;  // static
  return route;
}

// An office adapter: two addresses, a default route and one to another network.
AdapterState Office() {
  AdapterState state;
  state.up = true;
  state.addresses = {Address("10.77.0.2", 24, "10.77.0.255"), Address("10.78.0.3", 16)};
  state.addresses[1].label = "eth0:1";
  state.addresses[1].permanent = false;
  state.addresses[1].validLifetime = 3600;
  state.addresses[1].preferredLifetime = 1800;
  state.routes = {Route("0.0.0.0", 0, "10.77.0.1"), Route("10.99.0.0", 16, "10.77.0.254", "10.77.0.2")};
  return state;
}

Request Ask(Kind kind, std::int32_t ifindex = 0) {
  Request request;
  request.kind = kind;
  request.ifindex = ifindex;
  return request;
}

// A capture that only says when it opens and closes.
class FakeSource : public FrameSource {
 public:
  FakeSource(std::vector<std::string>& log, std::string name) : m_log(log), m_name(std::move(name)) {
    m_log.push_back("open " + m_name);
  }
  ~FakeSource() override { m_log.push_back("close " + m_name); }
  int Descriptor() const override { return -1; }
  void Take(std::vector<CapturedFrame>&, std::size_t) override {}

 private:
  std::vector<std::string>& m_log;
  std::string m_name;
};

class NoSink : public observe::IFrameSink {
 public:
  void OnFrame(std::chrono::steady_clock::time_point, bool, std::span<const std::uint8_t>, std::size_t) override {}
};

class NetHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel.links = {{1, "lo", ARPHRD_LOOPBACK}, {2, "eth0", ARPHRD_ETHER}, {3, "wlan0", ARPHRD_ETHER, true},
                    {4, "ppp0", ARPHRD_PPP}, {5, "-x", ARPHRD_ETHER}, {6, "br0", ARPHRD_ETHER, false, "bridge"},
                    {7, "eth1", ARPHRD_ETHER, false, "", 6}, {8, "eth0.5", ARPHRD_ETHER, false, "vlan"},
                    {9, "bond0", ARPHRD_ETHER, false, "bond"}, {10, "eth2", ARPHRD_ETHER, false, "", 0, false},
                    {11, "veth7", ARPHRD_ETHER, false, "veth"}};
  }
  Reply Handle(const Bytes& message) {
    ScopedFd passed;
    Bytes reply = service.Handle(message, passed);
    EXPECT_FALSE(passed.valid());
    std::optional<Reply> decoded = DecodeReply(reply);
    EXPECT_TRUE(decoded.has_value());
    return decoded.value_or(Reply{});
  }

  FakeKernel kernel;
  RecordingDhcp dhcp;
  std::vector<std::string> probes;
  bool routerAnswers = true;
  std::vector<std::string> captures;
  Service service{kernel, dhcp,
                  [this](const std::string& ifname, const std::string& address) {
                    probes.push_back(ifname + " " + address);
                    return routerAnswers;
                  },
                  {},
                  [this](const KernelLink& link, int&) { return std::make_unique<FakeSource>(captures, link.name); }};
};

}  // namespace

TEST_F(NetHelperTest, EveryRequestOutsideTheListIsRefusedAndNothingIsDone) {
  Request setStatic = Ask(Kind::kSetStatic, 2);
  ASSERT_EQ(EncodeRequest(setStatic).size(), 15u);
  Request restore = Ask(Kind::kRestoreAdapter, 2);
  restore.state = Office();
  ASSERT_FALSE(EncodeRequest(restore).empty());
  auto restoring = [&](std::function<void(AdapterState&)> change) {
    Request r = restore;
    change(r.state);
    return EncodeRequest(r);
  };
  auto request = [](Kind kind, std::int32_t ifindex, std::uint8_t setup = 1) {
    Request r = Ask(kind, ifindex);
    r.setup = static_cast<helper::Setup>(setup);
    Bytes bytes = EncodeRequest(r);
    return bytes;
  };
  std::vector<std::pair<std::string, Bytes>> cases = MalformedRequests(2, restore);
  cases.insert(cases.end(), {
      {"loopback", request(Kind::kSetStatic, 1)},
      {"wireless", request(Kind::kRemoveStatic, 3, 2)},
      {"not Ethernet", request(Kind::kOpenTftpListener, 4)},
      {"a name like an option", request(Kind::kStartDhcpClient, 5)},
      {"no such adapter", request(Kind::kSetStatic, 99)},
      {"a bridge", request(Kind::kSetStatic, 6)},
      {"a bridge's port", request(Kind::kStartDhcpClient, 7)},
      {"a VLAN", request(Kind::kOpenTftpListener, 8)},
      {"a bond", request(Kind::kRemoveStatic, 9, 2)},
      {"flushing the neighbours of loopback", request(Kind::kFlushNeighbours, 1)},
      {"a probe where the helper gave no set-up", request(Kind::kProbeRouter, 2)},
      {"DNS servers, which only the Windows helper sets", [] {
         Request r = Ask(Kind::kSetDnsServers, 2);
         r.dnsFromDhcp = true;
         return EncodeRequest(r);
       }()},
      {"a capture where the helper gave no set-up", request(Kind::kStartCapture, 2)},
      {"a capture of a bridge", request(Kind::kStartCapture, 6)},
      {"an address not there before with prefix /4",
       restoring([](AdapterState& s) { s.addresses[1].prefixLength = 4; })},
      {"half the Internet on the link", restoring([](AdapterState& s) { s.routes.push_back(Route("128.0.0.0", 1, "")); })},
      {"a network wider than its subnet",
       restoring([](AdapterState& s) { s.routes.push_back(Route("10.77.0.0", 16, "")); })},
      {"a default route on the link", restoring([](AdapterState& s) { s.routes[0].gateway.clear(); })},
      {"a metric below the floor", restoring([](AdapterState& s) { s.routes[0].metric = 0; })},
      {"a gateway outside its subnets", restoring([](AdapterState& s) { s.routes[0].gateway = "10.0.0.254"; })},
      {"a label of another adapter", [&] {
         Request r = restore;
         r.state.addresses[1].label = "wlan0:1";
         return EncodeRequest(r);
       }()},
  });
  for (const auto& [what, message] : cases) {
    SCOPED_TRACE(what);
    Reply reply = Handle(message);
    EXPECT_EQ(reply.status, Status::kInvalid);
    EXPECT_FALSE(reply.text.empty());
  }
  EXPECT_EQ(kernel.calls, std::vector<std::string>{}) << "nothing was done";
  EXPECT_TRUE(dhcp.starts.empty());
  EXPECT_TRUE(probes.empty());
  EXPECT_TRUE(captures.empty());

  // An adapter that an administrator switched off stays off.
  for (Kind kind : {Kind::kSetStatic, Kind::kStartDhcpClient}) {
    Reply reply = Handle(request(kind, 10));
    EXPECT_EQ(reply.status, Status::kRefused);
    EXPECT_NE(reply.text.find("ip link set dev eth2 up"), std::string::npos) << reply.text;
  }
  EXPECT_EQ(kernel.calls, std::vector<std::string>{});
}

// What a restore adds to an adapter: only its own kind of addresses and
// routes through its own subnets; what the adapter has now may stay as it is.
TEST(NetHelperStateTest, OnlyTheAdaptersOwnAddressesAndRoutesThroughItsSubnets) {
  std::string why;
  EXPECT_TRUE(RestoreBoundsHold(Office(), AdapterState{}, why)) << why;
  EXPECT_TRUE(RestoreBoundsHold(AdapterState{}, AdapterState{}, why)) << "no address";
  AdapterState onLink = Office();
  onLink.routes.push_back(Route("10.77.0.128", 25, ""));            // a part of its subnet on the link
  onLink.routes.back().scope = 253;
  onLink.routes.push_back(Route("192.0.2.7", 32, "10.77.0.1"));     // a host route through the LAN
  onLink.routes.push_back(Route("10.98.0.0", 16, "10.78.0.1"));     // through the other subnet
  EXPECT_TRUE(RestoreBoundsHold(onLink, AdapterState{}, why)) << why;

  struct Case {
    const char* what;
    std::function<void(AdapterState&)> change;
  };
  const Case cases[] = {
      {"0/8", [](AdapterState& s) { s.addresses[0].address = "0.1.2.3"; }},
      {"reserved", [](AdapterState& s) { s.addresses[0].address = "240.0.0.1"; }},
      {"multicast", [](AdapterState& s) { s.addresses[0].address = "224.0.0.1"; }},
      {"loopback", [](AdapterState& s) { s.addresses[0].address = "127.0.0.1"; }},
      {"broadcast of its subnet", [](AdapterState& s) { s.addresses[0].address = "10.77.0.255"; }},
      {"prefix 7", [](AdapterState& s) { s.addresses[0].prefixLength = 7; }},
      {"another broadcast address", [](AdapterState& s) { s.addresses[0].broadcast = "10.77.0.254"; }},
      {"a gateway elsewhere", [](AdapterState& s) { s.routes[0].gateway = "192.168.7.1"; }},
      {"a gateway only on-link through a route", [](AdapterState& s) {
         s.routes.push_back(Route("172.16.0.0", 12, ""));
         s.routes[0].gateway = "172.16.0.1";
       }},
      {"its own address as gateway", [](AdapterState& s) { s.routes[0].gateway = "10.77.0.2"; }},
      {"a gateway of scope link", [](AdapterState& s) { s.routes[0].scope = 253; }},
      {"an on-link default route", [](AdapterState& s) { s.routes[0].gateway.clear(); }},
      {"on the link, wider than its subnet", [](AdapterState& s) { s.routes.push_back(Route("10.0.0.0", 8, "")); }},
      {"on the link, outside its subnets", [](AdapterState& s) { s.routes.push_back(Route("224.0.0.0", 4, "")); }},
      {"scope host", [](AdapterState& s) { s.routes[1].scope = 254; }},
      {"to loopback", [](AdapterState& s) { s.routes[1].destination = "127.0.0.0"; s.routes[1].prefixLength = 8; }},
      {"0/8 but the default", [](AdapterState& s) { s.routes[1].destination = "0.0.0.0"; s.routes[1].prefixLength = 8; }},
      {"a source not its own", [](AdapterState& s) { s.routes[1].source = "10.77.0.3"; }},
      {"metric 99", [](AdapterState& s) { s.routes[0].metric = 99; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AdapterState state = Office();
    c.change(state);
    EXPECT_FALSE(RestoreBoundsHold(state, AdapterState{}, why));
    // What the adapter has already stays: keeping it adds nothing.
    EXPECT_TRUE(RestoreBoundsHold(state, state, why)) << why;
  }
  // What a request cannot even say.
  for (auto change : std::vector<std::function<void(AdapterState&)>>{
           [](AdapterState& s) { s.addresses[1].label = "eth0 x"; },
           [](AdapterState& s) { s.addresses[1].label = "eth0:0123456789a"; },
           [](AdapterState& s) { s.routes[1].destination = "10.99.0.1"; },
           [](AdapterState& s) { s.routes[1].table = 100; },
           [](AdapterState& s) { s.routes[1].type = 6; },
           [](AdapterState& s) { s.routes.resize(65, s.routes[0]); }}) {
    AdapterState state = Office();
    change(state);
    Request request = Ask(Kind::kRestoreAdapter, 2);
    request.state = state;
    EXPECT_TRUE(EncodeRequest(request).empty()) << "the program does not even ask";
  }
}

TEST_F(NetHelperTest, TheListedRequestsAreCarriedOutOnTheNamedAdapter) {
  InProcess connection(service);
  Client client(connection);
  std::optional<HelperRights> rights = client.Rights();
  ASSERT_TRUE(rights.has_value());
  EXPECT_EQ(client.SetStatic("eth0", SetupValues(helper::Setup::kRecovery)), KernelResult::kDone);
  EXPECT_EQ(client.RemoveStatic("eth0", SetupValues(helper::Setup::kLan)), KernelResult::kDone);
  EXPECT_EQ(client.FlushNeighbours("eth0"), KernelResult::kDone);
  EXPECT_EQ(client.ProbeRouter("eth0"), std::optional<bool>(true));
  routerAnswers = false;
  EXPECT_EQ(client.ProbeRouter("eth0"), std::optional<bool>(false));
  EXPECT_EQ(client.ProbeRouter("veth7"), std::nullopt) << "no set-up there";
  EXPECT_TRUE(client.StartDhcpClient("eth0", "dhcpcd"));
  // What the helper does not know is not asked for at all.
  EXPECT_EQ(client.SetStatic("eth0", {"10.0.0.1", 24, "10.0.0.254", 1}), KernelResult::kFailed);
  EXPECT_EQ(client.SetStatic("wlan0", SetupValues(helper::Setup::kLan)), KernelResult::kFailed);
  EXPECT_FALSE(client.OpenTftpListener("lo").valid());
  // A restore keeps the routes a request cannot name (another table).
  AdapterRoute policy = Route("10.100.0.0", 16, "10.77.0.1");
  policy.table = 1000;
  kernel.adapter.routes = {policy, Route("0.0.0.0", 0, "192.168.1.1")};
  kernel.adapter.up = true;
  EXPECT_EQ(client.RestoreAdapter("eth0", Office()), KernelResult::kDone);
  AdapterState expected = Office();
  expected.routes.push_back(policy);
  EXPECT_EQ(kernel.restored, expected);
  EXPECT_TRUE(client.Goodbye());

  EXPECT_EQ(kernel.calls, (std::vector<std::string>{"apply eth0 192.168.1.88/24 via 192.168.1.1 metric 1",
                                                    "remove eth0 192.168.199.88/24 via 192.168.199.1 metric 1",
                                                    "flush eth0", "restore eth0"}));
  EXPECT_EQ(probes, (std::vector<std::string>{"eth0 192.168.1.1", "eth0 192.168.1.1"}));
  EXPECT_EQ(dhcp.starts, std::vector<std::string>{"eth0 dhcpcd"});
  kernel.result = KernelResult::kRefused;
  EXPECT_EQ(client.SetStatic("eth0", SetupValues(helper::Setup::kLan)), KernelResult::kRefused);
}

// The capture runs on the recovery link alone: an adapter with one of the
// set-ups (the helper's, or NetworkManager's for the program), until that
// set-up goes, the program stops it or says goodbye.
TEST_F(NetHelperTest, ACaptureRunsOnlyWhileTheAdapterHasASetUp) {
  InProcess connection(service);
  Client client(connection);
  NoSink sink;
  EXPECT_FALSE(client.StartCapture("eth0", sink)) << "no set-up yet";
  ASSERT_EQ(client.SetStatic("eth0", SetupValues(helper::Setup::kRecovery)), KernelResult::kDone);
  kernel.addresses = {{11, "192.168.1.88", 24}};  // NetworkManager gave veth7 the recovery set-up
  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<std::string> captures;  // since the step before
  } steps[] = {
      {"started", [&] { EXPECT_TRUE(client.StartCapture("eth0", sink)); }, {"open eth0"}},
      {"the address put back", [&] { client.SetStatic("eth0", SetupValues(helper::Setup::kRecovery)); }, {}},
      {"another adapter's changes", [&] { client.StartDhcpClient("veth7", ""); }, {}},
      {"started again", [&] { EXPECT_TRUE(client.StartCapture("veth7", sink)); }, {"close eth0", "open veth7"}},
      {"its DHCP client started", [&] { client.StartDhcpClient("veth7", ""); }, {"close veth7"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    captures.clear();
    step.act();
    EXPECT_EQ(captures, step.captures);
  }
  // NetworkManager moves veth7 on to the LAN set-up: its router is probed.
  kernel.addresses = {{11, "192.168.199.88", 24}};
  EXPECT_EQ(client.ProbeRouter("veth7"), std::optional<bool>(true));
  EXPECT_EQ(probes, std::vector<std::string>{"veth7 192.168.199.1"});
  // The LAN set-up, the stop, the goodbye, the program gone.
  for (auto end : std::vector<std::function<void()>>{
           [&] { client.SetStatic("eth0", SetupValues(helper::Setup::kLan)); }, [&] { client.StopCapture(); },
           [&] { client.Goodbye(); }, [&] { service.ProgramGone(); }}) {
    captures.clear();
    client.StartCapture("eth0", sink);
    end();
    EXPECT_EQ(captures, (std::vector<std::string>{"open eth0", "close eth0"}));
  }
  client.StartDhcpClient("eth0", "");
  EXPECT_FALSE(client.StartCapture("eth0", sink)) << "back on DHCP, no longer the recovery link";
}

// At most a burst of frames at once, then as many a second as the rate.
TEST(NetHelperFrameTest, FramesGoUpAtMostAtTheirRate) {
  FrameRate rate;
  for (int i = 0; i < kFrameBurst; ++i) ASSERT_TRUE(rate.Take(1000000000));
  EXPECT_FALSE(rate.Take(1000000000)) << "past the burst";
  EXPECT_TRUE(rate.Take(1000000000 + 1000000000 / kFramesPerSecond)) << "one more a little later";
}

// A program that ends without its goodbye (killed, crashed) gets back what
// the helper found on each adapter before its first change to it, and the
// DHCP client as it was; one that says goodbye leaves them as they are.
TEST_F(NetHelperTest, WithoutAGoodbyeTheHelperPutsItsAdaptersBack) {
  struct Case {
    const char* what;
    bool goodbye;
    bool dhcpBefore;
    std::vector<std::string> dhcpAtEnd;
  } cases[] = {
      {"killed, no DHCP client before", false, false, {"stop eth0"}},
      {"killed, dhclient before", false, true, {"eth0 dhclient"}},
      {"a goodbye first", true, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel.adapter = Office();
    kernel.calls.clear();
    Service helper(kernel, dhcp, [](const std::string&, const std::string&) { return true; },
                   [] { return 2000LL; });
    InProcess connection(helper);
    Client client(connection);
    client.NoteServedBefore("eth0", c.dhcpBefore ? "dhclient" : "");
    ASSERT_EQ(client.SetStatic("eth0", SetupValues(helper::Setup::kRecovery)), KernelResult::kDone);
    kernel.adapter = AdapterState{true, {Address("192.168.1.88", 24)}, {}};
    ASSERT_EQ(client.SetStatic("eth0", SetupValues(helper::Setup::kLan)), KernelResult::kDone);
    ASSERT_TRUE(client.StartDhcpClient("eth0", ""));
    if (c.goodbye) ASSERT_TRUE(client.Goodbye());
    dhcp.starts.clear();
    helper.ProgramGone();
    EXPECT_EQ(dhcp.starts, c.dhcpAtEnd);
    if (c.goodbye) {
      EXPECT_EQ(kernel.calls.back(), "apply eth0 192.168.199.88/24 via 192.168.199.1 metric 1");
    } else {
      EXPECT_EQ(kernel.calls.back(), "restore eth0");
      EXPECT_EQ(kernel.restored, Office()) << "what it had before the first change";
    }
  }
}

// The helper's loop on a real socket: a request that brings descriptors is
// refused and the descriptors are closed; the other end closing ends it.
TEST_F(NetHelperTest, ServeRefusesPassedDescriptorsAndEndsWithTheOtherEnd) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  ScopedFd ours(pair[0]);
  std::thread helperThread([&, theirs = pair[1]] {
    Serve(theirs, service);
    close(theirs);
  });
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  ScopedFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  Bytes request = EncodeRequest(Ask(Kind::kFlushNeighbours, 2));
  iovec data{request.data(), request.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  int fd = writeEnd.get();
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ASSERT_GT(sendmsg(ours.get(), &message, 0), 0);
  writeEnd.Reset();
  Bytes reply(kMaxMessage);
  ssize_t n = recv(ours.get(), reply.data(), reply.size(), 0);
  ASSERT_GT(n, 0);
  reply.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(DecodeReply(reply)->status, Status::kInvalid);
  char byte;
  EXPECT_EQ(read(readEnd.get(), &byte, 1), 0) << "the helper kept no copy of the pipe's write end";

  ours.Reset();
  helperThread.join();  // returns once our end has closed
  EXPECT_TRUE(kernel.calls.empty());
}

// A capture whose frames are the bytes written to a pipe: frame n is n.
class PipeSource : public FrameSource {
 public:
  explicit PipeSource(int fd) : m_fd(fd) {}
  int Descriptor() const override { return m_fd; }
  void Take(std::vector<CapturedFrame>& out, std::size_t most) override {
    std::uint8_t bytes[64];
    ssize_t n = read(m_fd, bytes, std::min(sizeof bytes, most));
    for (ssize_t i = 0; i < n; ++i) out.push_back({bytes[i], false, 60, Bytes(60, bytes[i])});
  }

 private:
  int m_fd;
};

// The time of each frame it hears (the pipe's byte).
class CountingSink : public observe::IFrameSink {
 public:
  void OnFrame(std::chrono::steady_clock::time_point when, bool, std::span<const std::uint8_t>,
               std::size_t) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_marks.push_back(static_cast<int>(when.time_since_epoch().count()));
  }
  std::vector<int> WaitFor(std::size_t count, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    for (auto deadline = std::chrono::steady_clock::now() + wait; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_marks.size() >= count) break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_marks;
  }

 private:
  std::mutex m_mutex;
  std::vector<int> m_marks;
};

// The program's end of the helper's socket: the frames that come between
// the replies, also while other threads ask, reach the sink in order, and
// none after the capture is stopped.
TEST_F(NetHelperTest, FramesBetweenTheRepliesReachTheSinkInOrder) {
  int frames[2];
  ASSERT_EQ(pipe2(frames, O_CLOEXEC | O_NONBLOCK), 0);
  ScopedFd readEnd(frames[0]), writeEnd(frames[1]);
  kernel.addresses = {{2, "192.168.1.88", 24}};
  Service piped(kernel, dhcp, {}, {}, [&](const KernelLink&, int&) { return std::make_unique<PipeSource>(readEnd.get()); });
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  std::thread helperThread([&, theirs = pair[1]] {
    Serve(theirs, piped);
    close(theirs);
  });
  CountingSink sink;
  {
    SocketConnection connection{ScopedFd(pair[0])};
    Client client(connection);
    ASSERT_TRUE(client.StartCapture("eth0", sink));
    std::vector<int> expected;
    std::thread asking([&] {
      for (int i = 0; i < 50; ++i) EXPECT_TRUE(client.Rights().has_value());
    });
    for (std::uint8_t n = 1; n <= 200; ++n) {
      ASSERT_EQ(write(writeEnd.get(), &n, 1), 1);
      expected.push_back(n);
      if (n % 20 == 0) EXPECT_TRUE(client.Rights().has_value());
    }
    asking.join();
    EXPECT_EQ(sink.WaitFor(200), expected);
    client.StopCapture();
    std::uint8_t late = 201;
    ASSERT_EQ(write(writeEnd.get(), &late, 1), 1);
    EXPECT_TRUE(client.Rights().has_value());
    EXPECT_EQ(sink.WaitFor(201, std::chrono::milliseconds(300)).size(), 200u) << "a frame after the stop";
  }
  helperThread.join();  // ends with our end of the socket
}

// The helper is found beside the program's real path, where the installation
// or the build puts it; started, it answers, and it ends with our end of the
// socket. A program that is no helper is not taken for one.
TEST(NetHelperProcessTest, FoundBesideTheProgramStartedAndEndedWithOurEnd) {
  EXPECT_EQ(HelperCandidates("/usr/bin/brickfix"),
            (std::vector<std::string>{"/usr/libexec/brickfix/brickfix-nethelper",
                                      "/usr/bin/brickfix-nethelper"}));
  std::string built = std::filesystem::path(BRICKFIX_BINARY).parent_path() / "brickfix-nethelper";
  std::string error;
  std::unique_ptr<HelperProcess> process = HelperProcess::Start(built, -1, error);
  ASSERT_NE(process, nullptr) << error;
  Client client(*process);
  EXPECT_TRUE(client.Rights().has_value());
  pid_t pid = process->pid();
  EXPECT_EQ(kill(pid, 0), 0);
  process.reset();  // closes our end and waits for the helper
  EXPECT_EQ(kill(pid, 0), -1);

  EXPECT_EQ(HelperProcess::Start("/bin/true", -1, error), nullptr);
  EXPECT_NE(error.find("does not answer"), std::string::npos) << error;
  EXPECT_EQ(HelperProcess::Start("/no/such/helper", -1, error), nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}
