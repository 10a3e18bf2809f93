// Requests that every network helper refuses whole before it does anything,
// on any system: malformed, of another version or kind, or out of bounds.
// Each system's helper test adds the adapters its own helper refuses.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "netcfg/HelperProtocol.h"

namespace helper {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Patched(Bytes bytes, std::size_t at, const std::vector<std::uint8_t>& patch) {
  std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  return bytes;
}

// `ifindex` names an adapter the helper would take; `restore` is a restore
// request it would carry out whose first address has a broadcast address.
inline std::vector<std::pair<std::string, Bytes>> MalformedRequests(std::int32_t ifindex,
                                                                    const Request& restore) {
  Request setStatic;
  setStatic.kind = Kind::kSetStatic;
  setStatic.ifindex = ifindex;
  const Bytes valid = EncodeRequest(setStatic);
  const Bytes validRestore = EncodeRequest(restore);
  Request dns;
  dns.kind = Kind::kSetDnsServers;
  dns.ifindex = ifindex;
  dns.dnsFromDhcp = false;
  dns.dnsServers = {"10.77.0.53"};
  const Bytes validDns = EncodeRequest(dns);
  Request dhcp = setStatic;
  dhcp.kind = Kind::kStartDhcpClient;
  Bytes longer = valid;
  longer.push_back(0);
  Bytes huge = valid;
  huge.resize(kMaxMessage + 1);
  const auto pastTheList = static_cast<std::uint8_t>(static_cast<int>(kLastKind) + 1);
  return {
      {"empty", {}},
      {"header only in part", Bytes(valid.begin(), valid.begin() + 6)},
      {"another magic", Patched(valid, 0, {'X'})},
      {"another version", Patched(valid, 4, {static_cast<std::uint8_t>(kVersion + 1), 0})},
      {"kind 0", Patched(valid, 6, {0, 0})},
      {"kind past the list", Patched(valid, 6, {pastTheList, 0})},
      {"a captured frame, which only the helper sends",
       EncodeCapturedFrame({1, false, 60, Bytes(60, 1)})},
      {"the retired kind 8", Patched(valid, 6, {8, 0})},
      {"kind 0xffff", Patched(valid, 6, {0xff, 0xff})},
      {"cut short", Bytes(valid.begin(), valid.end() - 1)},
      {"a byte too many", longer},
      {"longer than any request", huge},
      {"set-up 0", Patched(valid, 12, {0})},
      {"set-up 3", Patched(valid, 12, {3})},
      {"a DHCP client before that is neither there nor not", Patched(valid, 13, {2})},
      {"a DHCP client kind before of 4", Patched(valid, 14, {4})},
      {"DHCP client kind 4", Patched(EncodeRequest(dhcp), 12, {4})},
      {"adapter index 0", Patched(valid, 8, {0, 0, 0, 0})},
      {"adapter index -1", Patched(valid, 8, {0xff, 0xff, 0xff, 0xff})},
      {"link neither up nor down", Patched(validRestore, 12, {2})},
      {"17 addresses", Patched(validRestore, 13, {17})},
      {"a multicast address", Patched(validRestore, 15, {224, 0, 0, 1})},
      {"a loopback address", Patched(validRestore, 15, {127, 0, 0, 1})},
      {"the subnet's own address", Patched(validRestore, 15, {10, 77, 0, 0})},
      {"a prefix of 7", Patched(validRestore, 19, {7})},
      {"unknown address flags", Patched(validRestore, 20, {4})},
      {"another broadcast address", Patched(validRestore, 21, {10, 77, 0, 254})},
      {"DNS neither from DHCP nor not", Patched(validDns, 12, {2})},
      {"DNS from DHCP with a server", Patched(validDns, 12, {1})},
      {"9 DNS servers", Patched(validDns, 13, {9})},
      {"a multicast DNS server", Patched(validDns, 14, {239, 1, 1, 1})},
      {"a DNS server in 0/8", Patched(validDns, 14, {0, 0, 0, 53})},
      {"a DNS server cut short", Bytes(validDns.begin(), validDns.end() - 1)},
  };
}

}  // namespace helper
