#include "netcfg/windows/WinFirewall.h"

#include <cstdint>
#include <cstdlib>

#include "netcfg/Ipv4.h"
#include "platform/windows/Utf16.h"
#include "platform/windows/Win32.h"

#include <netfw.h>
#include <netlistmgr.h>
#include <oleauto.h>

namespace {

// The request the verdict is about.
constexpr const char* kLocalAddress = "192.168.1.88";
constexpr const char* kRouterAddress = "192.168.1.1";
constexpr long kTftpPort = 69;
constexpr long kUdp = 17;
constexpr long kAnyProtocol = 256;
constexpr std::size_t kMaxRuleName = 100;  // bytes of a rule's name in the log

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// `text` cut to at most `bytes`, never inside a character.
std::string Cut(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

std::string Trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Calls `each` with every comma-separated item of `list`, trimmed, until it
// returns true; true when one did.
template <class Fn>
bool AnyItem(const std::string& list, Fn each) {
  std::size_t at = 0;
  for (;;) {
    std::size_t comma = list.find(',', at);
    if (each(Trim(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at)))) return true;
    if (comma == std::string::npos) return false;
    at = comma + 1;
  }
}

bool PortMatches(const std::string& list) {
  if (Trim(list).empty()) return true;
  return AnyItem(list, [](const std::string& item) {
    if (item == "*") return true;
    char* end = nullptr;
    long first = std::strtol(item.c_str(), &end, 10);
    if (end == item.c_str()) return false;  // a keyword (RPC, Teredo, ...)
    long last = first;
    if (*end == '-') last = std::strtol(end + 1, &end, 10);
    return *end == '\0' && first <= kTftpPort && kTftpPort <= last;
  });
}

// `address` among the items of a rule's address list. `remote`: the
// router's side, where the keywords for the local subnet and the default
// gateway (the router is both) count.
bool AddressMatches(const std::string& list, std::uint32_t address, bool remote) {
  if (Trim(list).empty()) return true;
  return AnyItem(list, [&](const std::string& item) {
    std::string word = Lower(item);
    if (word == "*" || word == "any") return true;
    if (word == "localsubnet" || word == "defaultgateway") return remote;
    std::size_t dash = item.find('-');
    if (dash != std::string::npos) {
      std::optional<std::uint32_t> first = ParseIpv4(item.substr(0, dash));
      std::optional<std::uint32_t> last = ParseIpv4(item.substr(dash + 1));
      return first && last && *first <= address && address <= *last;
    }
    std::size_t slash = item.find('/');
    std::optional<std::uint32_t> base = ParseIpv4(item.substr(0, slash));
    if (!base) return false;  // IPv6, or a keyword that is not ours
    std::uint32_t mask = ~0u;
    if (slash != std::string::npos) {
      std::string rest = item.substr(slash + 1);
      if (std::optional<std::uint32_t> dotted = ParseIpv4(rest)) {
        mask = *dotted;
      } else {
        char* end = nullptr;
        long bits = std::strtol(rest.c_str(), &end, 10);
        if (end == rest.c_str() || *end != '\0' || bits < 0 || bits > 32) return false;
        mask = bits == 0 ? 0 : ~0u << (32 - bits);
      }
    }
    return (address & mask) == (*base & mask);
  });
}

bool InterfaceMatches(const std::string& list) {
  if (Trim(list).empty()) return true;
  return AnyItem(list, [](const std::string& item) {
    std::string word = Lower(item);
    return word == "all" || word == "lan";
  });
}

// The rule concerns the router's request to our port.
bool Applies(const FirewallRule& rule, long profile, const std::string& program) {
  std::uint32_t local = ParseIpv4(kLocalAddress).value_or(0);
  std::uint32_t router = ParseIpv4(kRouterAddress).value_or(0);
  return rule.enabled && rule.inbound && (rule.profiles & profile) != 0 &&
         (rule.protocol == kUdp || rule.protocol == kAnyProtocol) &&
         (rule.protocol == kAnyProtocol || PortMatches(rule.localPorts)) &&
         AddressMatches(rule.localAddresses, local, false) && AddressMatches(rule.remoteAddresses, router, true) &&
         (rule.application.empty() || rule.application == program) &&
         (rule.service.empty() || rule.service == "*") && InterfaceMatches(rule.interfaceTypes);
}

const char* ProfileName(long profile) {
  switch (profile) {
    case NET_FW_PROFILE2_DOMAIN: return "domain";
    case NET_FW_PROFILE2_PRIVATE: return "private";
    case NET_FW_PROFILE2_PUBLIC: return "public";
  }
  return "";
}

// ---- COM ----

template <class T>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (m_p) m_p->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* operator->() const { return m_p; }
  T** put() { return &m_p; }
  void** putVoid() { return reinterpret_cast<void**>(&m_p); }
  explicit operator bool() const { return m_p != nullptr; }
  T* get() const { return m_p; }

