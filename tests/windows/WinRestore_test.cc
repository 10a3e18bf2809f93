// Nothing lost on Windows: the journal written before the first change, the
// hand-back that removes it only when DHCP gives back all the adapter had,
// and --restore-network, with a fake elevated part that records what it is
// asked.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "netcfg/windows/ElevatedPart.h"
#include "netcfg/windows/WinJournal.h"
#include "netcfg/windows/WinNetOps.h"
#include "WindowsTestSupport.h"
#include "platform/windows/Utf16.h"

using namespace helper;

namespace {

const std::string kGuid = "{00000002-0000-0000-0000-4E6574446576}";

// Records the requests that change something.
class RecordingPart : public IElevatedPart {
 public:
  bool Ask(const Request& request, Reply& reply, std::string& why) override {
    if (declined) {
      why = kElevationDeclined;
      return false;
    }
    if (request.kind != Kind::kStatus) asked.push_back(request);  // what changes something
    reply.kind = request.kind;
    reply.status = refuse ? Status::kInvalid : Status::kDone;
    reply.text = refuse ? "refused" : "";
    return true;
  }
  std::vector<Request> asked;
  bool declined = false;
  bool refuse = false;
};

ULONG WINAPI OneAdapter(PIP_ADAPTER_INFO out, PULONG size) {
  if (*size < sizeof(IP_ADAPTER_INFO)) {
    *size = sizeof(IP_ADAPTER_INFO);
    return ERROR_BUFFER_OVERFLOW;
  }
  *out = IP_ADAPTER_INFO{};
  std::strcpy(out->AdapterName, kGuid.c_str());
  out->Index = 2;
  out->Type = MIB_IF_TYPE_ETHERNET;
  return ERROR_SUCCESS;
}

// The adapter as an office set it up by hand, or as DHCP serves it.
AdapterSnapshot Snapshot(bool dhcp) {
  AdapterSnapshot s;
  s.ifname = kGuid;
  s.windows.present = true;
  s.windows.dhcp = dhcp;
  s.windows.dnsFromDhcp = dhcp;
  s.kernel.addresses.resize(1);
  s.kernel.addresses[0].address = "10.77.0.2";
  s.kernel.addresses[0].prefixLength = 24;
  s.kernel.addresses[0].permanent = !dhcp;
  if (!dhcp) {
    AdapterRoute gateway;
    gateway.gateway = "10.77.0.1";
    s.kernel.routes = {gateway};
    s.windows.dnsServers = {"10.77.0.53"};
  }
  return s;
}

class WinJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_dir = std::filesystem::path(temp) / ("bfx-journal-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(m_dir);
    std::wstring name = L"\u4EE5\u592A\u7F51";
    names.Set(kGuid, &name);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  std::string Dir() const { return Narrow((m_dir / "Brickfix").wstring()); }
  std::unique_ptr<WinNetOps> Ops(const AdapterSnapshot& now) {
    WinNetOptions options;
    options.elevated = &part;
    options.journalDir = Dir();
    options.listAdapters = OneAdapter;
    options.readSnapshot = [now](const std::string& guid, AdapterSnapshot& out) {
      out = now;
      return guid == kGuid;
    };
    auto ops = std::make_unique<WinNetOps>(options);
    std::vector<AdapterRecord> adapters;
    std::string name;
    EXPECT_TRUE(ops->GetAdapters(adapters) && ops->GetConnectionName(adapters.at(0), 80, name));
    return ops;
  }
  static NetCommand Command(NetCommand::Kind kind, const std::string& address = "", const std::string& gateway = "") {
    NetCommand command;
    command.kind = kind;
    command.adapter = "\xE4\xBB\xA5\xE5\xA4\xAA\xE7\xBD\x91";
    command.address = address;
    command.mask = "255.255.255.0";
    command.gateway = gateway;
    command.metric = 1;
    return command;
  }

  std::filesystem::path m_dir;
  ScopedConnectionNames names;  // the adapter's, where Windows keeps it
  RecordingPart part;
};

}  // namespace

