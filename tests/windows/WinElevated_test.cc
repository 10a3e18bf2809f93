// The elevated part on Windows: what it refuses before anything runs, the
// exact commands it runs for what it takes, and the real part behind its
// pipe (started through Wine's "runas", which asks nobody).
#include <gtest/gtest.h>

#include "WindowsTestSupport.h"
#include "netcfg/RefusedRequests.h"
#include "netcfg/windows/ElevatedPart.h"
#include "netcfg/windows/ElevatedService.h"
#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/Utf16.h"

using namespace helper;

namespace {

const std::string kEthernet = "\xE4\xBB\xA5\xE5\xA4\xAA\xE7\xBD\x91";  // 以太网

// Adapters and names as the registry would give them; commands are recorded.
class FakeSystem : public IWinNetSystem {
 public:
  bool Adapters(std::vector<WinAdapter>& out) override {
    out = {{2, "{E}", MIB_IF_TYPE_ETHERNET}, {3, "{W}", 71}, {4, "{Q}", MIB_IF_TYPE_ETHERNET},
           {5, "{B}", MIB_IF_TYPE_ETHERNET}, {6, "{N}", MIB_IF_TYPE_ETHERNET}};
    return true;
  }
  bool ConnectionName(const std::string& id, std::string& name) override {
    if (id == "{N}") return false;  // no name to be read
    name = id == "{E}" ? kEthernet : id == "{Q}" ? "a\"b" : id == "{B}" ? "end\\" : "Wi-Fi";
    return true;
  }
  bool Run(const std::string& commandLine) override {
    runs.push_back(commandLine);
    return startable;
  }
  bool Elevated() override { return true; }
  std::vector<std::string> runs;
  bool startable = true;
};

// Two static addresses and two default gateways.
AdapterState Office() {
  AdapterState state;
  state.addresses.resize(2);
  state.addresses[0].address = "10.77.0.2";
  state.addresses[0].prefixLength = 24;
  state.addresses[0].broadcast = "10.77.0.255";
  state.addresses[1].address = "10.78.0.3";
  state.addresses[1].prefixLength = 16;
  state.routes.resize(2);
  state.routes[0].gateway = "10.77.0.1";
  state.routes[1].gateway = "10.78.0.1";
  state.routes[1].metric = 120;
  return state;
}

Request Ask(Kind kind, std::int32_t ifindex = 2) {
  Request request;
  request.kind = kind;
  request.ifindex = ifindex;
  return request;
}

Request Dns(bool fromDhcp, std::vector<std::string> servers) {
  Request request = Ask(Kind::kSetDnsServers);
  request.dnsFromDhcp = fromDhcp;
  request.dnsServers = std::move(servers);
  return request;
}

class ElevatedServiceTest : public ::testing::Test {
 protected:
  Reply Handle(const Bytes& message) {
    std::optional<Reply> reply = DecodeReply(service.Handle(message));
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(Reply{});
  }
  FakeSystem system;
  WinService service{system};
};

}  // namespace

TEST_F(ElevatedServiceTest, EveryRequestOutsideTheListIsRefusedAndNothingRuns) {
  Request restore = Ask(Kind::kRestoreAdapter);
  restore.state = Office();
  ASSERT_FALSE(EncodeRequest(restore).empty());
  std::vector<std::pair<std::string, Bytes>> cases = MalformedRequests(2, restore);
  Request otherRoute = restore;
  otherRoute.state.routes[1].destination = "10.99.0.0";
  otherRoute.state.routes[1].prefixLength = 16;
  Request noAddress = Ask(Kind::kRestoreAdapter);
  cases.insert(cases.end(), {
      {"not Ethernet", EncodeRequest(Ask(Kind::kSetStatic, 3))},
      {"no such adapter", EncodeRequest(Ask(Kind::kStartDhcpClient, 99))},
      {"a name with a quote", EncodeRequest(Ask(Kind::kSetStatic, 4))},
      {"a name that ends in a backslash", EncodeRequest(Ask(Kind::kStartDhcpClient, 5))},
      {"no name to be read", EncodeRequest(Ask(Kind::kSetStatic, 6))},
      {"the adapter list of Linux", EncodeRequest(Ask(Kind::kListAdapters))},
      {"taking an address away, as Linux does", EncodeRequest(Ask(Kind::kRemoveStatic))},
      {"a socket to pass back", EncodeRequest(Ask(Kind::kOpenTftpListener))},
      {"a probe, which the program makes itself", EncodeRequest(Ask(Kind::kProbeRouter))},
      {"a capture, which Windows has not", EncodeRequest(Ask(Kind::kStartCapture))},
      {"a route that is no default gateway", EncodeRequest(otherRoute)},
      {"a restore without an address", EncodeRequest(noAddress)},
      {"a gateway that would come before the others", [&] {
         Request r = restore;
         r.state.routes[1].metric = 20;
         return EncodeRequest(r);
       }()},
  });
  for (const auto& [what, message] : cases) {
    SCOPED_TRACE(what);
    Reply reply = Handle(message);
    EXPECT_EQ(reply.status, Status::kInvalid);
    EXPECT_FALSE(reply.text.empty());
  }
  EXPECT_EQ(system.runs, std::vector<std::string>{}) << "nothing ran";
}

