// The rights this program needs on the network, what is missing, giving up
// every other capability, and handing them on to the commands it runs.
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

// True when the process holds any of the three network capabilities.
bool HasAnyNetworkCapability(const NetworkRights& rights);

// Empty when the address change, port 69 and the ping can all work; else one
// line in Chinese and English naming what will fail and how to fix it, with
// `programPath` (the program that holds the rights) in GrantCommand.
std::string DescribeMissingNetworkRights(const NetworkRights& rights,
                                         const std::string& programPath);

// The commands that give the program at `path` the network capabilities,
// for the members of the group brickfix alone (the group and mode first:
// changing a file's owner takes its capabilities away).
std::string GrantCommand(const std::string& path);

// Capabilities belong to a thread and are copied to the threads it starts,
// so the two calls below belong at the start of main, before any other
// thread exists. Both also forbid gaining rights through exec
// (PR_SET_NO_NEW_PRIVS) and, where the process may (root), keep root from
// getting back what was given up: the bounding set loses the rest, and exec
// no longer hands root every capability (SECBIT_NOROOT, locked).
//
// Keeps cap_net_admin, cap_net_raw and cap_net_bind_service, effective where
// they are permitted, and gives up every other capability.
void KeepOnlyNetworkCapabilities();
// Gives up every capability: effective, permitted, inheritable, ambient and,
// where the process may, the bounding set.
void DropAllCapabilities();

// In a freshly forked child, before exec: turns the permitted network
// capabilities into ambient ones so that the program it runs (and that
// program's own children) keep them. Uses only async-signal-safe system calls.
void PassNetworkCapabilitiesToChild();
