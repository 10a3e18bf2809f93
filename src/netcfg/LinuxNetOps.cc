#include "netcfg/LinuxNetOps.h"

#include <arpa/inet.h>
#include <net/if_arp.h>
#include <net/if.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "netcfg/Netlink.h"

namespace {

// Interface types as the adapter list reports them.
constexpr int kTypeOther = 1;
constexpr int kTypeLoopback = 24;
constexpr int kTypeWireless = 71;
constexpr int kNmStateUnmanaged = 10;
constexpr const char* kNmWait = "10";  // seconds nmcli waits for an activation

IProcessRunner& SystemRunner() {
  static PosixProcessRunner runner;
  return runner;
}

IKernelNetwork& SystemKernel() {
  static NetlinkKernel kernel;
  return kernel;
}

int AdapterType(const KernelLink& link) {
  if (link.type == ARPHRD_LOOPBACK) return kTypeLoopback;
  if (link.type != ARPHRD_ETHER) return kTypeOther;
  return link.wireless ? kTypeWireless : MIB_IF_TYPE_ETHERNET;
}

// The prefix length of a dotted mask; nothing for a mask that is not one.
std::optional<int> PrefixLength(const std::string& mask) {
  in_addr address{};
  if (inet_pton(AF_INET, mask.c_str(), &address) != 1) return std::nullopt;
  uint32_t bits = ntohl(address.s_addr);
  int length = std::popcount(bits);
  if (length > 0 && bits != ~0u << (32 - length)) return std::nullopt;
  return length;
}

std::string ProfileName(const std::string& ifname) { return "brickfix-" + ifname; }

}  // namespace

bool IsSafeInterfaceName(const std::string& name) {
  if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == ".." || name[0] == '-') {
    return false;
  }
  for (unsigned char c : name) {
    if (c <= ' ' || c == '/' || c == ':' || c == 0x7f) return false;
  }
  return true;
}

LinuxNetOps::LinuxNetOps() : LinuxNetOps(SystemRunner(), SystemKernel()) {}

LinuxNetOps::LinuxNetOps(IProcessRunner& runner, IKernelNetwork& kernel, LinuxNetOptions options)
    : m_runner(runner), m_kernel(kernel), m_options(std::move(options)) {}

bool LinuxNetOps::GetAdapters(std::vector<AdapterRecord>& out) {
  std::vector<KernelLink> links;
  std::vector<KernelAddress> addresses;
  if (!m_kernel.ListLinks(links) || links.empty() || !m_kernel.ListIpv4Addresses(addresses)) {
    return false;
  }
  out.clear();
  for (const KernelLink& link : links) {
    AdapterRecord record{link.name, AdapterType(link), "0.0.0.0"};
    for (const KernelAddress& address : addresses) {
      if (address.index == link.index) {
        record.ipAddress = address.address;
        break;
      }
    }
    out.push_back(record);
  }
  return true;
}

bool LinuxNetOps::GetConnectionName(const AdapterRecord& adapter, std::size_t limit,
                                    std::string& name) {
  if (adapter.id.empty() || adapter.id.size() + 1 > limit) return false;
  name = adapter.id;
  return true;
}

bool LinuxNetOps::Execute(const NetCommand& command) {
  // The adapter name ends up in command arguments and file names: a name
  // that could pass for an option or a path is not carried out at all.
  switch (command.kind) {
    case NetCommand::kStatic:
      return IsSafeInterfaceName(command.adapter) && SetStatic(command);
    case NetCommand::kDhcp:
      return IsSafeInterfaceName(command.adapter) && HandBackToDhcp(command.adapter);
    case NetCommand::kArpFlush:
      return m_kernel.FlushNeighbours() != KernelResult::kRefused;
  }
  return false;
}

bool LinuxNetOps::PingHost(const char* address) { return PingOnce(address, m_options.ping); }

void LinuxNetOps::Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool LinuxNetOps::SetStatic(const NetCommand& command) {
  std::optional<int> prefix = PrefixLength(command.mask);
  // A mask that is none is refused like any other bad value: the request ran
  // and failed.
  if (!prefix) return true;
  StaticIpv4 setup{command.address, *prefix, command.gateway, command.metric};
  if (ManagedByNetworkManager(command.adapter)) {
    return NetworkManagerStatic(command.adapter, setup);
  }
  if (m_kernel.ApplyStaticIpv4(command.adapter, setup) == KernelResult::kRefused) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_applied[command.adapter] = setup;
  return true;
}

bool LinuxNetOps::HandBackToDhcp(const std::string& ifname) {
  if (ManagedByNetworkManager(ifname)) return NetworkManagerHandBack(ifname);
  std::optional<StaticIpv4> applied;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_applied.find(ifname); it != m_applied.end()) applied = it->second;
  }
  if (applied) {
    if (m_kernel.RemoveStaticIpv4(ifname, *applied) == KernelResult::kRefused) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_applied.erase(ifname);
  }
  DhcpClient client = FindDhcpClient(m_runner, ifname, m_options.dhcp);
  if (client.argv.empty()) return false;
  StopPreviousClient(client);
  return m_runner.Start(client.argv).started;
}

bool LinuxNetOps::ManagedByNetworkManager(const std::string& ifname) {
  if (m_runner.Find("nmcli").empty()) return false;
  ProcessResult state = m_runner.Run({"nmcli", "-g", "GENERAL.STATE", "device", "show", ifname});
  // A device NetworkManager does not know, or NetworkManager not running,
  // ends nmcli with a non-zero status.
  return state.started && state.status == 0 &&
         std::atoi(state.output.c_str()) > kNmStateUnmanaged;
}

// Our own profile, kept in memory only and preferred for the adapter, holds
// the static address: unlike a change of the active settings it survives the
// link going down and up while the router restarts.
bool LinuxNetOps::NetworkManagerStatic(const std::string& ifname, const StaticIpv4& setup) {
  const std::string profile = ProfileName(ifname);
  const std::vector<std::string> settings = {
      "ipv4.method", "manual",
      "ipv4.addresses", setup.address + "/" + std::to_string(setup.prefixLength),
      "ipv4.gateway", setup.gateway,
      "ipv4.route-metric", std::to_string(setup.metric)};
  std::vector<std::string> modify = {"nmcli", "connection", "modify", "--temporary", profile};
  modify.insert(modify.end(), settings.begin(), settings.end());
  ProcessResult modified = m_runner.Run(modify);
  if (!modified.started) return false;
  if (modified.status != 0) {
    std::vector<std::string> add = {"nmcli", "connection", "add", "save", "no",
                                    "type", "ethernet", "con-name", profile, "ifname", ifname,
                                    "connection.autoconnect", "yes",
                                    "connection.autoconnect-priority", "999",
                                    "ipv6.method", "ignore"};
    add.insert(add.end(), settings.begin(), settings.end());
    if (!m_runner.Run(add).started) return false;
  }
  // Without a cable the activation fails at once; the profile then comes up
  // by itself when the link does.
  return m_runner.Run({"nmcli", "--wait", kNmWait, "connection", "up", profile}).started;
}

// Dropping our profile lets the adapter's own profile (normally DHCP) take
// over again; nmcli does not wait for the lease.
bool LinuxNetOps::NetworkManagerHandBack(const std::string& ifname) {
  if (!m_runner.Run({"nmcli", "connection", "delete", ProfileName(ifname)}).started) return false;
  return m_runner.Run({"nmcli", "--wait", "0", "device", "connect", ifname}).started;
}
