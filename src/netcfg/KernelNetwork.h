// The kernel's network tables, as far as the adapter commands need them. The
// real one speaks rtnetlink; tests use a recording fake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct KernelLink {
  int index = 0;
  std::string name;
  unsigned type = 0;      // ARPHRD_* hardware type
  bool wireless = false;  // a Wi-Fi device (which also reports ARPHRD_ETHER)
  std::string kind;       // a virtual device's kind ("bridge", "vlan", "veth"...); empty: hardware
  int master = 0;         // the bridge or bond it is a port of; 0: none
  bool up = true;         // switched on (IFF_UP), as an administrator left it
};

// A wired Ethernet adapter that can take an address of its own: Ethernet
// hardware (USB adapters included) or one end of a veth pair; not Wi-Fi, not
// a bridge, bond, team, VLAN, macvlan or other virtual device, not a port of
// a bridge or bond, and with a name that is safe to pass on.
bool IsSuitableAdapter(const KernelLink& link);

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

// One IPv4 address of an adapter, as the kernel holds it.
struct AdapterAddress {
  static constexpr uint32_t kForever = 0xffffffff;
  std::string address;
  int prefixLength = 0;
  std::string broadcast;  // empty: none
  std::string label;      // empty: the interface's own name
  bool permanent = true;  // set by hand (or a static profile), not leased
  bool noPrefixRoute = false;
  uint32_t validLifetime = kForever;  // seconds left
  uint32_t preferredLifetime = kForever;
  bool operator==(const AdapterAddress&) const = default;
};

// One IPv4 route that leaves through an adapter. The routes the kernel makes
// by itself for an address are not listed: they come back with it.
struct AdapterRoute {
  std::string destination = "0.0.0.0";
  int prefixLength = 0;
  std::string gateway;  // empty: on the link
  std::string source;   // preferred source address; empty: none
  uint32_t metric = 0;
  uint32_t table = 254;  // main
  int protocol = 0;      // RTPROT_*: who made it
  int scope = 0;         // RT_SCOPE_*
  int type = 1;          // RTN_UNICAST
  bool operator==(const AdapterRoute&) const = default;
};

// An adapter's IPv4 set-up: whether its link is up, its addresses (the
// primary first, in the kernel's order) and the routes through it.
struct AdapterState {
  bool up = false;
  std::vector<AdapterAddress> addresses;
  std::vector<AdapterRoute> routes;
  bool operator==(const AdapterState&) const = default;
};

// The same entry of the kernel's tables: an address by address and prefix;
// a route by destination, gateway, metric, table and type.
bool SameAddress(const AdapterAddress& a, const AdapterAddress& b);
bool SameRoute(const AdapterRoute& a, const AdapterRoute& b);

// An interface name that is safe to hand to a command or put in a file name:
// what the kernel allows, without a leading '-'.
bool IsSafeInterfaceName(const std::string& name);

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
  // Empties the adapter's part of the IPv4 neighbour (ARP) table; permanent
  // entries stay.
  virtual KernelResult FlushNeighbours(const std::string& ifname) = 0;
  // Reads the adapter's IPv4 set-up. kFailed when there is no such adapter.
  virtual KernelResult ReadAdapter(const std::string& ifname, AdapterState& out) = 0;
  // Gives the adapter exactly `state`: addresses and routes that it does
  // not list go, missing ones are added (with the lifetimes it gives), and
  // the link goes up or down.
  virtual KernelResult RestoreAdapter(const std::string& ifname, const AdapterState& state) = 0;
};
