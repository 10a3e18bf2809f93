// The network helper's side: carrying out the requests of HelperProtocol.h
// with the rights of the process it runs in. The helper program serves them
// on its socket; a program that holds the rights itself and finds no helper
// carries them out in-process through the same checks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "netcfg/linux/DhcpClient.h"
#include "netcfg/HelperProtocol.h"
#include "netcfg/KernelNetwork.h"
#include "platform/linux/ScopedFd.h"

namespace helper {

class Service {
 public:
  Service(IKernelNetwork& kernel, DhcpStarter& dhcp) : m_kernel(kernel), m_dhcp(dhcp) {}

  // Decodes one request, checks it and carries it out; the reply's bytes. A
  // descriptor the reply passes back goes to `passed`.
  std::vector<std::uint8_t> Handle(std::span<const std::uint8_t> message, ScopedFd& passed);
  // The same for a request already decoded (and so within its bounds).
  Reply Carry(const Request& request, ScopedFd& passed);

 private:
  // The name of the adapter with `index` when it is a wired Ethernet
  // adapter (not loopback, not wireless, a name safe to pass on).
  bool WiredAdapter(std::int32_t index, std::string& name);
  Reply Restore(const std::string& ifname, AdapterState state);

  IKernelNetwork& m_kernel;
  DhcpStarter& m_dhcp;
};

// The helper program's loop on the socket `fd`: one request per message,
// one reply each, until the other end closes (or the socket fails).
// Descriptors sent along with a request are closed unread and the request
// is refused.
void Serve(int fd, Service& service);

}  // namespace helper