 private:
  T* m_p = nullptr;
};

class Bstr {
 public:
  ~Bstr() { SysFreeString(m_b); }
  BSTR* put() { return &m_b; }
  std::string Text() const { return m_b ? Narrow({m_b, SysStringLen(m_b)}) : ""; }

 private:
  BSTR m_b = nullptr;
};

std::string LowerPath(const std::wstring& path) {
  if (path.empty()) return "";
  wchar_t expanded[MAX_PATH * 2] = {};
  DWORD n = ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH * 2);
  std::wstring full = n > 0 && n <= MAX_PATH * 2 ? std::wstring(expanded, n - 1) : path;
  CharLowerBuffW(full.data(), static_cast<DWORD>(full.size()));
  return Narrow(full);
}

std::string ThisProgram() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n < path.size() ? n : 0);
  return LowerPath(path);
}

// The profile of the network on adapter `guid`, from its category; 0 when
// no network of the list is on that adapter.
long ProfileOfAdapter(const std::string& guid) {
  Com<INetworkListManager> list;
  Com<IEnumNetworkConnections> connections;
  if (FAILED(CoCreateInstance(__uuidof(NetworkListManager), nullptr, CLSCTX_ALL, __uuidof(INetworkListManager),
                              list.putVoid())) ||
      FAILED(list->GetNetworkConnections(connections.put())) || !connections) {
    return 0;
  }
  for (;;) {
    Com<INetworkConnection> connection;
    ULONG got = 0;
    if (connections->Next(1, connection.put(), &got) != S_OK || got != 1) return 0;
    GUID adapter{};
    wchar_t text[64] = {};
    if (FAILED(connection->GetAdapterId(&adapter)) || StringFromGUID2(adapter, text, 64) == 0 ||
        Lower(Narrow(text)) != Lower(guid)) {
      continue;
    }
    Com<INetwork> network;
    NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PUBLIC;
    if (FAILED(connection->GetNetwork(network.put())) || !network || FAILED(network->GetCategory(&category))) {
      return 0;
    }
    switch (category) {
      case NLM_NETWORK_CATEGORY_DOMAIN_AUTHENTICATED: return NET_FW_PROFILE2_DOMAIN;
      case NLM_NETWORK_CATEGORY_PRIVATE: return NET_FW_PROFILE2_PRIVATE;
      default: return NET_FW_PROFILE2_PUBLIC;
    }
  }
}

