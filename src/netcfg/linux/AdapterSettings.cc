#include "netcfg/linux/AdapterSettings.h"

#include <net/if_arp.h>

#include <cstdlib>
#include <sstream>

#include "netcfg/RestorePlan.h"

namespace {

constexpr int kNmStateUnmanaged = 10;

// A value of nmcli's terse output, with its escapes ("\:", "\\") undone.
std::string Unescape(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

}  // namespace

std::string BrickfixProfileName(const std::string& ifname) { return "brickfix-" + ifname; }

NetworkManagerDevice AdapterSettings::QueryNetworkManager(const std::string& ifname) {
  NetworkManagerDevice device;
  if (m_runner.Find("nmcli").empty()) return device;
  ProcessResult state = m_runner.Probe(
      {"nmcli", "-g", "GENERAL.STATE,GENERAL.CON-UUID,GENERAL.CONNECTION", "device", "show", ifname});
  // A device NetworkManager does not know, or NetworkManager not running,
  // ends nmcli with a non-zero status.
  if (!state.started || state.status != 0 || std::atoi(state.output.c_str()) <= kNmStateUnmanaged) {
    return device;
  }
  device.managed = true;
  std::istringstream lines(state.output);
  std::string line;
  std::getline(lines, line);
  if (std::getline(lines, line)) device.profileUuid = Unescape(line);
  if (std::getline(lines, line)) device.profileName = Unescape(line);
  // Our own profile, left active by a run that was killed, is not the
  // adapter's own.
  if (device.profileName == BrickfixProfileName(ifname)) {
    device.profileUuid.clear();
    device.profileName.clear();
  }
  return device;
}

bool AdapterSettings::Snapshot(const std::string& ifname, const NetworkManagerDevice& nm, long long now,
                               AdapterSnapshot& out) {
  out = AdapterSnapshot{};
  out.ifname = ifname;
  out.takenAt = now;
  if (m_kernel.ReadAdapter(ifname, out.kernel) != KernelResult::kDone) return false;
  out.networkManager = nm.managed;
  out.profileUuid = nm.profileUuid;
  out.profileName = nm.profileName;
  if (!nm.managed) {
    std::vector<std::pair<RunningProcess, std::string>> clients = DhcpClients(ifname);
    if (!clients.empty()) out.dhcpClient = clients.front().second;
  }
  return true;
}

std::vector<std::pair<RunningProcess, std::string>> AdapterSettings::DhcpClients(const std::string& ifname) {
  std::vector<std::pair<RunningProcess, std::string>> out;
  for (RunningProcess& process : m_runner.ListProcesses()) {
    std::string kind = DhcpClientServing(process, ifname);
    if (!kind.empty()) out.emplace_back(std::move(process), kind);
  }
  return out;
}

void AdapterSettings::StopDhcpClients(const std::string& ifname) {
  for (const auto& [process, kind] : DhcpClients(ifname)) m_runner.StopProcess(process);
}

bool AdapterSettings::PutBack(const AdapterSnapshot& snapshot, long long now, std::string& error,
                              std::vector<std::string>& commands) {
  std::vector<KernelLink> links;
  bool ethernet = false, known = false;
  if (m_kernel.ListLinks(links)) {
    for (const KernelLink& link : links) {
      if (link.name != snapshot.ifname) continue;
      known = true;
      ethernet = IsSuitableAdapter(link);
    }
  }
  if (!known || !ethernet) {
    error = known ? "not a wired Ethernet adapter of its own" : "no such adapter here";
    return false;
  }
  return snapshot.networkManager ? PutBackWithNetworkManager(snapshot, error)
                                 : PutBackWithoutNetworkManager(snapshot, now, error, commands);
}

bool AdapterSettings::PutBackWithNetworkManager(const AdapterSnapshot& snapshot, std::string& error) {
  const std::string& ifname = snapshot.ifname;
  // Our profile is gone already when the run got as far as its hand-back.
  ProcessResult deleted = m_runner.Probe({"nmcli", "connection", "delete", BrickfixProfileName(ifname)});
  if (!deleted.started) {
    error = "nmcli cannot be started";
    return false;
  }
  ProcessResult done =
      snapshot.profileUuid.empty()
          ? m_runner.Probe({"nmcli", "device", "disconnect", ifname})
          : m_runner.Run({"nmcli", "--wait", "0", "connection", "up", "uuid", snapshot.profileUuid,
                          "ifname", ifname});
  // Disconnecting a device that is not connected is what we want anyway.
  if (!done.started || (done.status != 0 && !snapshot.profileUuid.empty())) {
    error = "NetworkManager did not take back the profile \"" + snapshot.profileName + "\"";
    return false;
  }
  return true;
}

bool AdapterSettings::PutBackWithoutNetworkManager(const AdapterSnapshot& snapshot, long long now,
                                                   std::string& error, std::vector<std::string>& commands) {
  const std::string& ifname = snapshot.ifname;
  // A client that did not serve the adapter before (ours, from a hand-back)
  // would replace what is put back.
  if (snapshot.dhcpClient.empty()) StopDhcpClients(ifname);
  AdapterState present;
  KernelResult result = m_kernel.ReadAdapter(ifname, present);
  RestorePlan plan = PlanRestore(ifname, snapshot.KernelStateAt(now), present);
  if (result == KernelResult::kDone) result = m_kernel.RestoreAdapter(ifname, plan.request);
  if (result != KernelResult::kDone) {
    error = result == KernelResult::kRefused ? "not permitted to change the adapter"
                                             : "the kernel refused some of the addresses or routes";
    return false;
  }
  if (!snapshot.dhcpClient.empty() && DhcpClients(ifname).empty() &&
      !m_starter.Start(ifname, snapshot.dhcpClient)) {
    error = "the DHCP client could not be started again";
    return false;
  }
  if (!plan.commands.empty()) {
    commands = plan.commands;
    error = "its journal lists more than a restore adds (routes below metric " +
            std::to_string(kMinRestoredMetric) + ", networks beyond its own subnets...)";
    return false;
  }
  return true;
}
