// The kernel's network tables through rtnetlink. Each call opens its own
// socket, so it works on the network namespace of the calling thread.
#pragma once

#include "netcfg/KernelNetwork.h"

class NetlinkKernel : public IKernelNetwork {
 public:
  bool ListLinks(std::vector<KernelLink>& out) override;
  bool ListIpv4Addresses(std::vector<KernelAddress>& out) override;
  KernelResult ApplyStaticIpv4(const std::string& ifname, const StaticIpv4& setup) override;
  KernelResult RemoveStaticIpv4(const std::string& ifname, const StaticIpv4& setup) override;
  KernelResult FlushNeighbours(const std::string& ifname) override;
  KernelResult ReadAdapter(const std::string& ifname, AdapterState& out) override;
  KernelResult RestoreAdapter(const std::string& ifname, const AdapterState& state) override;
};
