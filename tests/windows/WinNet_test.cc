// The Windows network pieces under Wine: the adapter list, connection names
// in the registry, the commands, the probe on loopback and the UDP socket.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "WindowsTestSupport.h"
#include "platform/windows/Utf16.h"
#include "netcfg/windows/ElevatedService.h"
#include "netcfg/windows/PortOwner.h"
#include "netcfg/windows/WinNetOps.h"
#include "observe/Diagnosis.h"
#include "tftp/UdpSocket.h"

namespace {

// ---- the adapter list ----

struct FakeList {
  std::vector<IP_ADAPTER_INFO> records;
  std::vector<ULONG> offered;  // the size offered in each call
};
FakeList g_list;

ULONG WINAPI FakeGetAdaptersInfo(PIP_ADAPTER_INFO out, PULONG size) {
  g_list.offered.push_back(*size);
  if (g_list.records.empty()) return ERROR_NO_DATA;
  ULONG need = static_cast<ULONG>(g_list.records.size() * sizeof(IP_ADAPTER_INFO));
  if (*size < need) {
    *size = need;
    return ERROR_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < g_list.records.size(); ++i) {
    out[i] = g_list.records[i];
    out[i].Next = i + 1 < g_list.records.size() ? &out[i + 1] : nullptr;
  }
  return ERROR_SUCCESS;
}

IP_ADAPTER_INFO Record(const char* name, UINT type, const char* ip) {
  IP_ADAPTER_INFO record{};
  std::strcpy(record.AdapterName, name);
  record.Type = type;
  std::strcpy(record.IpAddressList.IpAddress.String, ip);
  return record;
}

TEST(WinAdapterListTest, AskedWithRoomForOneThenWithTheSizeTheSystemWants) {
  g_list = {};
  g_list.records = {Record("{A}", MIB_IF_TYPE_ETHERNET, "10.0.0.2"), Record("{W}", 71, "10.0.1.2"),
                    Record("{B}", MIB_IF_TYPE_ETHERNET, "")};
  std::vector<AdapterRecord> out;
  ASSERT_TRUE(ListAdapterRecords(FakeGetAdaptersInfo, out));
  EXPECT_EQ(g_list.offered, (std::vector<ULONG>{sizeof(IP_ADAPTER_INFO), 3 * sizeof(IP_ADAPTER_INFO)}));
  ASSERT_EQ(out.size(), 3u);  // the wizard skips the other types itself
  EXPECT_EQ(out[0].id, "{A}");
  EXPECT_EQ(out[0].ipAddress, "10.0.0.2");
  EXPECT_EQ(out[1].type, 71);
  EXPECT_EQ(out[2].ipAddress, "0.0.0.0");

  // One adapter fits at once; the list is still asked for twice.
  g_list = {};
  g_list.records = {Record("{A}", MIB_IF_TYPE_ETHERNET, "0.0.0.0")};
  ASSERT_TRUE(ListAdapterRecords(FakeGetAdaptersInfo, out));
  EXPECT_EQ(g_list.offered.size(), 2u);
  EXPECT_EQ(out.size(), 1u);

  // No adapter at all is a failed listing.
  g_list = {};
  EXPECT_FALSE(ListAdapterRecords(FakeGetAdaptersInfo, out));
}

// ---- connection names ----

class ConnectionNameTest : public ::testing::Test {
 protected:
  void SetName(const std::string& id, const std::wstring* name, DWORD type = REG_SZ) { names.Set(id, name, type); }
  ScopedConnectionNames names;
};

TEST_F(ConnectionNameTest, ReadAsUtf16KeptAsUtf8LimitCountedInCodePage936) {
  EXPECT_EQ(Narrow(ConnectionKeyPath("{00000002-0000-0000-0000-4E6574446576}")),
            "SYSTEM\\ControlSet001\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\"
            "{00000002-0000-0000-0000-4E6574446576}\\Connection");
  std::wstring chinese39(39, L'\u7F51');  // 网: two bytes each in code page 936
  struct Case {
    const char* id;
    std::wstring name;
    bool read;
  } cases[] = {
      {"{T1}", L"\u4EE5\u592A\u7F51", true},  // 以太网
      {"{T2}", L"Local Area Connection 2", true},
      {"{T3}", chinese39 + L"1", true},  // 79 bytes in code page 936, 118 in UTF-8
      {"{T4}", chinese39 + L"12", false},  // 80 bytes
      {"{T5}", std::wstring(79, L'n'), true},
      {"{T6}", std::wstring(80, L'n'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    SetName(c.id, &c.name);
    std::string name;
    EXPECT_EQ(ReadConnectionName(c.id, 80, name), c.read);
    if (c.read) {
      EXPECT_EQ(name, Narrow(c.name));
    }
  }
  EXPECT_EQ(Cp936Length("\xE4\xBB\xA5\xE5\xA4\xAA\xE7\xBD\x91"), 6u);  // 以太网

  std::string name;
  EXPECT_FALSE(ReadConnectionName("{NOT-THERE}", 80, name));
  SetName("{NO-VALUE}", nullptr);
  EXPECT_FALSE(ReadConnectionName("{NO-VALUE}", 80, name));
  std::wstring number = L"1234";
  SetName("{NOT-TEXT}", &number, REG_BINARY);
  EXPECT_FALSE(ReadConnectionName("{NOT-TEXT}", 80, name));
  EXPECT_FALSE(ReadConnectionName("..\\{T1}", 80, name));
}

// ---- commands ----

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_dir = std::filesystem::path(temp) / ("bfx-commands-" + std::to_string(GetCurrentProcessId()));
    m_programs = m_dir / "system";
    m_records = m_dir / "records";
    std::filesystem::create_directories(m_programs);
    std::filesystem::create_directories(m_records);
    for (const char* name : {"netsh.exe", "arp.exe"}) {
      std::filesystem::copy_file(Neighbour(L"command_standin.exe"), m_programs / name);
    }
    SetEnvironmentVariableW(L"BRICKFIX_STANDIN_DIR", m_records.wstring().c_str());
    SetEnvironmentVariableW(L"BRICKFIX_STANDIN_RECORD_ONLY", L"1");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"BRICKFIX_STANDIN_DIR", nullptr);
    SetEnvironmentVariableW(L"BRICKFIX_STANDIN_RECORD_ONLY", nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  // The command lines the stand-ins were started with, in order.
  std::vector<std::string> Recorded() {
    std::vector<std::string> out;
    for (int n = 1; std::filesystem::exists(m_records / (std::to_string(n) + ".cmd")); ++n) {
      std::ifstream file(m_records / (std::to_string(n) + ".cmd"), std::ios::binary);
      std::stringstream text;
      text << file.rdbuf();
      out.push_back(text.str());
    }
    return out;
  }
  std::filesystem::path m_dir, m_programs, m_records;
};

TEST_F(CommandTest, TheExactTextRunsFromTheSystemFolderAndIsWaitedFor) {
  const std::string name = "\xE4\xBB\xA5\xE5\xA4\xAA\xE7\xBD\x91 2";  // 以太网 2
  const std::string lines[] = {
      "netsh interface ip set address \"" + name + "\" static 192.168.1.88 255.255.255.0 192.168.1.1 1",
      "netsh interface ip set address \"" + name + "\" dhcp", "arp -d"};
  for (const std::string& line : lines) EXPECT_TRUE(RunHidden(line, m_programs.wstring()));
  EXPECT_EQ(Recorded(), (std::vector<std::string>{lines[0], lines[1], lines[2]}));
}

TEST_F(CommandTest, AProgramThatCannotBeStartedIsReportedNotLookedForElsewhere) {
  // A netsh.exe in the working directory is never taken for the system's.
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  SetCurrentDirectoryW(m_programs.wstring().c_str());
  helper::SystemNet elsewhere((m_dir / "empty").wstring());
  EXPECT_FALSE(elsewhere.Run("arp -d"));
  SetCurrentDirectoryW(previous);
  EXPECT_FALSE(RunHidden("..\\netsh dhcp", m_programs.wstring()));
  EXPECT_TRUE(Recorded().empty());
  // Without a folder of its own the system folder is used.
  EXPECT_FALSE(SystemDirectory().empty());
}

// ---- the probe ----

TEST(WinPingTest, LoopbackAnswersAndNonAddressesFailWithoutSending) {
  EXPECT_TRUE(WinPingOnce("127.0.0.1"));
  EXPECT_FALSE(WinPingOnce("192.168.199"));
  EXPECT_FALSE(WinPingOnce("router"));
  EXPECT_FALSE(WinPingOnce(nullptr));
}

// ---- the UDP socket on Winsock ----

TEST(WinUdpSocketTest, ExclusivePortsLongDatagramsExpiryAndTheWaitBreaker) {
  tftp::UdpSocket a = tftp::UdpSocket::Open();
  ASSERT_TRUE(a.valid());
  ASSERT_TRUE(a.Bind(INADDR_LOOPBACK, 0));
  std::uint16_t port = a.LocalPort();
  ASSERT_NE(port, 0);

  // Another socket cannot have the port, even when it asks to share it.
  ScopedSocket other(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  BOOL on = TRUE;
  setsockopt(other.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in same{};
  same.sin_family = AF_INET;
  same.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  same.sin_port = htons(port);
  EXPECT_NE(::bind(other.get(), reinterpret_cast<const sockaddr*>(&same), sizeof same), 0);

  std::uint8_t buffer[514];
  sockaddr_in from{};
  std::size_t length = 0;
  EXPECT_EQ(a.ReceiveNow(buffer, from, length), tftp::UdpSocket::Receive::kExpired);
  EXPECT_EQ(a.ReceiveWithin(buffer, from, length, std::chrono::milliseconds(20)),
            tftp::UdpSocket::Receive::kExpired);

  // A datagram longer than the buffer is taken, and said to be longer.
  tftp::UdpSocket b = tftp::UdpSocket::Open();
  ASSERT_TRUE(b.Bind(INADDR_LOOPBACK, 0));
  std::vector<std::uint8_t> big(600, 7);
  ASSERT_EQ(b.SendTo(big, same), 600);
  ASSERT_EQ(a.ReceiveWithin(buffer, from, length, std::chrono::seconds(2)),
            tftp::UdpSocket::Receive::kDatagram);
  EXPECT_GT(length, sizeof buffer);
  EXPECT_EQ(ntohs(from.sin_port), b.LocalPort());

  // A peer's closed port (an ICMP error for our datagram) fails no receive.
  sockaddr_in closed = same;
  closed.sin_port = htons(b.LocalPort());
  b = tftp::UdpSocket();
  ASSERT_EQ(a.SendTo(big, closed), 600);
  EXPECT_EQ(a.ReceiveWithin(buffer, from, length, std::chrono::milliseconds(100)),
            tftp::UdpSocket::Receive::kExpired);

  // The listener's wait ends for a datagram, and for good once broken.
  tftp::WaitBreaker breaker;
  tftp::UdpSocket c = tftp::UdpSocket::Open();
  ASSERT_TRUE(c.Bind(INADDR_LOOPBACK, 0));
  ASSERT_EQ(c.SendTo(big, same), 600);
  EXPECT_EQ(tftp::WaitReadable(a, breaker), tftp::Ready::kReadable);
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    breaker.Break();
  });
  a.ReceiveNow(buffer, from, length);
  EXPECT_EQ(tftp::WaitReadable(a, breaker), tftp::Ready::kBroken);
  later.join();
  EXPECT_EQ(tftp::WaitReadable(a, breaker), tftp::Ready::kBroken);
}

// Only what arrives on the chosen adapter: a listener that takes loopback's
// datagrams and one that takes another adapter's, each with a transfer
// socket that copies its listener's; also after waits that ended empty.
TEST(WinUdpSocketTest, DatagramsOfAnotherAdapterAreReadAndDropped) {
  std::vector<std::uint64_t> list(4096);
  ULONG size = static_cast<ULONG>(list.size() * sizeof list[0]);
  auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(list.data());
  ASSERT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, adapters, &size), NO_ERROR);
  DWORD loopback = 0;
  for (auto* a = adapters; a; a = a->Next) loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK ? a->IfIndex : loopback;
  tftp::UdpSocket sender = tftp::UdpSocket::Open();
  ASSERT_TRUE(loopback != 0 && sender.Bind(INADDR_LOOPBACK, 0));
  for (DWORD index : {loopback, loopback + 1000}) {
    tftp::UdpSocket listener = tftp::UdpSocket::Open(), transfer = tftp::UdpSocket::Open();
    ASSERT_TRUE(listener.AcceptOnlyFrom(index) && listener.Bind(INADDR_LOOPBACK, 0));
    ASSERT_TRUE(transfer.BindToDeviceOf(listener) && transfer.Bind(INADDR_LOOPBACK, 0));
    for (tftp::UdpSocket* sock : {&listener, &transfer}) {
      sockaddr_in to{AF_INET, htons(sock->LocalPort()), {}, {}}, from{};
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      std::uint8_t buffer[514];
      std::size_t length = 0;
      for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(sender.SendTo(std::vector<std::uint8_t>(600, 9), to), 600);
        EXPECT_EQ(sock->ReceiveWithin(buffer, from, length, std::chrono::seconds(2)),
                  index == loopback ? tftp::UdpSocket::Receive::kDatagram : tftp::UdpSocket::Receive::kInterrupted);
        EXPECT_EQ(sock->ReceiveWithin(buffer, from, length, std::chrono::milliseconds(30)),
                  tftp::UdpSocket::Receive::kExpired);
      }
      if (index == loopback) {
        EXPECT_GT(length, sizeof buffer) << "a longer datagram is still said to be longer";
      }
    }
  }
}

