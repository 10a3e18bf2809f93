#include "netcfg/windows/WinJournal.h"

#include <algorithm>
#include <memory>

#include "netcfg/Ipv4.h"
#include "netcfg/RestorePlan.h"
#include "netcfg/RestoreReport.h"
#include "netcfg/windows/ElevatedPart.h"
#include "netcfg/windows/Netsh.h"
#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/Utf16.h"

namespace {

constexpr const char* kPrefix = "adapter-";
constexpr const char* kSuffix = ".journal";
constexpr DWORD kMaxSize = 64 * 1024;
constexpr wchar_t kInterfaces[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";

std::string Reason(const std::string& path) { return path + ": error " + std::to_string(GetLastError()); }

class Handle {
 public:
  explicit Handle(HANDLE h) : m_h(h) {}
  ~Handle() {
    if (valid()) CloseHandle(m_h);
  }
  bool valid() const { return m_h != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return m_h; }

 private:
  HANDLE m_h;
};

// ---- the registry's settings of an adapter ----

class RegKey {
 public:
  explicit RegKey(const std::wstring& path) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~RegKey() {
    if (m_key) RegCloseKey(m_key);
  }
  bool open() const { return m_key != nullptr; }
  bool Dword(const wchar_t* name, DWORD& out) const {
    DWORD type = 0, size = sizeof out;
    return m_key && RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&out), &size) ==
                        ERROR_SUCCESS && type == REG_DWORD;
  }
  // A REG_MULTI_SZ's strings, or a REG_SZ split at commas and spaces; false
  // when the value is not there.
  bool Strings(const wchar_t* name, std::vector<std::string>& out) const {
    DWORD type = 0, size = 0;
    if (!m_key || RegQueryValueExW(m_key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_MULTI_SZ && type != REG_SZ) || size > 8192) {
      return false;
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    value.resize(size / sizeof(wchar_t));
    std::wstring word;
    out.clear();
    for (wchar_t c : value + L'\0') {
      bool separator = c == L'\0' || (type == REG_SZ && (c == L',' || c == L' '));
      if (!separator) {
        word += c;
      } else if (!word.empty()) {
        out.push_back(Narrow(word));
        word.clear();
      }
    }
    return true;
  }

 private:
  HKEY m_key = nullptr;
};

std::string Text(const SOCKET_ADDRESS& address) {
  if (!address.lpSockaddr || address.lpSockaddr->sa_family != AF_INET) return "";
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address.lpSockaddr)->sin_addr, text, sizeof text);
  return text;
}

AdapterRoute DefaultRoute(const std::string& gateway, std::uint32_t metric) {
  AdapterRoute route;
  route.gateway = gateway;
  route.metric = metric;
  return route;
}

// The adapter's record from GetAdaptersAddresses, in `buffer`.
const IP_ADAPTER_ADDRESSES* FindAdapterAddresses(const std::string& guid, std::unique_ptr<std::uint64_t[]>& buffer) {
  ULONG size = 16 * 1024;
  const ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST;
  for (int tries = 0; tries < 3; ++tries) {
    buffer.reset(new std::uint64_t[size / sizeof(std::uint64_t) + 1]);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
    ULONG result = GetAdaptersAddresses(AF_INET, flags, nullptr, list, &size);
    if (result == ERROR_BUFFER_OVERFLOW) continue;
    if (result != ERROR_SUCCESS) return nullptr;
    for (const IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next) {
      if (a->AdapterName && guid == a->AdapterName) return a;
    }
    return nullptr;
  }
  return nullptr;
}

}  // namespace

