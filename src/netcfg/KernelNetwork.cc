#include "netcfg/KernelNetwork.h"

namespace {

constexpr std::size_t kInterfaceNameSize = 16;  // the kernel's IFNAMSIZ, terminator included
constexpr unsigned kEthernet = 1;               // ARPHRD_ETHER

}  // namespace

bool IsSafeInterfaceName(const std::string& name) {
  if (name.empty() || name.size() >= kInterfaceNameSize || name == "." || name == ".." ||
      name[0] == '-') {
    return false;
  }
  for (unsigned char c : name) {
    if (c <= ' ' || c == '/' || c == ':' || c == 0x7f) return false;
  }
  return true;
}

bool IsSuitableAdapter(const KernelLink& link) {
  return link.type == kEthernet && !link.wireless && (link.kind.empty() || link.kind == "veth") &&
         link.master == 0 && IsSafeInterfaceName(link.name);
}

bool SameAddress(const AdapterAddress& a, const AdapterAddress& b) {
  return a.address == b.address && a.prefixLength == b.prefixLength;
}

bool SameRoute(const AdapterRoute& a, const AdapterRoute& b) {
  return a.destination == b.destination && a.prefixLength == b.prefixLength &&
         a.gateway == b.gateway && a.metric == b.metric && a.table == b.table && a.type == b.type;
}
