// The rights this program needs on the network, what is missing, and handing
// them on to the commands it runs.
#pragma once

#include <string>

// What the process may do on the network.
struct NetworkRights {
  bool netAdmin = false;      // change addresses, routes and the neighbour table
  bool netRaw = false;        // raw ICMP socket
  bool bindService = false;   // bind a port below the unprivileged range
  bool pingSocket = false;    // our group may open the unprivileged ICMP datagram socket
  bool port69Open = false;    // the kernel lets anyone bind port 69
};

// The rights of the calling thread (capabilities count when effective or
// permitted) and the kernel's settings for ping sockets and low ports.
NetworkRights ReadNetworkRights();

// Empty when the address change, port 69 and the ping can all work; else one
// line in Chinese and English naming what will fail and how to fix it, with
// `programPath` in the setcap command.
std::string DescribeMissingNetworkRights(const NetworkRights& rights,
                                         const std::string& programPath);
// The same for this process and its own executable.
std::string DescribeMissingNetworkRights();

// Makes cap_net_admin, cap_net_raw and cap_net_bind_service effective where
// they are only permitted (a binary given them with "+p"). Capabilities belong
// to a thread and are copied to the threads it starts, so call this at the
// start of main, before any other thread exists.
void RaiseNetworkCapabilities();

// In a freshly forked child, before exec: turns the permitted network
// capabilities into ambient ones so that the program it runs (and that
// program's own children) keep them. Uses only async-signal-safe system calls.
void PassNetworkCapabilitiesToChild();
