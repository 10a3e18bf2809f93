// Adapters, address changes and the router probe on Linux.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "app/Ports.h"
#include "netcfg/DhcpClient.h"
#include "netcfg/KernelNetwork.h"
#include "netcfg/Ping.h"
#include "platform/linux/ProcessRunner.h"

struct LinuxNetOptions {
  DhcpClientFiles dhcp;
  PingSocket ping = PingSocket::kRawOrDatagram;
};

// The adapters are the kernel's links; the connection name is the interface
// name. An address change goes through NetworkManager when it manages the
// adapter (so that it keeps our address when the link drops while the router
// restarts), else straight to the kernel. Safe to call from any thread; each
// call works in the network namespace of its thread.
class LinuxNetOps : public INetOps {
 public:
  // The real machine: rtnetlink and fork/exec.
  LinuxNetOps();
  LinuxNetOps(IProcessRunner& runner, IKernelNetwork& kernel, LinuxNetOptions options = {});

  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit,
                         std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;

 private:
  bool SetStatic(const NetCommand& command);
  bool HandBackToDhcp(const std::string& ifname);
  bool ManagedByNetworkManager(const std::string& ifname);
  bool NetworkManagerStatic(const std::string& ifname, const StaticIpv4& setup);
  bool NetworkManagerHandBack(const std::string& ifname);

  IProcessRunner& m_runner;
  IKernelNetwork& m_kernel;
  const LinuxNetOptions m_options;
  std::mutex m_mutex;
  std::map<std::string, StaticIpv4> m_applied;  // what we set, by adapter
};

// An interface name that is safe to hand to a command or put in a file name:
// what the kernel allows, without a leading '-'.
bool IsSafeInterfaceName(const std::string& name);
