#include "netcfg/linux/LinuxNetOps.h"

#include <arpa/inet.h>
#include <net/if_arp.h>
#include <net/if.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <thread>

#include "netcfg/RestoreReport.h"
#include "netcfg/linux/Netlink.h"
#include "platform/linux/StateDir.h"

namespace {

// Interface types as the adapter list reports them.
constexpr int kTypeOther = 1;
constexpr int kTypeLoopback = 24;
constexpr int kTypeWireless = 71;
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
  if (link.wireless) return kTypeWireless;
  // Bridges, bonds, their ports, VLANs: not an adapter a router is cabled to.
  return IsSuitableAdapter(link) ? MIB_IF_TYPE_ETHERNET : kTypeOther;
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

constexpr const char* kRestoreCommand = "brickfix --restore-network";

LinuxNetOptions SystemOptions() {
  LinuxNetOptions options;
  options.journalDir = StateDirectory();
  return options;
}

}  // namespace

LinuxNetOps::LinuxNetOps() : LinuxNetOps(SystemRunner(), SystemKernel(), SystemOptions()) {}

LinuxNetOps::LinuxNetOps(IProcessRunner& runner, IKernelNetwork& kernel, LinuxNetOptions options)
    : m_runner(runner),
      m_kernel(kernel),
      m_options(std::move(options)),
      m_settings(runner, kernel, m_options.dhcp, m_options.dhcpStarter),
      m_journal(m_options.journalDir),
      m_leftAtStart(m_journal.AdaptersOf(CurrentNetworkNamespace())) {}

long long LinuxNetOps::Now() const {
  return m_options.now ? m_options.now() : static_cast<long long>(std::time(nullptr));
}

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
    case NetCommand::kArpFlush: {
      std::string adapter = command.adapter;
      if (adapter.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        adapter = m_lastAdapter;
      }
      return IsSafeInterfaceName(adapter) && m_kernel.FlushNeighbours(adapter) != KernelResult::kRefused;
    }
  }
  return false;
}

bool LinuxNetOps::PingHost(const char* address) {
  std::string adapter, router;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    adapter = m_lastAdapter;
    router = m_lastRouter;
  }
  // The router of our set-up is probed by the network helper, from the
  // adapter; nothing else ever gets a raw socket.
  if (m_options.probeRouter && !adapter.empty() && address && router == address) {
    if (std::optional<bool> reached = m_options.probeRouter(adapter)) return *reached;
  }
  return PingOnce(address, m_options.ping);
}

void LinuxNetOps::Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The first change of a run keeps what the adapter had. A journal that an
// earlier run left holds the adapter's own settings (it is still changed
// now): it stays as it is.
void LinuxNetOps::RememberBeforeFirstChange(const std::string& ifname, const NetworkManagerDevice& nm) {
  std::string error;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_changes.find(ifname); it != m_changes.end()) {
      // Handed back and changed again: the journal comes back too.
      if (it->second.settled) {
        it->second.settled = false;
        it->second.journaled = m_journal.Save(it->second.snapshot, error);
      }
      return;
    }
  }
  Change change;
  if (m_journal.Load(ifname, change.snapshot, error)) {
    change.journaled = true;
  } else {
    if (!error.empty()) std::fprintf(stderr, "brickfix: %s; a new journal replaces it\n", error.c_str());
    if (!m_settings.Snapshot(ifname, nm, Now(), change.snapshot)) return;  // no such adapter
    change.snapshot.netns = CurrentNetworkNamespace();
    change.journaled = m_journal.Save(change.snapshot, error);
    if (!change.journaled && !m_journal.Dir().empty()) {
      std::fprintf(stderr, "brickfix: cannot keep the settings of %s: %s\n", ifname.c_str(), error.c_str());
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_changes.emplace(ifname, std::move(change));
}

bool LinuxNetOps::SetStatic(const NetCommand& command) {
  std::optional<int> prefix = PrefixLength(command.mask);
  // A mask that is none is refused like any other bad value: the request ran
  // and failed.
  if (!prefix) return true;
  StaticIpv4 setup{command.address, *prefix, command.gateway, command.metric};
  NetworkManagerDevice nm = m_settings.QueryNetworkManager(command.adapter);
  RememberBeforeFirstChange(command.adapter, nm);
  std::string servedBy;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastAdapter = command.adapter;
    m_lastRouter = command.gateway;
    if (auto it = m_changes.find(command.adapter); it != m_changes.end()) servedBy = it->second.snapshot.dhcpClient;
  }
  if (nm.managed) return NetworkManagerStatic(command.adapter, setup);
  // A renewal of the client's lease must not take our address away; the
  // helper starts it again should it put the adapter back without us.
  m_settings.dhcpStarter().NoteServedBefore(command.adapter, servedBy);
  m_settings.StopDhcpClients(command.adapter);
  if (m_kernel.ApplyStaticIpv4(command.adapter, setup) == KernelResult::kRefused) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_applied[command.adapter] = setup;
  return true;
}

