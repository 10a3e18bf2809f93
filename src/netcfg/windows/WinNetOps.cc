#include "netcfg/windows/WinNetOps.h"

#include <icmpapi.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include "app/Log.h"
#include "netcfg/Ipv4.h"
#include "netcfg/RestoreReport.h"
#include "netcfg/windows/ElevatedPart.h"
#include "netcfg/windows/Netsh.h"
#include "platform/windows/Utf16.h"

namespace {

constexpr DWORD kReplyWaitMs = 300;
constexpr std::size_t kNameLimit = 80;  // bytes offered for a connection name, terminator included
constexpr const char* kRestoreCommand = "brickfix --restore-network";

// A block for the adapter records, aligned for them.
class AdapterBuffer {
 public:
  explicit AdapterBuffer(ULONG size)
      : m_words(new std::uint64_t[(size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t)]()),
        m_size(size) {}
  PIP_ADAPTER_INFO get() const { return reinterpret_cast<PIP_ADAPTER_INFO>(m_words.get()); }
  ULONG size() const { return m_size; }

 private:
  std::unique_ptr<std::uint64_t[]> m_words;
  ULONG m_size;
};

std::string FirstAddress(const IP_ADAPTER_INFO& adapter) {
  std::string text(adapter.IpAddressList.IpAddress.String,
                   strnlen(adapter.IpAddressList.IpAddress.String,
                           sizeof adapter.IpAddressList.IpAddress.String));
  return text.empty() ? "0.0.0.0" : text;
}

// The first word of a command line: the program's name.
std::string ProgramName(const std::string& commandLine) {
  return commandLine.substr(0, commandLine.find(' '));
}

}  // namespace

bool ListAdapterRecords(GetAdaptersInfoFn call, std::vector<AdapterRecord>& out,
                        std::vector<std::uint32_t>* indexes) {
  ULONG size = sizeof(IP_ADAPTER_INFO);
  auto buffer = std::make_unique<AdapterBuffer>(size);
  if (call(buffer->get(), &size) == ERROR_BUFFER_OVERFLOW) {
    buffer = std::make_unique<AdapterBuffer>(size);
  }
  size = buffer->size();
  if (call(buffer->get(), &size) != ERROR_SUCCESS) return false;
  out.clear();
  if (indexes) indexes->clear();
  for (const IP_ADAPTER_INFO* adapter = buffer->get(); adapter; adapter = adapter->Next) {
    if (indexes) indexes->push_back(adapter->Index);
    AdapterRecord record;
    record.id.assign(adapter->AdapterName, strnlen(adapter->AdapterName, sizeof adapter->AdapterName));
    record.type = static_cast<int>(adapter->Type);
    record.ipAddress = FirstAddress(*adapter);
    out.push_back(std::move(record));
  }
  return true;
}

std::wstring ConnectionKeyPath(std::string_view id) {
  return L"SYSTEM\\ControlSet001\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" +
         Widen(id) + L"\\Connection";
}

std::size_t Cp936Length(std::string_view name) {
  std::wstring wide = Widen(name);
  if (wide.empty()) return 0;
  int bytes = WideCharToMultiByte(936, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                  nullptr, nullptr);
  // Without the code page, count the most it could take: two bytes a unit.
  return bytes > 0 ? static_cast<std::size_t>(bytes) : wide.size() * 2;
}

bool ReadConnectionName(std::string_view id, std::size_t limit, std::string& name) {
  // An identifier that could leave its place in the key path is none.
  if (id.empty() || id.find('\\') != std::string_view::npos) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConnectionKeyPath(id).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD bytes = 0;
  LONG result = RegQueryValueExW(key, L"Name", nullptr, &type, nullptr, &bytes);
  std::wstring value;
  if (result == ERROR_SUCCESS && type == REG_SZ && bytes <= 4096) {
    value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    result = RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                              &bytes);
    value.resize(result == ERROR_SUCCESS ? bytes / sizeof(wchar_t) : 0);
  } else {
    result = ERROR_INVALID_DATA;
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  // The stored text may or may not carry its terminator.
  if (std::size_t end = value.find(L'\0'); end != std::wstring::npos) value.resize(end);
  std::string utf8 = Narrow(value);
  if (Cp936Length(utf8) >= limit) return false;
  name = std::move(utf8);
  return true;
}

