#include "platform/linux/NetworkRights.h"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <vector>

namespace {

constexpr int kNetworkCaps[] = {CAP_NET_BIND_SERVICE, CAP_NET_ADMIN, CAP_NET_RAW};

struct CapSets {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};

  bool Get() { return syscall(SYS_capget, &header, data) == 0; }
  bool Set() { return syscall(SYS_capset, &header, data) == 0; }
  static unsigned Word(int cap) { return static_cast<unsigned>(cap) / 32; }
  static __u32 Bit(int cap) { return 1u << (static_cast<unsigned>(cap) % 32); }
  // Effective capabilities are always permitted too.
  bool Permitted(int cap) const { return data[Word(cap)].permitted & Bit(cap); }
};

constexpr std::uint64_t kNetworkMask =
    (1ull << CAP_NET_BIND_SERVICE) | (1ull << CAP_NET_ADMIN) | (1ull << CAP_NET_RAW);

// The highest capability number this kernel knows.
int LastCapability() {
  std::ifstream in("/proc/sys/kernel/cap_last_cap");
  int last = CAP_LAST_CAP;
  if (!(in >> last) || last < 0 || last > 63) last = CAP_LAST_CAP;
  return last;
}

// Leaves the process only the capabilities of `keep` (bits by number), the
// permitted ones of them effective, none inheritable or ambient; forbids
// gaining any through exec.
void NarrowCapabilities(std::uint64_t keep) {
  CapSets caps;
  if (caps.Get()) {
    if (caps.Permitted(CAP_SETPCAP)) {
      // Root (or a program given cap_setpcap): what is given up here must
      // not come back with the next exec either.
      caps.data[CapSets::Word(CAP_SETPCAP)].effective |= CapSets::Bit(CAP_SETPCAP);
      caps.Set();
      for (int cap = 0, last = LastCapability(); cap <= last; ++cap) {
        if (!((keep >> cap) & 1)) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
      }
      prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0);
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (unsigned word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
      auto kept = static_cast<__u32>(keep >> (32 * word));
      caps.data[word].permitted &= kept;
      caps.data[word].effective = caps.data[word].permitted;
      caps.data[word].inheritable = 0;
    }
    caps.Set();
  }
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// "lo hi" of net.ipv4.ping_group_range contains our effective or a
// supplementary group.
bool PingGroupAllowed() {
  std::ifstream in("/proc/sys/net/ipv4/ping_group_range");
  long long lo = 1, hi = 0;
  if (!(in >> lo >> hi)) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(NGROUPS_MAX));
  int count = getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  groups.push_back(getegid());
  for (gid_t gid : groups) {
    if (gid >= lo && gid <= hi) return true;
  }
  return false;
}

bool Port69Open() {
  std::ifstream in("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int start = 1024;
  return (in >> start) && start <= 69;
}

std::string JoinChinese(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += i + 1 == items.size() ? "和" : "、";
    out += items[i];
  }
  return out;
}

std::string JoinEnglish(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += i + 1 == items.size() ? " and " : ", ";
    out += items[i];
  }
  return out;
}

}  // namespace

NetworkRights ReadNetworkRights() {
  NetworkRights rights;
  CapSets caps;
  if (caps.Get()) {
    rights.netAdmin = caps.Permitted(CAP_NET_ADMIN);
    rights.netRaw = caps.Permitted(CAP_NET_RAW);
    rights.bindService = caps.Permitted(CAP_NET_BIND_SERVICE);
  }
  rights.pingSocket = PingGroupAllowed();
  rights.port69Open = Port69Open();
  return rights;
}

std::string DescribeMissingNetworkRights(const NetworkRights& rights,
                                         const std::string& programPath) {
  std::vector<std::string> chinese, english;
  if (!rights.netAdmin) {
    chinese.push_back("设置网卡地址");
    english.push_back("the address change");
  }
  if (!rights.bindService && !rights.port69Open) {
    chinese.push_back("69 端口");
    english.push_back("port 69");
  }
  if (!rights.netRaw && !rights.pingSocket) {
    chinese.push_back("探测路由器（ping）");
    english.push_back("the ping");
  }
  if (chinese.empty()) return "";
  std::string setcap = GrantCommand(programPath);
  return "权限不足：" + JoinChinese(chinese) + "将失败，请以 root 运行或执行 " + setcap +
         " | Missing rights: " + JoinEnglish(english) + " will fail; run as root or: " + setcap;
}

std::string GrantCommand(const std::string& path) {
  return "chgrp brickfix " + path + " && chmod 0750 " + path +
         " && setcap cap_net_admin,cap_net_raw,cap_net_bind_service+ep " + path;
}

bool HasAnyNetworkCapability(const NetworkRights& rights) {
  return rights.netAdmin || rights.netRaw || rights.bindService;
}

void KeepOnlyNetworkCapabilities() { NarrowCapabilities(kNetworkMask); }

void DropAllCapabilities() { NarrowCapabilities(0); }

void PassNetworkCapabilitiesToChild() {
  CapSets caps;
  if (!caps.Get()) return;
  // A capability can only be ambient when it is permitted and inheritable.
  for (int cap : kNetworkCaps) {
    if (caps.Permitted(cap)) caps.data[CapSets::Word(cap)].inheritable |= CapSets::Bit(cap);
  }
  if (!caps.Set()) return;
  for (int cap : kNetworkCaps) {
    if (caps.Permitted(cap)) prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0);
  }
}
