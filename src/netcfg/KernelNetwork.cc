#include "netcfg/KernelNetwork.h"

namespace {

constexpr std::size_t kInterfaceNameSize = 16;  // the kernel's IFNAMSIZ, terminator included

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