bool IsSafeConnectionName(std::string_view name) {
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

std::wstring SystemDirectory() {
  wchar_t path[MAX_PATH] = {};
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

bool RunHidden(const std::string& commandLine, const std::wstring& programDir) {
  std::string program = ProgramName(commandLine);
  if (programDir.empty() || program.empty() || program.find_first_of("\\/:.\"") != std::string::npos) {
    return false;
  }
  std::wstring application = programDir + L"\\" + Widen(program) + L".exe";
  std::wstring line = Widen(commandLine);  // CreateProcessW may write to it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool WinPingOnce(const char* address) {
  in_addr target{};
  if (!address || inet_pton(AF_INET, address, &target) != 1) return false;
  HANDLE icmp = IcmpCreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return false;
  // The request's 32 data bytes: the alphabet a to z, then a to f.
  char data[32];
  for (int i = 0; i < 32; ++i) data[i] = static_cast<char>('a' + i % 26);
  alignas(ICMP_ECHO_REPLY) char replies[sizeof(ICMP_ECHO_REPLY) + sizeof data + 8 + 64];
  DWORD count = IcmpSendEcho2(icmp, nullptr, nullptr, nullptr, target.s_addr, data, sizeof data, nullptr,
                              replies, sizeof replies, kReplyWaitMs);
  IcmpCloseHandle(icmp);
  const auto* reply = reinterpret_cast<const ICMP_ECHO_REPLY*>(replies);
  for (DWORD i = 0; i < count; ++i) {
    if (reply[i].Status == IP_SUCCESS && reply[i].Address == target.s_addr) return true;
  }
  return false;
}

std::string ConnectionNameOrGuid(const std::string& guid) {
  std::string name;
  return ReadConnectionName(guid, kNameLimit, name) ? name : guid;
}

WinNetOps::WinNetOps(WinNetOptions options)
    : m_options(std::move(options)),
      m_ownElevated(m_options.elevated ? nullptr : std::make_unique<ElevatedPart>()),
      m_elevated(m_options.elevated ? m_options.elevated : m_ownElevated.get()),
      m_journal(m_options.journalDir) {
  for (const std::string& guid : m_journal.Adapters()) m_leftAtStart.push_back(ConnectionNameOrGuid(guid));
}

WinNetOps::~WinNetOps() = default;

bool WinNetOps::GetAdapters(std::vector<AdapterRecord>& out) {
  std::vector<std::uint32_t> indexes;
  if (!ListAdapterRecords(m_options.listAdapters ? m_options.listAdapters : ::GetAdaptersInfo, out, &indexes)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_listed.clear();
  for (std::size_t i = 0; i < out.size(); ++i) m_listed.push_back({out[i].id, indexes[i], ""});
  return true;
}

bool WinNetOps::GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) {
  if (!ReadConnectionName(adapter.id, limit, name)) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Listed& listed : m_listed) {
    if (listed.id == adapter.id) listed.name = name;
  }
  return true;
}

bool WinNetOps::Find(const std::string& name, Listed& out) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Listed& listed : m_listed) {
    if (!name.empty() && listed.name == name) {
      out = listed;
      return true;
    }
  }
  return false;
}

std::uint32_t WinNetOps::InterfaceIndexOf(const std::string& name) {
  Listed adapter;
  return Find(name, adapter) ? adapter.index : 0;
}

bool WinNetOps::Identify(const std::string& name, std::uint32_t& index, std::string& guid) {
  Listed adapter;
  if (!Find(name, adapter)) return false;
  index = adapter.index;
  guid = adapter.id;
  return true;
}