std::string WindowsStateDirectory() {
  wchar_t value[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", value, MAX_PATH);
  std::wstring dir(value, n < MAX_PATH ? n : 0);
  bool absolute = (dir.size() >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) ||
                  dir.compare(0, 2, L"\\\\") == 0;
  return absolute ? Narrow(dir) + "\\Brickfix" : "";
}

std::string WinJournal::PathOf(const std::string& guid) const { return m_dir + "\\" + kPrefix + guid + kSuffix; }

bool WinJournal::Save(const AdapterSnapshot& snapshot, std::string& error) const {
  if (m_dir.empty() || !IsAdapterGuid(snapshot.ifname)) {
    error = m_dir.empty() ? "no state folder (LOCALAPPDATA)" : "bad adapter name";
    return false;
  }
  if (!CreateDirectoryW(Widen(m_dir).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = Reason(m_dir);
    return false;
  }
  std::string path = PathOf(snapshot.ifname);
  std::string temporary = path + ".tmp";
  std::string text = FormatSnapshot(snapshot);
  {
    Handle file(CreateFileW(Widen(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD put = 0;
    if (!file.valid() || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
        put != text.size() || !FlushFileBuffers(file.get())) {
      error = Reason(temporary);
      DeleteFileW(Widen(temporary).c_str());
      return false;
    }
  }
  if (!MoveFileExW(Widen(temporary).c_str(), Widen(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = Reason(path);
    DeleteFileW(Widen(temporary).c_str());
    return false;
  }
  return true;
}

bool WinJournal::Load(const std::string& guid, AdapterSnapshot& out, std::string& error) const {
  error.clear();
  if (m_dir.empty() || !IsAdapterGuid(guid)) return false;
  std::string path = PathOf(guid);
  Handle file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) error = Reason(path);
    return false;
  }
  std::string text(kMaxSize + 1, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), text.data(), kMaxSize + 1, &got, nullptr)) {
    error = Reason(path);
    return false;
  }
  if (got > kMaxSize) {
    error = path + ": too large";
    return false;
  }
  text.resize(got);
  if (!ParseSnapshot(text, out, error)) {
    error = path + ": " + error;
    return false;
  }
  if (out.ifname != guid || !out.windows.present) {
    error = path + ": not this adapter's journal";
    return false;
  }
  return true;
}

bool WinJournal::Remove(const std::string& guid) const {
  if (m_dir.empty()) return true;
  return DeleteFileW(Widen(PathOf(guid)).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}

std::vector<std::string> WinJournal::Adapters() const {
  std::vector<std::string> out;
  if (m_dir.empty()) return out;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(Widen(m_dir + "\\" + kPrefix + "*" + kSuffix).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return out;
  const std::string prefix = kPrefix, suffix = kSuffix;
  do {
    std::string name = Narrow(entry.cFileName);
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string guid = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (IsAdapterGuid(guid) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) out.push_back(guid);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  std::sort(out.begin(), out.end());
  return out;
}

bool ReadWindowsSnapshot(const std::string& guid, long long now, AdapterSnapshot& out) {
  std::unique_ptr<std::uint64_t[]> buffer;
  const IP_ADAPTER_ADDRESSES* adapter = FindAdapterAddresses(guid, buffer);
  if (!adapter) return false;
  out = AdapterSnapshot{};
  out.ifname = guid;
  out.takenAt = now;
  out.kernel.up = adapter->OperStatus == IfOperStatusUp;
  WindowsSettings& windows = out.windows;
  windows.present = true;
  RegKey key(kInterfaces + Widen(guid));
  DWORD enableDhcp = 0;
  windows.dhcp = key.Dword(L"EnableDHCP", enableDhcp) ? enableDhcp != 0 : (adapter->Flags & IP_ADAPTER_DHCP_ENABLED) != 0;
  std::vector<std::string> addresses, masks, gateways, metrics, names;
  if (!windows.dhcp && key.Strings(L"IPAddress", addresses) && key.Strings(L"SubnetMask", masks)) {
    for (std::size_t i = 0; i < addresses.size() && i < masks.size(); ++i) {
      std::optional<int> prefix = PrefixOf(masks[i]);
      if (!IsIpv4(addresses[i]) || addresses[i] == "0.0.0.0" || !prefix) continue;
      AdapterAddress address;
      address.address = addresses[i];
      address.prefixLength = *prefix;
      out.kernel.addresses.push_back(address);
    }
  }
  if (out.kernel.addresses.empty()) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = adapter->FirstUnicastAddress; u; u = u->Next) {
      AdapterAddress address;
      address.address = Text(u->Address);
      address.prefixLength = u->OnLinkPrefixLength;
      address.permanent = !windows.dhcp;
      if (windows.dhcp) {
        address.validLifetime = u->ValidLifetime;
        address.preferredLifetime = u->PreferredLifetime;
      }
      if (!address.address.empty() && address.prefixLength <= 32) out.kernel.addresses.push_back(address);
    }
  }
  if (!windows.dhcp) {
    if (key.Strings(L"DefaultGateway", gateways)) {
      key.Strings(L"DefaultGatewayMetric", metrics);
      for (std::size_t i = 0; i < gateways.size(); ++i) {
        unsigned long metric = i < metrics.size() ? std::strtoul(metrics[i].c_str(), nullptr, 10) : 0;
        if (IsIpv4(gateways[i])) out.kernel.routes.push_back(DefaultRoute(gateways[i], static_cast<std::uint32_t>(metric)));
      }
    } else {
      for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* g = adapter->FirstGatewayAddress; g; g = g->Next) {
        std::string gateway = Text(g->Address);
        if (!gateway.empty()) out.kernel.routes.push_back(DefaultRoute(gateway, 0));
      }
    }
  }
  if (key.Strings(L"NameServer", names) && !names.empty()) {
    windows.dnsFromDhcp = false;
    for (const std::string& name : names) {
      if (IsIpv4(name)) windows.dnsServers.push_back(name);
    }
  } else if (!windows.dhcp) {
    windows.dnsFromDhcp = false;
    for (const IP_ADAPTER_DNS_SERVER_ADDRESS* d = adapter->FirstDnsServerAddress; d; d = d->Next) {
      std::string server = Text(d->Address);
      if (!server.empty()) windows.dnsServers.push_back(server);
    }
  }
  // As much as a journal and a request hold.
  if (out.kernel.addresses.size() > helper::kMaxAddresses) out.kernel.addresses.resize(helper::kMaxAddresses);
  if (windows.dnsServers.size() > helper::kMaxDnsServers) windows.dnsServers.resize(helper::kMaxDnsServers);
  return true;
}

std::vector<helper::Request> PlanWindowsRestore(const AdapterSnapshot& snapshot, std::int32_t ifindex,
                                                const std::string& name, std::vector<std::string>& manual) {
  helper::Request address;
  address.ifindex = ifindex;
  address.kind = helper::Kind::kStartDhcpClient;
  if (!snapshot.windows.dhcp) {
    address.kind = helper::Kind::kRestoreAdapter;
    address.state.up = snapshot.kernel.up;
    for (AdapterAddress a : snapshot.kernel.addresses) {
      if (!a.permanent) continue;
      a.label.clear();
      address.state.addresses.push_back(a);
    }
    for (const AdapterRoute& route : snapshot.kernel.routes) {
      if (route.prefixLength == 0 && !route.gateway.empty()) address.state.routes.push_back(route);
    }
    // Without a static address of its own there is none to give back: the
    // nearest is no static address at all.
    if (address.state.addresses.empty()) {
      address.state = AdapterState{};
      address.kind = helper::Kind::kStartDhcpClient;
    }
  }
  helper::Request dns;
  dns.kind = helper::Kind::kSetDnsServers;
  dns.ifindex = ifindex;
  dns.dnsFromDhcp = snapshot.windows.dnsFromDhcp;
  dns.dnsServers = snapshot.windows.dnsServers;
  std::vector<helper::Request> out;
  for (const helper::Request& request : {address, dns}) {
    std::string why;
    if (!helper::EncodeRequest(request).empty() &&
        (request.kind != helper::Kind::kRestoreAdapter || ReplacingRestoreBoundsHold(request.state, why))) {
      out.push_back(request);
      continue;
    }
    for (const std::string& command : NetshCommands(request, name)) manual.push_back(command);
  }
  return out;
}

int RestoreFromWinJournal(const WinJournal& journal, IWinRestoreSystem& system, IElevatedPart& elevated,
                          std::string& report) {
  std::vector<std::string> adapters = journal.Adapters();
  if (adapters.empty()) {
    report += NothingToRestoreLine();
    return 0;
  }
  int status = 0;
  for (const std::string& guid : adapters) {
    AdapterSnapshot snapshot;
    std::string error, name = guid;
    std::int32_t ifindex = 0;
    std::vector<std::string> manual;
    bool done = journal.Load(guid, snapshot, error);
    if (done && !system.FindAdapter(guid, ifindex, name)) {
      done = false;
      error = "the adapter is not there";
    }
    if (done) {
      for (const helper::Request& request : PlanWindowsRestore(snapshot, ifindex, name, manual)) {
        helper::Reply reply;
        if (!elevated.Ask(request, reply, error)) {
          done = false;
          break;
        }
        if (reply.status != helper::Status::kDone) {
          done = false;
          error = reply.text.empty() ? "the elevated part refused it" : reply.text;
          break;
        }
      }
      if (done && !manual.empty()) {
        done = false;
        error = "some settings are outside what the elevated part may set";
      }
    }
    if (done && journal.Remove(guid)) {
      report += RestoredLine(name, snapshot.AddressList());
      continue;
    }
    if (error.empty()) error = "its journal cannot be removed from " + journal.Dir();
    report += NotRestoredLines(name, journal.PathOf(guid), error, manual);
    status = 1;
  }
  return status;
}
