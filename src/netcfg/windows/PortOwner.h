// Who holds a UDP port on Windows, for the operator: the usual holder of
// port 69 is another TFTP server that was left running.
#pragma once

#include <cstdint>
#include <string>

struct PortOwner {
  unsigned long pid = 0;  // 0: not known
  std::string program;    // the program file's name ("tftpd64.exe"); "" when not known
};

// The owner of the IPv4 UDP port `port` (host byte order), as
// GetExtendedUdpTable shows it; pid 0 when no socket of it is listed.
PortOwner UdpPortOwner(std::uint16_t port);