// The holder of a busy port, as the diagnosis tells the operator of it.
// (Wine's server holds every socket: Wine knows the owner only of one its
// process has used.)
TEST(WinPortOwnerTest, TheHolderIsNamedByItsProgramAndProcess) {
  auto line = [](const PortOwner& owner) {
    observe::Diagnosis d;
    d.cause = observe::Cause::kPortTaken;
    d.name = owner.program;
    d.pid = static_cast<int>(owner.pid);
    return observe::LogLineOf(d, observe::FirewallKind::kWindows);
  };
  tftp::UdpSocket held = tftp::UdpSocket::Open();
  ASSERT_TRUE(held.Bind(0));
  std::uint8_t buffer[16];
  sockaddr_in from{};
  std::size_t length = 0;
  held.ReceiveNow(buffer, from, length);  // Wine: the socket in this process's hands
  PortOwner owner = UdpPortOwner(held.LocalPort());
  EXPECT_EQ(owner.pid, GetCurrentProcessId());
  EXPECT_EQ(owner.program, "brickfix_tests.exe");
  EXPECT_EQ(line(owner), "诊断（port-taken）：UDP 69端口被brickfix_tests.exe（进程号" + std::to_string(owner.pid) +
                            "）占用。请关闭它后重试。");
  held = tftp::UdpSocket();
  EXPECT_EQ(line(UdpPortOwner(held.LocalPort())), "诊断（port-taken）：UDP 69端口被其它程序占用。请关闭它后重试。");
  EXPECT_EQ(line({42, ""}), "诊断（port-taken）：UDP 69端口被其它程序（进程号42）占用。请关闭它后重试。");
}

}  // namespace
