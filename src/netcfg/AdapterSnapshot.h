// What an adapter had before we changed it, as plain data, and its text
// form in the journal. Nothing here touches the machine.
#pragma once

#include <string>
#include <vector>

#include "netcfg/KernelNetwork.h"

// What Windows keeps of an adapter's IPv4 settings beyond its addresses
// (its static addresses are the snapshot's permanent ones, its default
// gateways the default routes).
struct WindowsSettings {
  bool present = false;     // the snapshot is of a Windows adapter
  bool dhcp = true;         // the addresses come from DHCP
  bool dnsFromDhcp = true;  // so do the DNS servers; else these, in order
  std::vector<std::string> dnsServers;
  bool operator==(const WindowsSettings&) const = default;
};

struct AdapterSnapshot {
  std::string ifname;  // on Windows the adapter's GUID (IsAdapterGuid)
  // The network namespace the adapter belongs to (its inode number, as
  // /proc/self/ns/net names it); 0 in a journal of an earlier version.
  unsigned long long netns = 0;
  long long takenAt = 0;  // seconds since the epoch
  AdapterState kernel;    // link, IPv4 addresses, routes through it
  bool networkManager = false;  // NetworkManager managed the adapter
  std::string profileUuid;      // the profile it had active; empty: none
  std::string profileName;      // the same, for people reading the journal
  std::string dhcpClient;       // the DHCP client that served it: "dhclient", "dhcpcd", "udhcpc" or empty
  WindowsSettings windows;

  // An address the adapter had of its own (set by hand), which a DHCP
  // client cannot bring back.
  bool HasOwnStaticAddress() const;
  // The addresses as "a.b.c.d/n, ...", or "" for none.
  std::string AddressList() const;
  // The lifetimes of leased addresses, shortened by the time since the
  // snapshot; leases that have run out are left out.
  AdapterState KernelStateAt(long long now) const;
  bool operator==(const AdapterSnapshot&) const = default;
};

// A Windows adapter's name for itself: a GUID in braces, as
// "{4D36E972-E325-11CE-BFC1-08002BE10318}".
bool IsAdapterGuid(const std::string& text);

std::string FormatSnapshot(const AdapterSnapshot& snapshot);
// Reads a journal's text. Everything is checked (names, addresses, numbers);
// false, with the reason in `error`, for anything else.
bool ParseSnapshot(const std::string& text, AdapterSnapshot& out, std::string& error);
