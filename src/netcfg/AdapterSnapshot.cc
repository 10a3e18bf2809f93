#include "netcfg/AdapterSnapshot.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "netcfg/Ipv4.h"

namespace {

constexpr const char* kMagic = "brickfix-journal 1";
const char* const kDhcpClients[] = {"dhclient", "dhcpcd", "udhcpc"};

bool IsLabel(const std::string& text);

std::string Or(const std::string& text, const char* none = "-") { return text.empty() ? none : text; }

std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) out += static_cast<unsigned char>(c) < ' ' || c == 0x7f ? '?' : c;
  return out;
}

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  errno = 0;
  out = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0 && out <= max;
}

template <class T>
bool ParseInto(const std::string& text, unsigned long long max, T& out) {
  unsigned long long value = 0;
  if (!ParseNumber(text, max, value)) return false;
  out = static_cast<T>(value);
  return true;
}

// "a.b.c.d/n".
bool ParsePrefix(const std::string& text, std::string& address, int& length) {
  std::size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  address = text.substr(0, slash);
  return IsIpv4(address) && ParseInto(text.substr(slash + 1), 32, length);
}

// "key value key value ... flag" after the first word, into a map-like list.
struct Fields {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> flags;
  const std::string* Get(const std::string& key) const {
    for (const auto& [k, v] : values) {
      if (k == key) return &v;
    }
    return nullptr;
  }
};

bool ParseAddress(std::istringstream& in, AdapterAddress& out) {
  std::string prefix, word;
  if (!(in >> prefix) || !ParsePrefix(prefix, out.address, out.prefixLength)) return false;
  out.permanent = false;
  while (in >> word) {
    std::string value;
    if (word == "permanent") {
      out.permanent = true;
    } else if (word == "noprefixroute") {
      out.noPrefixRoute = true;
    } else if (!(in >> value)) {
      return false;
    } else if (word == "brd") {
      if (value != "-" && !IsIpv4(value)) return false;
      out.broadcast = value == "-" ? "" : value;
    } else if (word == "label") {
      if (value != "-" && !IsLabel(value)) return false;
      out.label = value == "-" ? "" : value;
    } else if (word == "valid") {
      if (!ParseInto(value, AdapterAddress::kForever, out.validLifetime)) return false;
    } else if (word == "preferred") {
      if (!ParseInto(value, AdapterAddress::kForever, out.preferredLifetime)) return false;
    } else {
      return false;
    }
  }
  if (out.permanent) out.validLifetime = out.preferredLifetime = AdapterAddress::kForever;
  return true;
}

bool ParseRoute(std::istringstream& in, AdapterRoute& out) {
  std::string prefix, word, value;
  if (!(in >> prefix) || !ParsePrefix(prefix, out.destination, out.prefixLength)) return false;
  while (in >> word >> value) {
    if (word == "via" || word == "src") {
      if (value != "-" && !IsIpv4(value)) return false;
      (word == "via" ? out.gateway : out.source) = value == "-" ? "" : value;
    } else if (word == "metric") {
      if (!ParseInto(value, 0xffffffffull, out.metric)) return false;
    } else if (word == "table") {
      if (!ParseInto(value, 0xffffffffull, out.table) || out.table == 0 || out.table == 255) return false;
    } else if (word == "protocol") {
      if (!ParseInto(value, 255, out.protocol)) return false;
    } else if (word == "scope") {
      if (!ParseInto(value, 255, out.scope)) return false;
    } else if (word == "type") {
      if (!ParseInto(value, 255, out.type)) return false;
    } else {
      return false;
    }
  }
  return in.eof();
}

// An address label: the interface's name, often with ":" and a suffix.
bool IsLabel(const std::string& text) {
  if (text.empty() || text.size() >= 16 || text[0] == '-' || text.find("..") != std::string::npos) {
    return false;
  }
  for (unsigned char c : text) {
    if (c <= ' ' || c == '/' || c == 0x7f) return false;
  }
  return true;
}

constexpr std::size_t kMaxDnsServers = 8;

// "windows dhcp on|off", "windows dns dhcp" or "windows dns ADDRESS...".
bool ParseWindows(std::istringstream& in, WindowsSettings& out) {
  std::string key, value;
  if (!(in >> key >> value)) return false;
  out.present = true;
  if (key == "dhcp" && (value == "on" || value == "off")) {
    out.dhcp = value == "on";
    return !(in >> value);
  }
  if (key != "dns") return false;
  out.dnsServers.clear();
  out.dnsFromDhcp = value == "dhcp";
  if (out.dnsFromDhcp) return !(in >> value);
  do {
    if (!IsIpv4(value) || out.dnsServers.size() == kMaxDnsServers) return false;
    out.dnsServers.push_back(value);
  } while (in >> value);
  return true;
}

bool IsUuid(const std::string& text) {
  return !text.empty() && text.size() <= 64 &&
         text.find_first_not_of("0123456789abcdefABCDEF-") == std::string::npos;
}

}  // namespace

bool IsAdapterGuid(const std::string& text) {
  static constexpr char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool hex = std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kShape[i] == 'X' ? !hex : text[i] != kShape[i]) return false;
  }
  return true;
}

bool AdapterSnapshot::HasOwnStaticAddress() const {
  if (networkManager) return false;  // its own profile comes back whole
  for (const AdapterAddress& address : kernel.addresses) {
    if (address.permanent) return true;
  }
  return false;
}