TEST_F(WinJournalTest, TheJournalComesBeforeTheChangeAndGoesWhenDhcpGivesAllBack) {
  for (bool dhcp : {true, false}) {
    SCOPED_TRACE(dhcp ? "DHCP" : "static");
    part.asked.clear();
    WinJournal journal(Dir());
    auto ops = Ops(Snapshot(dhcp));
    EXPECT_TRUE(ops->Execute(Command(NetCommand::kStatic, "192.168.1.88", "192.168.1.1")));
    ASSERT_EQ(part.asked.size(), 1u);
    EXPECT_EQ(part.asked[0].kind, Kind::kSetStatic);
    EXPECT_EQ(part.asked[0].ifindex, 2) << "the adapter goes by its index";
    EXPECT_EQ(part.asked[0].setup, Setup::kRecovery);
    AdapterSnapshot kept;
    std::string error;
    ASSERT_TRUE(journal.Load(kGuid, kept, error)) << error;
    EXPECT_EQ(kept, Snapshot(dhcp));
    EXPECT_EQ(ops->InterfaceIndexOf("\xE4\xBB\xA5\xE5\xA4\xAA\xE7\xBD\x91"), 2u);

    EXPECT_TRUE(ops->Execute(Command(NetCommand::kStatic, "192.168.199.88", "192.168.199.1")));
    EXPECT_TRUE(ops->Execute(Command(NetCommand::kArpFlush)));
    EXPECT_TRUE(ops->Execute(Command(NetCommand::kDhcp)));
    ASSERT_EQ(part.asked.size(), 4u);
    EXPECT_EQ(part.asked[2].kind, Kind::kFlushNeighbours);
    EXPECT_EQ(part.asked[3].kind, Kind::kStartDhcpClient);
    // DHCP cannot bring back an address set by hand: that journal stays.
    EXPECT_EQ(journal.Adapters().empty(), dhcp);
    std::string last = ops->DescribeChangedAdapters();
    EXPECT_EQ(last.empty(), dhcp) << last;
    if (!dhcp) {
      EXPECT_NE(last.find("brickfix --restore-network"), std::string::npos) << last;
    }
    journal.Remove(kGuid);
  }
}

TEST_F(WinJournalTest, NothingIsChangedForAnUnknownAdapterOrWithoutTheElevatedPart) {
  auto ops = Ops(Snapshot(true));
  NetCommand other = Command(NetCommand::kStatic, "192.168.1.88", "192.168.1.1");
  other.adapter = "Ethernet 9";
  EXPECT_FALSE(ops->Execute(other));
  NetCommand free = Command(NetCommand::kStatic, "10.0.0.1", "10.0.0.254");
  EXPECT_FALSE(ops->Execute(free)) << "only the two set-ups";
  EXPECT_TRUE(part.asked.empty());
  part.declined = true;
  EXPECT_FALSE(ops->Execute(Command(NetCommand::kStatic, "192.168.1.88", "192.168.1.1")));
  EXPECT_FALSE(ops->Execute(Command(NetCommand::kArpFlush)));
  EXPECT_TRUE(WinJournal(Dir()).Adapters().empty()) << "no journal for a change that never came";
}

class FakeRestoreSystem : public IWinRestoreSystem {
 public:
  bool FindAdapter(const std::string& guid, std::int32_t& ifindex, std::string& name) override {
    if (!present || guid != kGuid) return false;
    ifindex = 2;
    name = "Ethernet";
    return true;
  }
  bool present = true;
};

TEST_F(WinJournalTest, RestoreGivesBackWhatTheJournalHoldsAndIsSafeTwice) {
  AdapterSnapshot outside = Snapshot(false);
  outside.kernel.routes[0].gateway = "192.168.7.1";  // not on the adapter's subnet
  struct Case {
    const char* what;
    AdapterSnapshot snapshot;
    bool present, refuse;
    std::vector<Kind> asked;
    int status;
    std::string said;
  };
  const Case cases[] = {
      {"static", Snapshot(false), true, false, {Kind::kRestoreAdapter, Kind::kSetDnsServers}, 0,
       "网卡 Ethernet 已还原原有设置（10.77.0.2/24）。"},
      {"DHCP", Snapshot(true), true, false, {Kind::kStartDhcpClient, Kind::kSetDnsServers}, 0, "已还原原有设置"},
      {"the adapter gone", Snapshot(false), false, false, {}, 1, "：\n  the adapter is not there"},
      {"refused", Snapshot(false), true, true, {Kind::kRestoreAdapter}, 1, "：\n  refused"},
      {"a gateway outside its bounds", outside, true, false, {Kind::kSetDnsServers}, 1,
       "netsh interface ip set address \"Ethernet\" static 10.77.0.2 255.255.255.0 192.168.7.1 0"},
  };
  WinJournal journal(Dir());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error, report;
    ASSERT_TRUE(journal.Save(c.snapshot, error)) << error;
    part.asked.clear();
    part.refuse = c.refuse;
    FakeRestoreSystem system;
    system.present = c.present;
    EXPECT_EQ(RestoreFromWinJournal(journal, system, part, report), c.status);
    std::vector<Kind> asked;
    for (const Request& request : part.asked) asked.push_back(request.kind);
    EXPECT_EQ(asked, c.asked);
    EXPECT_NE(report.find(c.said), std::string::npos) << report;
    EXPECT_EQ(journal.Adapters().empty(), c.status == 0) << "the journal stays while the adapter is not back";
    if (c.status == 0) {
      report.clear();
      EXPECT_EQ(RestoreFromWinJournal(journal, system, part, report), 0);
      EXPECT_NE(report.find("没有需要还原的网卡设置。"), std::string::npos) << report;
    }
    journal.Remove(kGuid);
  }
  Request dns = part.asked.back();
  EXPECT_FALSE(dns.dnsFromDhcp);
  EXPECT_EQ(dns.dnsServers, std::vector<std::string>{"10.77.0.53"});
}
