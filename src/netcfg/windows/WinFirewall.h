// What the Windows Firewall does with the router's request to this program's
// TFTP port. Without a capture driver the program cannot see a request the
// firewall drops before the listener; it reads the firewall's state instead:
// the profile of the adapter's network, whether the firewall is on there,
// and whether an inbound rule lets UDP 69 from the router reach this program.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "observe/Events.h"

// One rule as the firewall lists it (INetFwRule), in its own notation.
struct FirewallRule {
  std::string name;
  bool enabled = true;
  bool inbound = true;
  bool allow = true;
  long protocol = 256;                 // 17 UDP, 6 TCP, 256 any
  std::string localPorts = "*";        // "69", "60-80,1000", "*"
  std::string localAddresses = "*";    // "192.168.1.88/255.255.255.255", "LocalSubnet", ranges
  std::string remoteAddresses = "*";
  std::string application;             // a full path in lower case; "" any program
  std::string service;                 // "" or "*": any
  std::string interfaceTypes = "All";  // "All" or a list of "LAN", "Wireless", "RemoteAccess"
  long profiles = 0x7FFFFFFF;          // NET_FW_PROFILE2_* bits
};

// The firewall's settings for the adapter's network.
struct FirewallPolicy {
  long profile = 0;  // the network's one NET_FW_PROFILE2_* bit (1 domain, 2 private, 4 public)
  bool enabled = false;
  bool blockAll = false;         // every incoming connection blocked, rules or not
  bool allowsByDefault = false;  // the default inbound action is allow
  std::vector<FirewallRule> rules;
};

// What `policy` does with a UDP request from the router (192.168.1.1) to
// port 69 at 192.168.1.88 for `program` (its full path in lower case): a
// block rule wins over any allow rule, as in the firewall itself.
observe::FirewallInfo JudgeFirewall(const FirewallPolicy& policy, const std::string& program);

// The firewall's verdict for this program on the network of adapter `guid`
// ("{...}"), through COM (INetworkListManager for the network's category,
// INetFwPolicy2 for the rest); kUnknown when the system does not tell (Wine
// does not). The calling thread must have entered COM.
observe::FirewallInfo ReadFirewall(const std::string& guid);
