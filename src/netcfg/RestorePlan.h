// What a restore from the journal may put on an adapter, and the plan that
// splits the journal into what the network helper applies and what is left
// to an administrator. Plain data, no system call: the same shape serves
// every system's journal.
//
// The journal lies in the user's own folder, so whoever can write there can
// write it. A restore therefore adds only what lies within these bounds:
// - addresses: unicast host addresses (not 0/8, 127/8, multicast or
//   reserved) with a prefix of 8 to 32, neither their subnet's network nor
//   its broadcast address;
// - routes of the main table, ordinary ones, with a metric of at least
//   kMinRestoredMetric (so that none comes before the routes the system
//   made itself), made with the protocol "static":
//   on the link only to a network inside one of the addresses' subnets
//   (never the default route); through a gateway only when the gateway lies
//   in one of those subnets; a preferred source only among the addresses.
// What the adapter has now may stay, whatever it is: keeping it adds nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netcfg/KernelNetwork.h"

// The lowest metric a restored route may have.
constexpr std::uint32_t kMinRestoredMetric = 100;
// The routing protocol a restored route gets (RTPROT_STATIC).
constexpr int kStaticRouteProtocol = 4;

bool IsRestorableAddress(const AdapterAddress& address);
// `addresses`: what the adapter will have.
bool IsRestorableRoute(const AdapterRoute& route, const std::vector<AdapterAddress>& addresses);

// True when every address and route of `wanted` is either on the adapter
// (`now`) as it is or restorable; else false with the first that is not in
// `why`.
bool RestoreBoundsHold(const AdapterState& wanted, const AdapterState& now, std::string& why);

// The same for a system whose restore replaces the adapter's addresses and
// default gateways as a whole (Windows, with netsh): nothing the adapter has
// counts, and a gateway metric of 0 (the system chooses it) is within
// bounds.
bool ReplacingRestoreBoundsHold(const AdapterState& wanted, std::string& why);

struct RestorePlan {
  // What the helper is asked to give the adapter: what of the journal it
  // has now, plus what is missing and restorable; the link as it is now.
  AdapterState request;
  // What the journal lists beyond that, as `ip` commands for an
  // administrator (an address or route to add, a link to switch).
  std::vector<std::string> commands;
};

// `journal`: what the adapter had (leases already shortened to now);
// `now`: what it has. Anything on it that the journal does not list is left
// out of the request, so the helper takes it away.
RestorePlan PlanRestore(const std::string& ifname, const AdapterState& journal, const AdapterState& now);

// The commands that give `ifname` the address or route.
std::string AddressCommand(const std::string& ifname, const AdapterAddress& address);
std::string RouteCommand(const std::string& ifname, const AdapterRoute& route);
