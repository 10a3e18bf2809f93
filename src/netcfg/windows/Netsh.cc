#include "netcfg/windows/Netsh.h"

#include <bit>

#include "netcfg/Ipv4.h"

namespace {

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string AddressCommand(const std::string& name) {
  return "netsh interface ip set address " + Quoted(name);
}

// The default gateways of a restore: its default routes through a gateway.
// False when it holds any other route (Windows keeps no other per adapter).
bool DefaultGateways(const AdapterState& state, std::vector<const AdapterRoute*>& out) {
  for (const AdapterRoute& route : state.routes) {
    if (route.prefixLength != 0 || route.destination != "0.0.0.0" || route.gateway.empty()) return false;
    out.push_back(&route);
  }
  return true;
}

std::vector<std::string> RestoreCommands(const AdapterState& state, const std::string& name) {
  std::vector<const AdapterRoute*> gateways;
  if (state.addresses.empty() || !DefaultGateways(state, gateways)) return {};
  const AdapterAddress& first = state.addresses[0];
  std::string set = AddressCommand(name) + " static " + first.address + " " + MaskOf(first.prefixLength);
  if (!gateways.empty()) set += " " + gateways[0]->gateway + " " + std::to_string(gateways[0]->metric);
  std::vector<std::string> out = {set};
  for (std::size_t i = 1; i < state.addresses.size(); ++i) {
    out.push_back("netsh interface ip add address " + Quoted(name) + " " + state.addresses[i].address + " " +
                  MaskOf(state.addresses[i].prefixLength));
  }
  for (std::size_t i = 1; i < gateways.size(); ++i) {
    out.push_back("netsh interface ip add address " + Quoted(name) + " gateway=" + gateways[i]->gateway +
                  " gwmetric=" + std::to_string(gateways[i]->metric));
  }
  return out;
}

std::vector<std::string> DnsCommands(const helper::Request& request, const std::string& name) {
  const std::string set = "netsh interface ip set dnsservers " + Quoted(name);
  if (request.dnsFromDhcp) return {set + " dhcp"};
  if (request.dnsServers.empty()) return {set + " static none"};
  std::vector<std::string> out = {set + " static " + request.dnsServers[0] + " primary validate=no"};
  for (std::size_t i = 1; i < request.dnsServers.size(); ++i) {
    out.push_back("netsh interface ip add dnsservers " + Quoted(name) + " " + request.dnsServers[i] +
                  " index=" + std::to_string(i + 1) + " validate=no");
  }
  return out;
}

}  // namespace

std::string MaskOf(int prefixLength) {
  if (prefixLength <= 0) return "0.0.0.0";
  return FormatIpv4(prefixLength >= 32 ? ~0u : ~0u << (32 - prefixLength));
}

std::optional<int> PrefixOf(const std::string& mask) {
  std::optional<std::uint32_t> bits = ParseIpv4(mask);
  if (!bits) return std::nullopt;
  int length = std::popcount(*bits);
  if (length > 0 && *bits != ~0u << (32 - length)) return std::nullopt;
  return length;
}

std::vector<std::string> NetshCommands(const helper::Request& request, const std::string& name) {
  using helper::Kind;
  switch (request.kind) {
    case Kind::kSetStatic: {
      StaticIpv4 setup = helper::SetupValues(request.setup);
      return {AddressCommand(name) + " static " + setup.address + " " + MaskOf(setup.prefixLength) + " " +
              setup.gateway + " " + std::to_string(setup.metric)};
    }
    case Kind::kStartDhcpClient:
      return {AddressCommand(name) + " dhcp"};
    case Kind::kFlushNeighbours:
      return {"arp -d"};
    case Kind::kRestoreAdapter:
      return RestoreCommands(request.state, name);
    case Kind::kSetDnsServers:
      return DnsCommands(request, name);
    default:
      return {};
  }
}
