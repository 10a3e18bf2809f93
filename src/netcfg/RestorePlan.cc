#include "netcfg/RestorePlan.h"

#include <algorithm>
#include <optional>

#include "netcfg/Ipv4.h"

namespace {

constexpr std::uint32_t kMainTable = 254;
constexpr int kUnicast = 1;
constexpr int kScopeUniverse = 0, kScopeLink = 253;

std::uint32_t Mask(int prefixLength) { return prefixLength <= 0 ? 0 : ~0u << (32 - prefixLength); }

struct Subnet {
  std::uint32_t own, network, mask;
};

std::vector<Subnet> SubnetsOf(const std::vector<AdapterAddress>& addresses) {
  std::vector<Subnet> out;
  for (const AdapterAddress& entry : addresses) {
    std::optional<std::uint32_t> address = ParseIpv4(entry.address);
    if (!address || entry.prefixLength < 8 || entry.prefixLength > 32) continue;
    std::uint32_t mask = Mask(entry.prefixLength);
    out.push_back({*address, *address & mask, mask});
  }
  return out;
}

bool Identical(const AdapterAddress& a, const AdapterAddress& b) {
  return SameAddress(a, b) && a.broadcast == b.broadcast && a.permanent == b.permanent &&
         a.noPrefixRoute == b.noPrefixRoute;
}

template <class T, class Same>
const T* Find(const std::vector<T>& list, const T& item, Same same) {
  auto it = std::find_if(list.begin(), list.end(), [&](const T& other) { return same(other, item); });
  return it == list.end() ? nullptr : &*it;
}

std::string Prefix(const std::string& address, int length) {
  return length == 0 ? "default" : address + "/" + std::to_string(length);
}

std::string Named(int value, std::initializer_list<std::pair<int, const char*>> names) {
  for (const auto& [number, name] : names) {
    if (number == value) return name;
  }
  return std::to_string(value);
}

}  // namespace

bool IsRestorableAddress(const AdapterAddress& entry) {
  std::optional<std::uint32_t> address = ParseIpv4(entry.address);
  if (!address || !IsHostAddress(*address) || entry.prefixLength < 8 || entry.prefixLength > 32) {
    return false;
  }
  std::uint32_t mask = Mask(entry.prefixLength);
  std::uint32_t broadcast = *address | ~mask;
  if (entry.prefixLength <= 30 && (*address == (*address & mask) || *address == broadcast)) return false;
  return entry.broadcast.empty() || ParseIpv4(entry.broadcast) == broadcast;
}

bool IsRestorableRoute(const AdapterRoute& route, const std::vector<AdapterAddress>& addresses) {
  std::optional<std::uint32_t> destination = ParseIpv4(route.destination);
  if (!destination || route.prefixLength < 0 || route.prefixLength > 32 || route.table != kMainTable ||
      route.type != kUnicast || route.metric < kMinRestoredMetric) {
    return false;
  }
  std::uint32_t mask = Mask(route.prefixLength);
  std::uint32_t first = *destination >> 24;
  if ((*destination & ~mask) != 0 || first == 127 || (first == 0 && route.prefixLength != 0)) return false;
  std::vector<Subnet> subnets = SubnetsOf(addresses);
  if (!route.source.empty()) {
    std::optional<std::uint32_t> source = ParseIpv4(route.source);
    if (!source || std::none_of(subnets.begin(), subnets.end(),
                                [&](const Subnet& s) { return s.own == *source; })) {
      return false;
    }
  }
  if (route.gateway.empty()) {
    // On the link: a part of one of the adapter's own subnets, never wider.
    return route.prefixLength > 0 && (route.scope == kScopeLink || route.scope == kScopeUniverse) &&
           std::any_of(subnets.begin(), subnets.end(), [&](const Subnet& s) {
             return mask >= s.mask && (*destination & s.mask) == s.network;
           });
  }
  std::optional<std::uint32_t> gateway = ParseIpv4(route.gateway);
  return gateway && IsHostAddress(*gateway) && route.scope == kScopeUniverse &&
         std::any_of(subnets.begin(), subnets.end(), [&](const Subnet& s) {
           return (*gateway & s.mask) == s.network && *gateway != s.own &&
                  (s.mask == ~0u || (*gateway != s.network && *gateway != (s.network | ~s.mask)));
         });
}