// One request to the elevated part. Without it (the prompt declined, or it
// could not be started) the operator is told once, and nothing is changed.
bool WinNetOps::Carry(const helper::Request& request) {
  helper::Reply reply;
  std::string why;
  if (m_elevated->Ask(request, reply, why)) return reply.status == helper::Status::kDone;
  bool tell;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    tell = !std::exchange(m_toldNoRights, true);
  }
  if (tell && why == kElevationDeclined) {
    LogPrint("未获得管理员权限（Windows 的询问被拒绝），无法更改网卡设置。请重新运行，并在 Windows 询问时选择“是”。");
  } else if (tell) {
    LogPrint("无法取得管理员权限，无法更改网卡设置（%s）。", why.c_str());
  }
  return false;
}

bool WinNetOps::Execute(const NetCommand& command) {
  helper::Request request;
  // Only a listed adapter, by its index: the elevated part reads its name
  // itself.
  Listed adapter;
  if (!Find(command.adapter, adapter) || adapter.index == 0 || adapter.index > INT32_MAX) return false;
  request.ifindex = static_cast<std::int32_t>(adapter.index);
  if (command.kind == NetCommand::kArpFlush) {
    request.kind = helper::Kind::kFlushNeighbours;
    return Carry(request);
  }
  if (command.kind == NetCommand::kDhcp) {
    request.kind = helper::Kind::kStartDhcpClient;
    if (!Carry(request)) return false;
    Settle(adapter.id);
    return true;
  }
  std::optional<int> prefix = PrefixOf(command.mask);
  std::optional<helper::Setup> setup =
      prefix ? helper::SetupOf({command.address, *prefix, command.gateway, command.metric}) : std::nullopt;
  if (!setup) return false;  // the elevated part sets the two set-ups alone
  // The elevated part first (the prompt, at the first change): an operator
  // who declines leaves the adapter as it is, and no journal either.
  if (!Carry(helper::Request{})) return false;
  RememberBeforeFirstChange(adapter);
  request.kind = helper::Kind::kSetStatic;
  request.setup = *setup;
  return Carry(request);
}

// The first change of a run keeps what the adapter had. A journal that an
// earlier run left holds the adapter's own settings (it is still changed
// now): it stays as it is.
void WinNetOps::RememberBeforeFirstChange(const Listed& adapter) {
  std::string error;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_changes.find(adapter.id); it != m_changes.end()) {
      if (it->second.settled) {  // handed back and changed again: the journal comes back too
        it->second.settled = false;
        it->second.journaled = m_journal.Save(it->second.snapshot, error);
      }
      return;
    }
  }
  Change change;
  if (m_journal.Load(adapter.id, change.snapshot, error)) {
    change.journaled = true;
  } else {
    auto read = m_options.readSnapshot ? m_options.readSnapshot : [](const std::string& guid, AdapterSnapshot& out) {
      return ReadWindowsSnapshot(guid, static_cast<long long>(std::time(nullptr)), out);
    };
    if (!read(adapter.id, change.snapshot)) return;  // no such adapter
    change.journaled = m_journal.Save(change.snapshot, error);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_changes.emplace(adapter.id, std::move(change));
}

// A hand-back that DHCP completes brings back all the adapter had: its
// journal goes. A static address of its own, DHCP cannot bring back.
void WinNetOps::Settle(const std::string& guid) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_changes.find(guid);
  if (it == m_changes.end() || it->second.snapshot.HasOwnStaticAddress()) return;
  if (m_journal.Remove(guid)) it->second.settled = true;
}

bool WinNetOps::PingHost(const char* address) { return WinPingOnce(address); }

void WinNetOps::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }

std::string WinNetOps::DescribeChangedAdapters() {
  std::vector<std::pair<std::string, Change>> changed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [guid, change] : m_changes) {
      if (!change.settled) changed.emplace_back(guid, change);
    }
  }
  std::string out;
  for (const auto& [guid, change] : changed) {
    std::string name = ConnectionNameOrGuid(guid);
    AdapterSnapshot now;
    auto read = m_options.readSnapshot ? m_options.readSnapshot : [](const std::string& g, AdapterSnapshot& s) {
      return ReadWindowsSnapshot(g, 0, s);
    };
    std::string addresses = read(guid, now) ? now.AddressList() : "";
    out += ChangedAdapterLine(name, addresses, change.snapshot.AddressList(), change.journaled, kRestoreCommand,
                              m_journal.Dir(), "Windows 的网络设置");
  }
  return out;
}