std::string AdapterSnapshot::AddressList() const {
  std::string out;
  for (const AdapterAddress& address : kernel.addresses) {
    if (!out.empty()) out += ", ";
    out += address.address + "/" + std::to_string(address.prefixLength);
  }
  return out;
}

AdapterState AdapterSnapshot::KernelStateAt(long long now) const {
  AdapterState state = kernel;
  long long elapsed = now > takenAt ? now - takenAt : 0;
  std::vector<AdapterAddress> kept;
  for (AdapterAddress address : state.addresses) {
    if (!address.permanent) {
      if (address.validLifetime != AdapterAddress::kForever) {
        if (address.validLifetime <= elapsed) continue;
        address.validLifetime -= static_cast<uint32_t>(elapsed);
      }
      if (address.preferredLifetime != AdapterAddress::kForever) {
        address.preferredLifetime =
            address.preferredLifetime > elapsed ? address.preferredLifetime - static_cast<uint32_t>(elapsed) : 0;
      }
    }
    kept.push_back(address);
  }
  state.addresses = kept;
  return state;
}

std::string FormatSnapshot(const AdapterSnapshot& s) {
  std::ostringstream out;
  out << kMagic << "\n"
      << "# What brickfix found on the adapter before it changed it.\n"
      << "# brickfix --restore-network puts it back and removes this file.\n"
      << "adapter " << s.ifname << "\n";
  if (s.netns) out << "netns " << s.netns << "\n";
  out
      << "taken " << s.takenAt << "\n"
      << "link " << (s.kernel.up ? "up" : "down") << "\n";
  for (const AdapterAddress& a : s.kernel.addresses) {
    out << "address " << a.address << "/" << a.prefixLength << " brd " << Or(a.broadcast)
        << " label " << Or(a.label);
    if (a.permanent) out << " permanent";
    else out << " valid " << a.validLifetime << " preferred " << a.preferredLifetime;
    if (a.noPrefixRoute) out << " noprefixroute";
    out << "\n";
  }
  for (const AdapterRoute& r : s.kernel.routes) {
    out << "route " << r.destination << "/" << r.prefixLength << " via " << Or(r.gateway) << " src "
        << Or(r.source) << " metric " << r.metric << " table " << r.table << " protocol "
        << r.protocol << " scope " << r.scope << " type " << r.type << "\n";
  }
  if (s.networkManager) {
    out << "networkmanager managed " << Or(s.profileUuid) << " " << OneLine(s.profileName) << "\n";
  } else {
    out << "networkmanager unmanaged\n";
  }
  out << "dhcp-client " << Or(s.dhcpClient, "none") << "\n";
  if (s.windows.present) {
    out << "windows dhcp " << (s.windows.dhcp ? "on" : "off") << "\n"
        << "windows dns";
    if (s.windows.dnsFromDhcp) out << " dhcp";
    for (const std::string& server : s.windows.dnsServers) out << " " << server;
    out << "\n";
  }
  out << "end\n";
  return out.str();
}

bool ParseSnapshot(const std::string& text, AdapterSnapshot& out, std::string& error) {
  out = AdapterSnapshot{};
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kMagic) {
    error = "not a journal of this program";
    return false;
  }
  bool ended = false, haveAdapter = false;
  int number = 1;
  while (std::getline(lines, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string key, value;
    in >> key;
    bool ok = true;
    if (ended) {
      ok = false;
    } else if (key == "adapter") {
      ok = (in >> out.ifname) && (IsSafeInterfaceName(out.ifname) || IsAdapterGuid(out.ifname)) &&
           !(in >> value);
      haveAdapter = ok;
    } else if (key == "netns") {
      ok = (in >> value) && ParseInto(value, ~0ull, out.netns) && out.netns != 0 && !(in >> value);
    } else if (key == "taken") {
      ok = (in >> value) && ParseInto(value, 1ull << 40, out.takenAt);
    } else if (key == "link") {
      ok = (in >> value) && (value == "up" || value == "down");
      out.kernel.up = value == "up";
    } else if (key == "address") {
      AdapterAddress address;
      ok = ParseAddress(in, address);
      out.kernel.addresses.push_back(address);
    } else if (key == "route") {
      AdapterRoute route;
      ok = ParseRoute(in, route);
      out.kernel.routes.push_back(route);
    } else if (key == "networkmanager") {
      ok = static_cast<bool>(in >> value);
      if (value == "managed") {
        out.networkManager = true;
        ok = (in >> out.profileUuid) && (out.profileUuid == "-" || IsUuid(out.profileUuid));
        if (out.profileUuid == "-") out.profileUuid.clear();
        std::getline(in >> std::ws, out.profileName);
      } else {
        ok = ok && value == "unmanaged";
      }
    } else if (key == "dhcp-client") {
      ok = static_cast<bool>(in >> value);
      if (value != "none") {
        ok = false;
        for (const char* client : kDhcpClients) ok = ok || value == client;
        out.dhcpClient = value;
      }
    } else if (key == "windows") {
      ok = ParseWindows(in, out.windows);
    } else if (key == "end") {
      ended = true;
    } else {
      ok = false;
    }
    if (!ok) {
      error = "line " + std::to_string(number) + " is not understood: " + OneLine(line);
      return false;
    }
  }
  if (!haveAdapter || !ended) {
    error = haveAdapter ? "the journal is cut short" : "the journal names no adapter";
    return false;
  }
  return true;
}
