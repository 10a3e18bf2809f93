// The command lines that carry out a network helper request on Windows.
// Only the elevated part runs them, with the connection name it has read
// itself; --restore-network prints them for an administrator when a request
// falls outside what the elevated part takes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "netcfg/HelperProtocol.h"

// The dotted mask of a prefix length (0 to 32).
std::string MaskOf(int prefixLength);
// The prefix length of a dotted mask; nothing for text that is no mask.
std::optional<int> PrefixOf(const std::string& mask);

// The commands for `request` on the adapter named `name` (which must be safe
// between double quotes), in the order they run. Empty for a request that
// Windows does not carry out this way (kStatus and the kinds of Linux
// alone), and for a restore without an address or with a route other than a
// default gateway.
std::vector<std::string> NetshCommands(const helper::Request& request, const std::string& name);
