// Reading an adapter's settings into a snapshot and putting them back: the
// kernel's addresses and routes, NetworkManager's profile and the DHCP
// client. The wizard's hand-back and --restore-network share these.
#pragma once

#include <string>
#include <vector>

#include "netcfg/AdapterSnapshot.h"
#include "netcfg/linux/DhcpClient.h"
#include "netcfg/KernelNetwork.h"
#include "platform/linux/ProcessRunner.h"

// How NetworkManager sees an adapter.
struct NetworkManagerDevice {
  bool managed = false;     // it runs, knows the adapter and manages it
  std::string profileUuid;  // the active profile; empty: none
  std::string profileName;
};

class AdapterSettings {
 public:
  // The DHCP client is started through `starter`, or through `runner` with
  // `dhcp`'s files when there is none.
  AdapterSettings(IProcessRunner& runner, IKernelNetwork& kernel, DhcpClientFiles dhcp,
                  DhcpStarter* starter = nullptr)
      : m_runner(runner),
        m_kernel(kernel),
        m_dhcp(std::move(dhcp)),
        m_localStarter(runner, m_dhcp),
        m_starter(starter ? *starter : m_localStarter) {}

  NetworkManagerDevice QueryNetworkManager(const std::string& ifname);
  // The adapter's set-up now, with `nm` as QueryNetworkManager found it.
  bool Snapshot(const std::string& ifname, const NetworkManagerDevice& nm, long long now,
                AdapterSnapshot& out);
  // The DHCP clients that serve the adapter, with their kind.
  std::vector<std::pair<RunningProcess, std::string>> DhcpClients(const std::string& ifname);
  // Stops them, so that no renewal takes our address away.
  void StopDhcpClients(const std::string& ifname);
  // Puts everything back as `snapshot` says, as far as a restore may add
  // (RestorePlan.h). False, with the reason in `error`, when some of it
  // could not be done; what lies beyond the restore's bounds goes to
  // `commands` for an administrator.
  bool PutBack(const AdapterSnapshot& snapshot, long long now, std::string& error,
               std::vector<std::string>& commands);

  IProcessRunner& runner() { return m_runner; }
  IKernelNetwork& kernel() { return m_kernel; }
  const DhcpClientFiles& dhcpFiles() const { return m_dhcp; }
  DhcpStarter& dhcpStarter() { return m_starter; }

 private:
  bool PutBackWithNetworkManager(const AdapterSnapshot& snapshot, std::string& error);
  bool PutBackWithoutNetworkManager(const AdapterSnapshot& snapshot, long long now, std::string& error,
                                    std::vector<std::string>& commands);

  IProcessRunner& m_runner;
  IKernelNetwork& m_kernel;
  DhcpClientFiles m_dhcp;
  LocalDhcpStarter m_localStarter;
  DhcpStarter& m_starter;
};

// The name of the in-memory profile that holds our static address.
std::string BrickfixProfileName(const std::string& ifname);