// A hand-back that DHCP (or NetworkManager's own profile) completes brings
// back all the adapter had: its journal goes.
void LinuxNetOps::Settle(const std::string& ifname) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_changes.find(ifname);
  if (it == m_changes.end() || it->second.snapshot.HasOwnStaticAddress()) return;
  if (m_journal.Remove(ifname)) it->second.settled = true;
}

bool LinuxNetOps::HandBackToDhcp(const std::string& ifname) {
  std::string profileUuid, preferredClient;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_changes.find(ifname); it != m_changes.end()) {
      profileUuid = it->second.snapshot.profileUuid;
      preferredClient = it->second.snapshot.dhcpClient;
    }
  }
  if (m_settings.QueryNetworkManager(ifname).managed) {
    if (!NetworkManagerHandBack(ifname, profileUuid)) return false;
    Settle(ifname);
    return true;
  }
  // Without a client to take over, our address stays rather than leaving
  // the adapter with none.
  DhcpClient client = FindDhcpClient(m_runner, ifname, m_options.dhcp, preferredClient);
  if (client.argv.empty()) return false;
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
  if (!m_settings.dhcpStarter().Start(ifname, preferredClient)) return false;
  Settle(ifname);
  return true;
}

// Our own profile, kept in memory only and preferred for the adapter, holds
// the static address: unlike a change of the active settings it survives the
// link going down and up while the router restarts.
bool LinuxNetOps::NetworkManagerStatic(const std::string& ifname, const StaticIpv4& setup) {
  const std::string profile = BrickfixProfileName(ifname);
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

// Dropping our profile and bringing up the adapter's own one (normally DHCP)
// again; without one known, NetworkManager picks. nmcli does not wait for
// the lease.
bool LinuxNetOps::NetworkManagerHandBack(const std::string& ifname, const std::string& profileUuid) {
  if (!m_runner.Run({"nmcli", "connection", "delete", BrickfixProfileName(ifname)}).started) return false;
  if (profileUuid.empty()) {
    return m_runner.Run({"nmcli", "--wait", "0", "device", "connect", ifname}).started;
  }
  return m_runner.Run({"nmcli", "--wait", "0", "connection", "up", "uuid", profileUuid, "ifname", ifname})
      .started;
}

std::string LinuxNetOps::DescribeChangedAdapters() {
  std::vector<std::pair<std::string, Change>> changed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [ifname, change] : m_changes) {
      if (!change.settled) changed.emplace_back(ifname, change);
    }
  }
  std::string out;
  for (const auto& [ifname, change] : changed) {
    AdapterState now;
    std::string addresses;
    if (m_kernel.ReadAdapter(ifname, now) == KernelResult::kDone) {
      for (const AdapterAddress& address : now.addresses) {
        if (!addresses.empty()) addresses += ", ";
        addresses += address.address + "/" + std::to_string(address.prefixLength);
      }
    }
    // In the log's language, like the log that came before it.
    out += ChangedAdapterLine(ifname, addresses, change.snapshot.AddressList(), change.journaled, kRestoreCommand,
                              m_journal.Dir(), "系统的网络设置");
  }
  return out;
}

int RestoreFromJournal(AdapterSettings& settings, const AdapterJournal& journal, long long now,
                       unsigned long long netns, std::string& report) {
  std::vector<std::string> adapters = journal.Adapters();
  if (adapters.empty()) {
    report += NothingToRestoreLine();
    return 0;
  }
  int status = 0;
  for (const std::string& ifname : adapters) {
    AdapterSnapshot snapshot;
    std::string error;
    std::vector<std::string> commands;
    bool loaded = journal.Load(ifname, snapshot, error);
    if (loaded && snapshot.netns != 0 && snapshot.netns != netns) {
      report += OtherNamespaceLine(ifname);
      continue;
    }
    if (loaded && settings.PutBack(snapshot, now, error, commands) && journal.Remove(ifname)) {
      report += RestoredLine(ifname, snapshot.AddressList());
      continue;
    }
    if (error.empty()) error = "its journal cannot be removed from " + journal.Dir();
    report += NotRestoredLines(ifname, journal.PathOf(ifname), error, commands);
    status = 1;
  }
  return status;
}

int RestoreNetwork(IKernelNetwork& kernel, DhcpStarter& dhcp, std::string& report) {
  AdapterSettings settings(SystemRunner(), kernel, {}, &dhcp);
  return RestoreFromJournal(settings, AdapterJournal(StateDirectory()),
                            static_cast<long long>(std::time(nullptr)), CurrentNetworkNamespace(), report);
}
