// The network helper's requests: what it carries out, on which adapter, and
// that everything else is refused before anything is done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "netcfg/linux/HelperClient.h"
#include "netcfg/linux/HelperService.h"
#include "netcfg/NetcfgFakes.h"
#include "netcfg/RefusedRequests.h"

using namespace helper;

namespace {

class RecordingDhcp : public DhcpStarter {
 public:
  bool Start(const std::string& ifname, const std::string& preferred) override {
    starts.push_back(ifname + " " + preferred);
    return true;
  }
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

class NetHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel.links = {{1, "lo", ARPHRD_LOOPBACK}, {2, "eth0", ARPHRD_ETHER}, {3, "wlan0", ARPHRD_ETHER, true},
                    {4, "ppp0", ARPHRD_PPP}, {5, "-x", ARPHRD_ETHER}};
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
  Service service{kernel, dhcp};
};

}  // namespace

TEST_F(NetHelperTest, EveryRequestOutsideTheListIsRefusedAndNothingIsDone) {
  Request setStatic = Ask(Kind::kSetStatic, 2);
  ASSERT_EQ(EncodeRequest(setStatic).size(), 13u);
  Request restore = Ask(Kind::kRestoreAdapter, 2);
  restore.state = Office();
  ASSERT_FALSE(EncodeRequest(restore).empty());
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
}

// What a restore request may put on the adapter (the decoder applies the
// same test to every request it accepts).
TEST(NetHelperStateTest, OnlyTheAdaptersOwnAddressesAndRoutesThroughItsSubnets) {
  EXPECT_TRUE(IsAcceptableState(Office()));
  EXPECT_TRUE(IsAcceptableState(AdapterState{})) << "no address, link down";
  AdapterState onLink = Office();
  onLink.routes.push_back(Route("10.200.0.0", 16, ""));             // on the link
  onLink.routes.push_back(Route("172.16.0.0", 12, "10.200.0.1"));   // through that network
  onLink.routes.push_back(Route("192.0.2.7", 32, "10.77.0.1"));     // a host route through the LAN
  onLink.routes.back().scope = 0;
  onLink.routes.push_back(Route("224.0.0.0", 4, ""));                // multicast on the link
  onLink.routes.back().scope = 253;
  EXPECT_TRUE(IsAcceptableState(onLink));

  struct Case {
    const char* what;
    std::function<void(AdapterState&)> change;
  };
  const Case cases[] = {
      {"0/8", [](AdapterState& s) { s.addresses[0].address = "0.1.2.3"; }},
      {"reserved", [](AdapterState& s) { s.addresses[0].address = "240.0.0.1"; }},
      {"broadcast of its subnet", [](AdapterState& s) { s.addresses[0].address = "10.77.0.255"; }},
      {"prefix 33", [](AdapterState& s) { s.addresses[0].prefixLength = 33; }},
      {"not an address", [](AdapterState& s) { s.addresses[0].address = "eth0"; }},
      {"a label with a space", [](AdapterState& s) { s.addresses[1].label = "eth0 x"; }},
      {"a label too long", [](AdapterState& s) { s.addresses[1].label = "eth0:0123456789a"; }},
      {"a gateway elsewhere", [](AdapterState& s) { s.routes[0].gateway = "192.168.7.1"; }},
      {"a gateway only on-link by default", [](AdapterState& s) {
         s.routes.push_back(Route("0.0.0.0", 0, ""));
         s.routes[0].gateway = "8.8.8.8";
       }},
      {"a gateway of scope link", [](AdapterState& s) { s.routes[0].scope = 253; }},
      {"scope host", [](AdapterState& s) { s.routes[1].scope = 254; }},
      {"to loopback", [](AdapterState& s) { s.routes[1].destination = "127.0.0.0"; s.routes[1].prefixLength = 8; }},
      {"not a network", [](AdapterState& s) { s.routes[1].destination = "10.99.0.1"; }},
      {"0/8 but the default", [](AdapterState& s) { s.routes[1].destination = "0.0.0.0"; s.routes[1].prefixLength = 8; }},
      {"a source not its own", [](AdapterState& s) { s.routes[1].source = "10.77.0.3"; }},
      {"another table", [](AdapterState& s) { s.routes[1].table = 100; }},
      {"a blackhole", [](AdapterState& s) { s.routes[1].type = 6; }},
      {"65 routes", [](AdapterState& s) { s.routes.resize(65, s.routes[0]); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AdapterState state = Office();
    c.change(state);
    EXPECT_FALSE(IsAcceptableState(state));
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
  EXPECT_EQ(client.FlushNeighbours(), KernelResult::kDone);
  EXPECT_TRUE(client.StartDhcpClient("eth0", "dhcpcd"));
  // What the helper does not know is not asked for at all.
  EXPECT_EQ(client.SetStatic("eth0", {"10.0.0.1", 24, "10.0.0.254", 1}), KernelResult::kFailed);
  EXPECT_EQ(client.SetStatic("wlan0", SetupValues(helper::Setup::kLan)), KernelResult::kFailed);
  EXPECT_FALSE(client.OpenTftpListener("lo").valid());
  // A restore keeps the routes a request cannot name (another table).
  AdapterRoute policy = Route("10.100.0.0", 16, "10.77.0.1");
  policy.table = 1000;
  kernel.adapter.routes = {policy, Route("0.0.0.0", 0, "192.168.1.1")};
  EXPECT_EQ(client.RestoreAdapter("eth0", Office()), KernelResult::kDone);
  AdapterState expected = Office();
  expected.routes.push_back(policy);
  EXPECT_EQ(kernel.restored, expected);

  EXPECT_EQ(kernel.calls, (std::vector<std::string>{"apply eth0 192.168.1.88/24 via 192.168.1.1 metric 1",
                                                    "remove eth0 192.168.199.88/24 via 192.168.199.1 metric 1",
                                                    "flush", "restore eth0"}));
  EXPECT_EQ(dhcp.starts, std::vector<std::string>{"eth0 dhcpcd"});
  kernel.result = KernelResult::kRefused;
  EXPECT_EQ(client.SetStatic("eth0", SetupValues(helper::Setup::kLan)), KernelResult::kRefused);
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
  Bytes request = EncodeRequest(Ask(Kind::kFlushNeighbours));
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

// The helper is found beside the program's real path, where the installation
// or the build puts it; started, it answers, and it ends with our end of the
// socket. A program that is no helper is not taken for one.
TEST(NetHelperProcessTest, FoundBesideTheProgramStartedAndEndedWithOurEnd) {
  EXPECT_EQ(HelperCandidates("/usr/bin/brickfix"),
            (std::vector<std::string>{"/usr/libexec/brickfix/brickfix-nethelper",
                                      "/usr/bin/brickfix-nethelper"}));
  std::string built = std::filesystem::path(BRICKFIX_BINARY).parent_path() / "brickfix-nethelper";
  std::string error;
  std::unique_ptr<HelperProcess> process = HelperProcess::Start(built, error);
  ASSERT_NE(process, nullptr) << error;
  Client client(*process);
  EXPECT_TRUE(client.Rights().has_value());
  pid_t pid = process->pid();
  EXPECT_EQ(kill(pid, 0), 0);
  process.reset();  // closes our end and waits for the helper
  EXPECT_EQ(kill(pid, 0), -1);

  EXPECT_EQ(HelperProcess::Start("/bin/true", error), nullptr);
  EXPECT_NE(error.find("does not answer"), std::string::npos) << error;
  EXPECT_EQ(HelperProcess::Start("/no/such/helper", error), nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}
