// Adapters, address changes and the router probe on Linux.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/Ports.h"
#include "netcfg/linux/AdapterSettings.h"
#include "netcfg/linux/DhcpClient.h"
#include "netcfg/linux/Journal.h"
#include "netcfg/KernelNetwork.h"
#include "netcfg/linux/Ping.h"
#include "platform/linux/ProcessRunner.h"

struct LinuxNetOptions {
  DhcpClientFiles dhcp;
  // Starts the DHCP client; when not given, the runner does with `dhcp`.
  DhcpStarter* dhcpStarter = nullptr;
  // The probe's own socket, when the network helper does not probe.
  PingSocket ping = PingSocket::kDatagramOnly;
  // The network helper's probe of the router of the set-up an adapter has
  // (nothing when it cannot probe); PingHost asks it for the router of the
  // set-up we gave last.
  std::function<std::optional<bool>(const std::string& ifname)> probeRouter;
  // The state folder for the adapter journals; empty: snapshots are kept in
  // memory only.
  std::string journalDir;
  // Seconds since the epoch; the system clock when not set.
  std::function<long long()> now;
};

// The adapters are the kernel's links; the connection name is the interface
// name. An address change goes through NetworkManager when it manages the
// adapter (so that it keeps our address when the link drops while the router
// restarts), else straight to the kernel. Before the first change of an
// adapter its settings go to the journal, and a DHCP client that serves it
// is stopped; the hand-back starts one again and, when DHCP brings back all
// the adapter had, removes the journal. Safe to call from any thread; each
// call works in the network namespace of its thread.
class LinuxNetOps : public INetOps {
 public:
  // The real machine: rtnetlink, fork/exec and the state folder.
  LinuxNetOps();
  LinuxNetOps(IProcessRunner& runner, IKernelNetwork& kernel, LinuxNetOptions options = {});

  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit,
                         std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;
  std::vector<std::string> AdaptersLeftChanged() override { return m_leftAtStart; }

  // For the end of the run: one line per adapter that is still not back to
  // its own settings, naming what it has and how to put it back.
  std::string DescribeChangedAdapters();

 private:
  struct Change {
    AdapterSnapshot snapshot;
    bool journaled = false;  // the journal on disk holds it
    bool settled = false;    // handed back with all it had
  };

  bool SetStatic(const NetCommand& command);
  bool HandBackToDhcp(const std::string& ifname);
  void RememberBeforeFirstChange(const std::string& ifname, const NetworkManagerDevice& nm);
  void Settle(const std::string& ifname);
  bool NetworkManagerStatic(const std::string& ifname, const StaticIpv4& setup);
  bool NetworkManagerHandBack(const std::string& ifname, const std::string& profileUuid);
  long long Now() const;

  IProcessRunner& m_runner;
  IKernelNetwork& m_kernel;
  const LinuxNetOptions m_options;
  AdapterSettings m_settings;
  AdapterJournal m_journal;
  std::vector<std::string> m_leftAtStart;
  std::mutex m_mutex;
  std::map<std::string, StaticIpv4> m_applied;  // what we set, by adapter
  std::map<std::string, Change> m_changes;      // adapters we changed, by name
  std::string m_lastAdapter;                    // the adapter of the last set-up
  std::string m_lastRouter;                     // and its router's address
};

// brickfix --restore-network: puts back every adapter of network namespace
// `netns` that the journal in `journal` lists and removes their journals.
// One line per adapter (or one saying there is nothing to do) goes to
// `report`, with the commands for what a restore does not add. 0 when every
// adapter is back, 1 otherwise. Journals of other namespaces stay as they
// are.
int RestoreFromJournal(AdapterSettings& settings, const AdapterJournal& journal, long long now,
                       unsigned long long netns, std::string& report);
// The same on the real machine with the state folder's journal, the kernel's
// tables changed through `kernel` and the DHCP client started by `dhcp`.
int RestoreNetwork(IKernelNetwork& kernel, DhcpStarter& dhcp, std::string& report);
