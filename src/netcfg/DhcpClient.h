// Handing an adapter back to the DHCP client the system has.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/ProcessRunner.h"

// Where the DHCP client keeps its files. Left empty, the client uses the
// places the system's own network scripts use (so that they recognise the
// client we started) and its own hook, which applies the lease and updates
// /etc/resolv.conf as it always does. Tests point both somewhere private.
struct DhcpClientFiles {
  std::string stateDir;  // lease and pid files
  std::string script;    // the hook that applies a lease
};

// The command that runs the system's DHCP client for `ifname` in the
// foreground (the caller starts it in the background): dhclient, dhcpcd or
// udhcpc (also busybox's), the first that exists; udhcpc only with a hook,
// since without one it applies nothing. Empty when the system has none.
std::vector<std::string> DhcpClientCommand(IProcessRunner& runner, const std::string& ifname,
                                           const DhcpClientFiles& files);
