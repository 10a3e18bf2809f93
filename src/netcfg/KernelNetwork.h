// The kernel's network tables, as far as the adapter commands need them. The
// real one speaks rtnetlink; tests use a recording fake.
#pragma once

#include <string>
#include <vector>

struct KernelLink {
  int index = 0;
  std::string name;
  unsigned type = 0;      // ARPHRD_* hardware type
  bool wireless = false;  // a Wi-Fi device (which also reports ARPHRD_ETHER)
};

struct KernelAddress {
  int index = 0;  // interface index
  std::string address;
  int prefixLength = 0;
};

// A static IPv4 set-up of one adapter: one address and a default route.
struct StaticIpv4 {
  std::string address;
  int prefixLength = 24;
  std::string gateway;
  int metric = 1;
  bool operator==(const StaticIpv4&) const = default;
};

// How a change of the kernel's tables went.
enum class KernelResult {
  kDone,
  kFailed,   // the kernel was asked and said no (no such adapter, bad address...)
  kRefused,  // it could not be asked: no netlink socket, or not permitted
};

class IKernelNetwork {
 public:
  virtual ~IKernelNetwork() = default;
  // Every link, in the kernel's order. False when the kernel cannot be asked.
  virtual bool ListLinks(std::vector<KernelLink>& out) = 0;
  // Every IPv4 address, in the kernel's order (an adapter's primary first).
  virtual bool ListIpv4Addresses(std::vector<KernelAddress>& out) = 0;
  // Leaves `ifname` with `setup`'s address as its only IPv4 address, its link
  // up, and a default route through the gateway with the metric as its only
  // default route.
  virtual KernelResult ApplyStaticIpv4(const std::string& ifname, const StaticIpv4& setup) = 0;
  // Takes that address and route away again; what is already gone is no error.
  virtual KernelResult RemoveStaticIpv4(const std::string& ifname, const StaticIpv4& setup) = 0;
  // Empties the IPv4 neighbour (ARP) table; permanent entries stay.
  virtual KernelResult FlushNeighbours() = 0;
};