bool RestoreBoundsHold(const AdapterState& wanted, const AdapterState& now, std::string& why) {
  for (const AdapterAddress& address : wanted.addresses) {
    const AdapterAddress* there = Find(now.addresses, address, SameAddress);
    if (!(there && Identical(*there, address)) && !IsRestorableAddress(address)) {
      why = "the address " + Prefix(address.address, address.prefixLength) + " is beyond what a restore adds";
      return false;
    }
  }
  for (const AdapterRoute& route : wanted.routes) {
    if (!Find(now.routes, route, SameRoute) && !IsRestorableRoute(route, wanted.addresses)) {
      why = "the route to " + Prefix(route.destination, route.prefixLength) +
            " is beyond what a restore adds";
      return false;
    }
  }
  return true;
}

bool ReplacingRestoreBoundsHold(const AdapterState& wanted, std::string& why) {
  AdapterState checked = wanted;
  for (AdapterRoute& route : checked.routes) {
    if (route.metric == 0) route.metric = kMinRestoredMetric;
  }
  return RestoreBoundsHold(checked, AdapterState{}, why);
}

RestorePlan PlanRestore(const std::string& ifname, const AdapterState& journal, const AdapterState& now) {
  RestorePlan plan;
  plan.request.up = now.up;
  for (const AdapterAddress& address : journal.addresses) {
    const AdapterAddress* there = Find(now.addresses, address, SameAddress);
    if (IsRestorableAddress(address)) {
      plan.request.addresses.push_back(address);
    } else if (there) {
      plan.request.addresses.push_back(*there);  // it is there: it stays as it is
    } else {
      plan.commands.push_back(AddressCommand(ifname, address));
    }
  }
  for (const AdapterRoute& route : journal.routes) {
    const AdapterRoute* there = Find(now.routes, route, SameRoute);
    if (route.table != kMainTable || route.type != kUnicast) {
      // Other tables and types are never changed by a restore.
      if (!there) plan.commands.push_back(RouteCommand(ifname, route));
    } else if (there) {
      plan.request.routes.push_back(*there);
    } else if (IsRestorableRoute(route, plan.request.addresses)) {
      AdapterRoute restored = route;
      restored.protocol = kStaticRouteProtocol;
      plan.request.routes.push_back(restored);
    } else {
      plan.commands.push_back(RouteCommand(ifname, route));
    }
  }
  if (journal.up != now.up) {
    plan.commands.push_back("ip link set dev " + ifname + (journal.up ? " up" : " down"));
  }
  return plan;
}

std::string AddressCommand(const std::string& ifname, const AdapterAddress& a) {
  std::string out = "ip address add " + a.address + "/" + std::to_string(a.prefixLength);
  if (!a.broadcast.empty()) out += " broadcast " + a.broadcast;
  if (!a.label.empty()) out += " label " + a.label;
  out += " dev " + ifname;
  if (!a.permanent) {
    out += " valid_lft " + std::to_string(a.validLifetime) + " preferred_lft " +
           std::to_string(a.preferredLifetime);
  }
  if (a.noPrefixRoute) out += " noprefixroute";
  return out;
}

std::string RouteCommand(const std::string& ifname, const AdapterRoute& r) {
  std::string out = "ip route add ";
  if (r.type != kUnicast) {
    out += Named(r.type, {{2, "local"}, {3, "broadcast"}, {4, "anycast"}, {5, "multicast"},
                          {6, "blackhole"}, {7, "unreachable"}, {8, "prohibit"}, {9, "throw"}}) + " ";
  }
  out += Prefix(r.destination, r.prefixLength);
  if (!r.gateway.empty()) out += " via " + r.gateway;
  out += " dev " + ifname;
  if (!r.source.empty()) out += " src " + r.source;
  out += " metric " + std::to_string(r.metric) + " proto " +
         Named(r.protocol, {{2, "kernel"}, {3, "boot"}, {4, "static"}, {16, "dhcp"}}) + " scope " +
         Named(r.scope, {{0, "global"}, {253, "link"}, {254, "host"}});
  if (r.table != kMainTable) out += " table " + std::to_string(r.table);
  return out;
}