TEST_F(ElevatedServiceTest, TheListedRequestsRunTheirCommandsOnTheNamedAdapter) {
  const std::string set = "netsh interface ip set address \"" + kEthernet + "\"";
  Request lan = Ask(Kind::kSetStatic);
  lan.setup = Setup::kLan;
  Request restore = Ask(Kind::kRestoreAdapter);
  restore.state = Office();
  const std::string dns = "netsh interface ip set dnsservers \"" + kEthernet + "\"";
  const std::pair<Request, std::vector<std::string>> cases[] = {
      {Ask(Kind::kSetStatic), {set + " static 192.168.1.88 255.255.255.0 192.168.1.1 1"}},
      {lan, {set + " static 192.168.199.88 255.255.255.0 192.168.199.1 1"}},
      {Ask(Kind::kStartDhcpClient), {set + " dhcp"}},
      {Ask(Kind::kFlushNeighbours), {"arp -d"}},
      {restore,
       {set + " static 10.77.0.2 255.255.255.0 10.77.0.1 0",
        "netsh interface ip add address \"" + kEthernet + "\" 10.78.0.3 255.255.0.0",
        "netsh interface ip add address \"" + kEthernet + "\" gateway=10.78.0.1 gwmetric=120"}},
      {Dns(true, {}), {dns + " dhcp"}},
      {Dns(false, {}), {dns + " static none"}},
      {Dns(false, {"10.77.0.53", "8.8.8.8"}),
       {dns + " static 10.77.0.53 primary validate=no",
        "netsh interface ip add dnsservers \"" + kEthernet + "\" 8.8.8.8 index=2 validate=no"}},
  };
  for (const auto& [request, commands] : cases) {
    SCOPED_TRACE(commands.front());
    system.runs.clear();
    Reply reply = Handle(EncodeRequest(request));
    EXPECT_EQ(reply.status, Status::kDone) << reply.text;
    EXPECT_EQ(system.runs, commands);
  }
  // A command that cannot be started fails the request; nothing after it runs.
  system.runs.clear();
  system.startable = false;
  Reply reply = Handle(EncodeRequest(restore));
  EXPECT_EQ(reply.status, Status::kFailed);
  EXPECT_EQ(reply.text, "netsh could not be started");
  EXPECT_EQ(system.runs.size(), 1u);
}

// The real elevated part, started as the program starts it, asked only what
// changes nothing here (this runs outside any network namespace of a test).
TEST(ElevatedPartTest, TheProgramStartedElevatedAnswersOverItsPipeAndRefusesWhatItMust) {
  ElevatedPart part(Neighbour(L"brickfix.exe"));
  Reply reply;
  std::string why;
  ASSERT_TRUE(part.Ask(Ask(Kind::kStatus), reply, why)) << why;
  EXPECT_EQ(reply.status, Status::kDone);
  EXPECT_TRUE(reply.rights.netAdmin) << "Wine runs everything as an administrator";
  ASSERT_TRUE(part.Ask(Ask(Kind::kSetStatic, 0x7ffffff0), reply, why)) << why;
  EXPECT_EQ(reply.status, Status::kInvalid);
  EXPECT_NE(reply.text.find("no wired Ethernet adapter"), std::string::npos) << reply.text;
  // What the program may not even ask is never sent.
  Request tooMany = Dns(false, std::vector<std::string>(9, "10.0.0.1"));
  EXPECT_FALSE(part.Ask(tooMany, reply, why));
  ASSERT_TRUE(part.Ask(Ask(Kind::kStatus), reply, why)) << "the part is still there: " << why;

  // An operator who declines the prompt (a test build plays one): no part,
  // and no second prompt either.
  SetEnvironmentVariableW(L"BRICKFIX_TEST_DECLINE_ELEVATION", L"1");
  ElevatedPart declined(Neighbour(L"brickfix.exe"));
  EXPECT_FALSE(declined.Ask(Ask(Kind::kStatus), reply, why));
  EXPECT_EQ(why, kElevationDeclined);
  SetEnvironmentVariableW(L"BRICKFIX_TEST_DECLINE_ELEVATION", nullptr);
  EXPECT_FALSE(declined.Ask(Ask(Kind::kStatus), reply, why));
  EXPECT_EQ(why, kElevationDeclined);
}

TEST(ElevatedPartTest, ItServesOnlyAPipeOfTheProgramsMaking) {
  for (const wchar_t* name : {L"\\\\.\\pipe\\other", L"\\\\.\\pipe\\brickfix-net-1-0123456789abcdeg",
                              L"\\\\.\\pipe\\brickfix-net--0123456789abcdef", L"C:\\brickfix-net-1-0123456789abcdef",
                              L"\\\\server\\pipe\\brickfix-net-1-0123456789abcdef"}) {
    EXPECT_EQ(ServeElevated(name), 2) << Narrow(name);
  }
  EXPECT_EQ(ServeElevated(L"\\\\.\\pipe\\brickfix-net-1-0123456789abcdef"), 1) << "no such pipe";
}
