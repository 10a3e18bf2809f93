#include "netcfg/windows/WinLinkMonitor.h"

#include <algorithm>

#include "os/Sockets.h"

#include <iphlpapi.h>
#include <netioapi.h>
#include <objbase.h>

namespace {

bool Contains(const std::vector<LinkReading::Neighbour>& list, const LinkReading::Neighbour& n) {
  return std::find(list.begin(), list.end(), n) != list.end();
}

std::uint32_t HostOrder(const SOCKADDR_INET& address) { return ntohl(address.Ipv4.sin_addr.s_addr); }

// A neighbour that traffic resolved: not a static entry (the broadcast
// address is one), not still or no longer being resolved, a unicast
// hardware address.
bool Resolved(const MIB_IPNET_ROW2& row, std::uint64_t& mac) {
  if (row.State != NlnsReachable && row.State != NlnsStale && row.State != NlnsDelay && row.State != NlnsProbe) {
    return false;
  }
  if (row.PhysicalAddressLength != 6 || (row.PhysicalAddress[0] & 1)) return false;
  mac = 0;
  for (int i = 0; i < 6; ++i) mac = mac << 8 | row.PhysicalAddress[i];
  return mac != 0;
}

}  // namespace

LinkReading ReadLink(std::uint32_t index) {
  LinkReading reading;
  MIB_IF_ROW2 row{};
  row.InterfaceIndex = index;
  if (GetIfEntry2(&row) == NO_ERROR) {
    reading.carrier = row.MediaConnectState == MediaConnectStateConnected ||
                      (row.MediaConnectState == MediaConnectStateUnknown && row.OperStatus == IfOperStatusUp);
  }
  PMIB_UNICASTIPADDRESS_TABLE addresses = nullptr;
  if (GetUnicastIpAddressTable(AF_INET, &addresses) == NO_ERROR) {
    for (ULONG i = 0; i < addresses->NumEntries; ++i) {
      const MIB_UNICASTIPADDRESS_ROW& a = addresses->Table[i];
      if (a.InterfaceIndex != index || a.DadState == IpDadStateInvalid || a.DadState == IpDadStateDuplicate) continue;
      reading.addresses.push_back(HostOrder(a.Address));
    }
    FreeMibTable(addresses);
  }
  PMIB_IPNET_TABLE2 neighbours = nullptr;
  if (GetIpNetTable2(AF_INET, &neighbours) == NO_ERROR) {
    for (ULONG i = 0; i < neighbours->NumEntries; ++i) {
      const MIB_IPNET_ROW2& n = neighbours->Table[i];
      std::uint64_t mac = 0;
      if (n.InterfaceIndex == index && Resolved(n, mac)) reading.neighbours.push_back({HostOrder(n.Address), mac});
    }
    FreeMibTable(neighbours);
  }
  return reading;
}

void LinkChanges::Take(const LinkReading& now, observe::ILinkSink& sink) {
  if (!m_last || m_last->carrier != now.carrier) sink.OnCarrier(now.carrier);
  if (!m_last || m_last->addresses != now.addresses) sink.OnAddresses(now.addresses);
  if (m_last) {
    for (const LinkReading::Neighbour& n : now.neighbours) {
      if (!Contains(m_last->neighbours, n)) sink.OnNeighbour(n.address);
    }
  }
  m_last = now;
}

bool WinLinkMonitor::Start(const std::string& adapter, observe::ILinkSink& sink) {
  Stop();
  std::uint32_t index = 0;
  std::string guid;
  if (!m_find || !m_find(adapter, index, guid) || index == 0) return false;
  m_stop = false;
  m_thread = std::thread([this, index, guid, &sink] { Watch(index, guid, &sink); });
  return true;
}

void WinLinkMonitor::Stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void WinLinkMonitor::Watch(std::uint32_t index, std::string guid, observe::ILinkSink* sink) {
  bool com = m_firewall && SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  LinkChanges changes;
  std::optional<observe::FirewallInfo> told;
  auto nextFirewall = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_stop) {
    lock.unlock();
    changes.Take(ReadLink(index), *sink);
    if (com && std::chrono::steady_clock::now() >= nextFirewall) {
      observe::FirewallInfo firewall = m_firewall(guid);
      if (told != firewall) sink->OnFirewall(firewall);
      told = firewall;
      nextFirewall = std::chrono::steady_clock::now() + kFirewallInterval;
    }
    lock.lock();
    m_wake.wait_for(lock, kInterval, [this] { return m_stop; });
  }
  lock.unlock();
  if (com) CoUninitialize();
}