// The inbound rules of the list (the others never decide a request).
bool ReadRules(INetFwPolicy2& policy, std::vector<FirewallRule>& out) {
  Com<INetFwRules> rules;
  Com<IUnknown> unknown;
  Com<IEnumVARIANT> items;
  if (FAILED(policy.get_Rules(rules.put())) || !rules || FAILED(rules->get__NewEnum(unknown.put())) || !unknown ||
      FAILED(unknown->QueryInterface(__uuidof(IEnumVARIANT), items.putVoid()))) {
    return false;
  }
  for (;;) {
    VARIANT item;
    VariantInit(&item);
    ULONG got = 0;
    if (items->Next(1, &item, &got) != S_OK || got != 1) return true;
    Com<INetFwRule> rule;
    bool ok = item.vt == VT_DISPATCH && item.pdispVal &&
              SUCCEEDED(item.pdispVal->QueryInterface(__uuidof(INetFwRule), rule.putVoid()));
    VariantClear(&item);
    if (!ok) continue;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (FAILED(rule->get_Direction(&direction)) || direction != NET_FW_RULE_DIR_IN ||
        FAILED(rule->get_Enabled(&enabled)) || !enabled) {
      continue;
    }
    FirewallRule r;
    NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
    Bstr name, ports, local, remote, application, service, interfaces;
    rule->get_Action(&action);
    rule->get_Protocol(&r.protocol);
    rule->get_Profiles(&r.profiles);
    rule->get_Name(name.put());
    rule->get_LocalPorts(ports.put());
    rule->get_LocalAddresses(local.put());
    rule->get_RemoteAddresses(remote.put());
    rule->get_ApplicationName(application.put());
    rule->get_ServiceName(service.put());
    rule->get_InterfaceTypes(interfaces.put());
    r.allow = action == NET_FW_ACTION_ALLOW;
    r.name = name.Text();
    r.localPorts = ports.Text();
    r.localAddresses = local.Text();
    r.remoteAddresses = remote.Text();
    r.application = LowerPath(Widen(application.Text()));
    r.service = service.Text();
    r.interfaceTypes = interfaces.Text();
    out.push_back(std::move(r));
  }
}

std::optional<FirewallPolicy> ReadPolicy(const std::string& guid) {
  Com<INetFwPolicy2> policy;
  if (FAILED(CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                              policy.putVoid()))) {
    return std::nullopt;
  }
  FirewallPolicy out;
  out.profile = ProfileOfAdapter(guid);
  if (out.profile == 0) {
    // The network is not in the list yet: the profiles in force, the
    // strictest first (an unidentified network is public).
    long current = 0;
    if (FAILED(policy->get_CurrentProfileTypes(&current))) return std::nullopt;
    for (long profile : {NET_FW_PROFILE2_PUBLIC, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_DOMAIN}) {
      if (out.profile == 0 && (current & profile)) out.profile = profile;
    }
    if (out.profile == 0) return std::nullopt;
  }
  auto profile = static_cast<NET_FW_PROFILE_TYPE2>(out.profile);
  VARIANT_BOOL enabled = VARIANT_FALSE, blockAll = VARIANT_FALSE;
  NET_FW_ACTION inbound = NET_FW_ACTION_BLOCK;
  if (FAILED(policy->get_FirewallEnabled(profile, &enabled))) return std::nullopt;
  out.enabled = enabled != VARIANT_FALSE;
  if (!out.enabled) return out;
  if (FAILED(policy->get_BlockAllInboundTraffic(profile, &blockAll)) ||
      FAILED(policy->get_DefaultInboundAction(profile, &inbound)) || !ReadRules(*policy.get(), out.rules)) {
    return std::nullopt;
  }
  out.blockAll = blockAll != VARIANT_FALSE;
  out.allowsByDefault = inbound == NET_FW_ACTION_ALLOW;
  return out;
}

}  // namespace

observe::FirewallInfo JudgeFirewall(const FirewallPolicy& policy, const std::string& program) {
  observe::FirewallInfo info;
  info.profile = ProfileName(policy.profile);
  info.verdict = observe::FirewallInfo::kLetsIn;
  if (!policy.enabled) return info;
  if (policy.blockAll) {
    info.verdict = observe::FirewallInfo::kBlockAll;
    return info;
  }
  bool allowed = policy.allowsByDefault;
  for (const FirewallRule& rule : policy.rules) {
    if (!Applies(rule, policy.profile, program)) continue;
    if (!rule.allow) {
      info.verdict = observe::FirewallInfo::kBlockRule;
      info.rule = Cut(rule.name, kMaxRuleName);
      return info;
    }
    allowed = true;
  }
  if (!allowed) info.verdict = observe::FirewallInfo::kNoRule;
  return info;
}

observe::FirewallInfo ReadFirewall(const std::string& guid) {
  std::optional<FirewallPolicy> policy = ReadPolicy(guid);
  return policy ? JudgeFirewall(*policy, ThisProgram()) : observe::FirewallInfo{};
}
