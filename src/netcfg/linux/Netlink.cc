#include "netcfg/linux/Netlink.h"

#include <arpa/inet.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "netcfg/linux/NetlinkMessages.h"
#include "platform/linux/ScopedFd.h"

namespace {

using netlink::AttrText;
using netlink::AttrU32;
using netlink::BodyOf;
using netlink::ForEachAttr;

// One request: header, fixed body, attributes.
class NlMessage {
 public:
  NlMessage(uint16_t type, uint16_t flags, const void* body, std::size_t bodyLength) {
    header()->nlmsg_len = NLMSG_LENGTH(bodyLength);
    header()->nlmsg_type = type;
    header()->nlmsg_flags = flags;
    std::memcpy(NLMSG_DATA(header()), body, bodyLength);
  }
  void AddAttr(uint16_t type, const void* data, std::size_t length) {
    auto* attr = reinterpret_cast<rtattr*>(m_buffer + NLMSG_ALIGN(header()->nlmsg_len));
    attr->rta_type = type;
    attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(attr), data, length);
    header()->nlmsg_len = NLMSG_ALIGN(header()->nlmsg_len) + RTA_ALIGN(attr->rta_len);
  }
  template <class T>
  void AddAttr(uint16_t type, const T& value) {
    AddAttr(type, &value, sizeof value);
  }
  nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(m_buffer); }

 private:
  alignas(nlmsghdr) unsigned char m_buffer[256] = {};
};

using MessageHandler = std::function<void(const nlmsghdr&)>;

class RtnlSocket {
 public:
  bool Open() {
    m_fd.Reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!m_fd.valid()) return false;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    return bind(m_fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }

  // Sends a change and waits for the kernel's answer: 0 or an errno value.
  int Change(NlMessage& message) {
    message.header()->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    return Exchange(message, nullptr);
  }

  // Asks for a whole table and passes each entry to `handler`.
  template <class Body>
  int Dump(uint16_t type, const Body& body, const MessageHandler& handler) {
    NlMessage message(type, NLM_F_REQUEST | NLM_F_DUMP, &body, sizeof body);
    return Exchange(message, &handler);
  }

 private:
  int Exchange(NlMessage& message, const MessageHandler* handler) {
    nlmsghdr* header = message.header();
    header->nlmsg_seq = ++m_seq;
    if (send(m_fd.get(), header, header->nlmsg_len, 0) < 0) return errno;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      ssize_t n = recv(m_fd.get(), buffer.data(), buffer.size(), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      int length = static_cast<int>(n);
      for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(msg, length);
           msg = NLMSG_NEXT(msg, length)) {
        if (msg->nlmsg_seq != m_seq) continue;
        if (msg->nlmsg_type == NLMSG_DONE) return 0;
        if (msg->nlmsg_type == NLMSG_ERROR) {
          return -static_cast<const nlmsgerr*>(NLMSG_DATA(msg))->error;
        }
        if (handler) (*handler)(*msg);
      }
    }
  }

  ScopedFd m_fd;
  uint32_t m_seq = 0;
};

std::string Ipv4Text(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool IsWireless(const std::string& name) {
  struct stat st {};
  std::string base = "/sys/class/net/" + name;
  return stat((base + "/wireless").c_str(), &st) == 0 ||
         stat((base + "/phy80211").c_str(), &st) == 0;
}

struct Route {
  uint32_t gateway = 0;
  uint32_t metric = 0;
  rtmsg header{};
};

// The kernel's verdicts, worst last.
KernelResult Verdict(int error) {
  if (error == 0) return KernelResult::kDone;
  if (error == EPERM || error == EACCES) return KernelResult::kRefused;
  return KernelResult::kFailed;
}

KernelResult Worse(KernelResult a, KernelResult b) { return std::max(a, b); }

// The pieces of a static set-up, in the kernel's byte order.
struct Ipv4Setup {
  int index = 0;
  uint32_t address = 0;
  uint32_t gateway = 0;
  int prefixLength = 0;
  uint32_t metric = 0;
};

class Session {
 public:
  bool Open() { return m_socket.Open(); }

  int IndexOf(const std::string& name) {
    std::vector<KernelLink> links;
    ListLinks(links);
    for (const KernelLink& link : links) {
      if (link.name == name) return link.index;
    }
    return 0;
  }

  int ListLinks(std::vector<KernelLink>& out) {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    return m_socket.Dump(RTM_GETLINK, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type != RTM_NEWLINK) return;
      KernelLink link;
      link.index = BodyOf<ifinfomsg>(msg).ifi_index;
      link.type = BodyOf<ifinfomsg>(msg).ifi_type;
      link.up = (BodyOf<ifinfomsg>(msg).ifi_flags & IFF_UP) != 0;
      ForEachAttr<ifinfomsg>(msg, [&](const rtattr& attr) {
        if (attr.rta_type == IFLA_IFNAME) link.name = AttrText(attr);
        if (attr.rta_type == IFLA_MASTER) link.master = static_cast<int>(AttrU32(attr));
        if (attr.rta_type == IFLA_LINKINFO) {
          // Nested: the device's kind is one of its attributes.
          int length = static_cast<int>(RTA_PAYLOAD(&attr));
          for (auto* info = static_cast<const rtattr*>(RTA_DATA(&attr)); RTA_OK(info, length);
               info = RTA_NEXT(info, length)) {
            if (info->rta_type == IFLA_INFO_KIND) link.kind = AttrText(*info);
          }
        }
      });
      link.wireless = IsWireless(link.name);
      out.push_back(link);
    });
  }

  int ListAddresses(std::vector<KernelAddress>& out) {
    ifaddrmsg body{};
    body.ifa_family = AF_INET;
    return m_socket.Dump(RTM_GETADDR, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type != RTM_NEWADDR) return;
      const ifaddrmsg& header = BodyOf<ifaddrmsg>(msg);
      uint32_t local = 0, address = 0;
      ForEachAttr<ifaddrmsg>(msg, [&](const rtattr& attr) {
        if (attr.rta_type == IFA_LOCAL) local = AttrU32(attr);
        if (attr.rta_type == IFA_ADDRESS) address = AttrU32(attr);
      });
      out.push_back({static_cast<int>(header.ifa_index), Ipv4Text(local ? local : address),
                     header.ifa_prefixlen});
    });
  }

  // The IPv4 default routes of the main table that leave through `index`.
  int ListDefaultRoutes(int index, std::vector<Route>& out) {
    rtmsg body{};
    body.rtm_family = AF_INET;
    return m_socket.Dump(RTM_GETROUTE, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type != RTM_NEWROUTE) return;
      Route route;
      route.header = BodyOf<rtmsg>(msg);
      uint32_t table = route.header.rtm_table, oif = 0;
      ForEachAttr<rtmsg>(msg, [&](const rtattr& attr) {
        if (attr.rta_type == RTA_TABLE) table = AttrU32(attr);
        if (attr.rta_type == RTA_OIF) oif = AttrU32(attr);
        if (attr.rta_type == RTA_GATEWAY) route.gateway = AttrU32(attr);
        if (attr.rta_type == RTA_PRIORITY) route.metric = AttrU32(attr);
      });
      if (table == RT_TABLE_MAIN && route.header.rtm_dst_len == 0 &&
          static_cast<int>(oif) == index) {
        out.push_back(route);
      }
    });
  }

  int SetLinkUp(int index) {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    body.ifi_index = index;
    body.ifi_flags = IFF_UP;
    body.ifi_change = IFF_UP;
    NlMessage message(RTM_NEWLINK, 0, &body, sizeof body);
    return m_socket.Change(message);
  }

  int ChangeAddress(uint16_t type, int index, uint32_t address, int prefixLength) {
    ifaddrmsg body{};
    body.ifa_family = AF_INET;
    body.ifa_prefixlen = static_cast<unsigned char>(prefixLength);
    body.ifa_scope = RT_SCOPE_UNIVERSE;
    body.ifa_index = static_cast<unsigned>(index);
    uint16_t flags = type == RTM_NEWADDR ? NLM_F_CREATE | NLM_F_REPLACE : 0;
    NlMessage message(type, flags, &body, sizeof body);
    message.AddAttr(IFA_LOCAL, address);
    message.AddAttr(IFA_ADDRESS, address);
    if (type == RTM_NEWADDR && prefixLength < 31) {
      uint32_t host = prefixLength == 0 ? ~0u : ~0u >> prefixLength;
      message.AddAttr(IFA_BROADCAST, address | htonl(host));
    }
    return m_socket.Change(message);
  }

  int ChangeDefaultRoute(uint16_t type, int index, uint32_t gateway, uint32_t metric) {
    rtmsg body{};
    body.rtm_family = AF_INET;
    body.rtm_table = RT_TABLE_MAIN;
    body.rtm_protocol = RTPROT_STATIC;
    body.rtm_scope = RT_SCOPE_UNIVERSE;
    body.rtm_type = RTN_UNICAST;
    // Without NLM_F_EXCL or NLM_F_REPLACE the kernel adds the route next to
    // an equal default route of another adapter instead of replacing it.
    NlMessage message(type, type == RTM_NEWROUTE ? NLM_F_CREATE : 0, &body, sizeof body);
    message.AddAttr(RTA_GATEWAY, gateway);
    message.AddAttr(RTA_OIF, static_cast<uint32_t>(index));
    message.AddAttr(RTA_PRIORITY, metric);
    return m_socket.Change(message);
  }

  int DeleteRoute(const Route& route, int index) {
    rtmsg body = route.header;
    NlMessage message(RTM_DELROUTE, 0, &body, sizeof body);
    if (route.gateway) message.AddAttr(RTA_GATEWAY, route.gateway);
    message.AddAttr(RTA_OIF, static_cast<uint32_t>(index));
    message.AddAttr(RTA_PRIORITY, route.metric);
    return m_socket.Change(message);
  }

  // The dynamic IPv4 neighbour entries of `index`, as (interface, address).
  int ListNeighbours(int index, std::vector<std::pair<int, uint32_t>>& out) {
    ndmsg body{};
    body.ndm_family = AF_INET;
    return m_socket.Dump(RTM_GETNEIGH, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type != RTM_NEWNEIGH) return;
      const ndmsg& header = BodyOf<ndmsg>(msg);
      if (header.ndm_ifindex != index || (header.ndm_state & (NUD_PERMANENT | NUD_NOARP))) return;
      ForEachAttr<ndmsg>(msg, [&](const rtattr& attr) {
        if (attr.rta_type == NDA_DST) out.emplace_back(header.ndm_ifindex, AttrU32(attr));
      });
    });
  }

  int DeleteNeighbour(int index, uint32_t address) {
    ndmsg body{};
    body.ndm_family = AF_INET;
    body.ndm_ifindex = index;
    NlMessage message(RTM_DELNEIGH, 0, &body, sizeof body);
    message.AddAttr(NDA_DST, address);
    return m_socket.Change(message);
  }

  // Whether the link is up (administratively).
  int LinkUp(int index, bool& up) {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    return m_socket.Dump(RTM_GETLINK, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type == RTM_NEWLINK && BodyOf<ifinfomsg>(msg).ifi_index == index) {
        up = (BodyOf<ifinfomsg>(msg).ifi_flags & IFF_UP) != 0;
      }
    });
  }

  int SetLink(int index, bool up) {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    body.ifi_index = index;
    body.ifi_flags = up ? IFF_UP : 0;
    body.ifi_change = IFF_UP;
    NlMessage message(RTM_NEWLINK, 0, &body, sizeof body);
    return m_socket.Change(message);
  }

  // Every IPv4 address of `index` with what it takes to make it again.
  int ListAdapterAddresses(int index, std::vector<AdapterAddress>& out) {
    ifaddrmsg body{};
    body.ifa_family = AF_INET;
    return m_socket.Dump(RTM_GETADDR, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type != RTM_NEWADDR) return;
      const ifaddrmsg& header = BodyOf<ifaddrmsg>(msg);
      if (static_cast<int>(header.ifa_index) != index) return;
      AdapterAddress entry;
      entry.prefixLength = header.ifa_prefixlen;
      uint32_t local = 0, address = 0, flags = header.ifa_flags;
      ForEachAttr<ifaddrmsg>(msg, [&](const rtattr& attr) {
        switch (attr.rta_type) {
          case IFA_LOCAL: local = AttrU32(attr); break;
          case IFA_ADDRESS: address = AttrU32(attr); break;
          case IFA_BROADCAST: entry.broadcast = Ipv4Text(AttrU32(attr)); break;
          case IFA_FLAGS: flags = AttrU32(attr); break;
          case IFA_LABEL: entry.label = AttrText(attr); break;
          case IFA_CACHEINFO:
            if (RTA_PAYLOAD(&attr) >= sizeof(ifa_cacheinfo)) {
              ifa_cacheinfo info{};
              std::memcpy(&info, RTA_DATA(&attr), sizeof info);
              entry.validLifetime = info.ifa_valid;
              entry.preferredLifetime = info.ifa_prefered;
            }
            break;
        }
      });
      entry.address = Ipv4Text(local ? local : address);
      entry.permanent = (flags & IFA_F_PERMANENT) != 0;
      entry.noPrefixRoute = (flags & IFA_F_NOPREFIXROUTE) != 0;
      if (entry.permanent) {
        entry.validLifetime = entry.preferredLifetime = AdapterAddress::kForever;
      }
      out.push_back(entry);
    });
  }

  int AddAdapterAddress(int index, const AdapterAddress& entry, const std::string& ifname) {
    in_addr address{};
    if (inet_pton(AF_INET, entry.address.c_str(), &address) != 1) return EINVAL;
    ifaddrmsg body{};
    body.ifa_family = AF_INET;
    body.ifa_prefixlen = static_cast<unsigned char>(entry.prefixLength);
    body.ifa_scope = RT_SCOPE_UNIVERSE;
    body.ifa_index = static_cast<unsigned>(index);
    NlMessage message(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, &body, sizeof body);
    message.AddAttr(IFA_LOCAL, address.s_addr);
    message.AddAttr(IFA_ADDRESS, address.s_addr);
    in_addr broadcast{};
    if (!entry.broadcast.empty() && inet_pton(AF_INET, entry.broadcast.c_str(), &broadcast) == 1) {
      message.AddAttr(IFA_BROADCAST, broadcast.s_addr);
    }
    // A label must begin with the interface's name; one that does not (the
    // adapter was renamed) is left out.
    if (!entry.label.empty() && entry.label.size() < IFNAMSIZ && entry.label.rfind(ifname, 0) == 0) {
      message.AddAttr(IFA_LABEL, entry.label.c_str(), entry.label.size() + 1);
    }
    uint32_t flags = entry.noPrefixRoute ? IFA_F_NOPREFIXROUTE : 0;
    if (flags) message.AddAttr(IFA_FLAGS, flags);
    if (!entry.permanent) {
      ifa_cacheinfo info{};
      info.ifa_valid = entry.validLifetime;
      info.ifa_prefered = std::min(entry.preferredLifetime, entry.validLifetime);
      message.AddAttr(IFA_CACHEINFO, info);
    }
    return m_socket.Change(message);
  }

  // The routes through `index` that were not made by the kernel for an
  // address, from every table but the local one.
  int ListAdapterRoutes(int index, std::vector<AdapterRoute>& out) {
    rtmsg body{};
    body.rtm_family = AF_INET;
    return m_socket.Dump(RTM_GETROUTE, body, [&](const nlmsghdr& msg) {
      if (msg.nlmsg_type != RTM_NEWROUTE) return;
      const rtmsg& header = BodyOf<rtmsg>(msg);
      if (header.rtm_protocol == RTPROT_KERNEL || (header.rtm_flags & RTM_F_CLONED)) return;
      AdapterRoute route;
      route.prefixLength = header.rtm_dst_len;
      route.table = header.rtm_table;
      route.protocol = header.rtm_protocol;
      route.scope = header.rtm_scope;
      route.type = header.rtm_type;
      uint32_t oif = 0;
      ForEachAttr<rtmsg>(msg, [&](const rtattr& attr) {
        switch (attr.rta_type) {
          case RTA_TABLE: route.table = AttrU32(attr); break;
          case RTA_OIF: oif = AttrU32(attr); break;
          case RTA_DST: route.destination = Ipv4Text(AttrU32(attr)); break;
          case RTA_GATEWAY: route.gateway = Ipv4Text(AttrU32(attr)); break;
          case RTA_PREFSRC: route.source = Ipv4Text(AttrU32(attr)); break;
          case RTA_PRIORITY: route.metric = AttrU32(attr); break;
        }
      });
      if (static_cast<int>(oif) == index && route.table != RT_TABLE_LOCAL) out.push_back(route);
    });
  }

  int ChangeAdapterRoute(uint16_t type, int index, const AdapterRoute& route) {
    in_addr destination{}, gateway{}, source{};
    if (inet_pton(AF_INET, route.destination.c_str(), &destination) != 1 ||
        (!route.gateway.empty() && inet_pton(AF_INET, route.gateway.c_str(), &gateway) != 1) ||
        (!route.source.empty() && inet_pton(AF_INET, route.source.c_str(), &source) != 1)) {
      return EINVAL;
    }
    rtmsg body{};
    body.rtm_family = AF_INET;
    body.rtm_dst_len = static_cast<unsigned char>(route.prefixLength);
    body.rtm_table = static_cast<unsigned char>(route.table < 256 ? route.table : RT_TABLE_UNSPEC);
    body.rtm_protocol = static_cast<unsigned char>(route.protocol);
    body.rtm_scope = static_cast<unsigned char>(route.scope);
    body.rtm_type = static_cast<unsigned char>(route.type);
    NlMessage message(type, type == RTM_NEWROUTE ? NLM_F_CREATE | NLM_F_EXCL : 0, &body, sizeof body);
    message.AddAttr(RTA_TABLE, route.table);
    if (route.prefixLength > 0) message.AddAttr(RTA_DST, destination.s_addr);
    if (!route.gateway.empty()) message.AddAttr(RTA_GATEWAY, gateway.s_addr);
    if (!route.source.empty()) message.AddAttr(RTA_PREFSRC, source.s_addr);
    message.AddAttr(RTA_OIF, static_cast<uint32_t>(index));
    message.AddAttr(RTA_PRIORITY, route.metric);
    return m_socket.Change(message);
  }

 private:
  RtnlSocket m_socket;
};

// Opens a session and resolves the set-up to kernel values.
KernelResult Resolve(Session& session, const std::string& ifname, const StaticIpv4& setup,
                     Ipv4Setup& out) {
  if (!session.Open()) return KernelResult::kRefused;
  in_addr address{}, gateway{};
  if (inet_pton(AF_INET, setup.address.c_str(), &address) != 1 ||
      inet_pton(AF_INET, setup.gateway.c_str(), &gateway) != 1 || setup.prefixLength < 0 ||
      setup.prefixLength > 32 || setup.metric < 0) {
    return KernelResult::kFailed;
  }
  out.index = session.IndexOf(ifname);
  out.address = address.s_addr;
  out.gateway = gateway.s_addr;
  out.prefixLength = setup.prefixLength;
  out.metric = static_cast<uint32_t>(setup.metric);
  return out.index > 0 ? KernelResult::kDone : KernelResult::kFailed;
}

}  // namespace

bool NetlinkKernel::ListLinks(std::vector<KernelLink>& out) {
  Session session;
  return session.Open() && session.ListLinks(out) == 0;
}

bool NetlinkKernel::ListIpv4Addresses(std::vector<KernelAddress>& out) {
  Session session;
  return session.Open() && session.ListAddresses(out) == 0;
}

KernelResult NetlinkKernel::ApplyStaticIpv4(const std::string& ifname, const StaticIpv4& setup) {
  Session session;
  Ipv4Setup want;
  KernelResult result = Resolve(session, ifname, setup, want);
  if (result != KernelResult::kDone) return result;
  // The link first: the kernel takes no gateway route on a link that is down.
  result = Verdict(session.SetLinkUp(want.index));
  std::vector<KernelAddress> addresses;
  session.ListAddresses(addresses);
  std::string wanted = Ipv4Text(want.address);
  for (const KernelAddress& old : addresses) {
    if (old.index != want.index || result == KernelResult::kRefused) continue;
    if (old.address == wanted && old.prefixLength == want.prefixLength) continue;
    in_addr oldAddress{};
    inet_pton(AF_INET, old.address.c_str(), &oldAddress);
    int error = session.ChangeAddress(RTM_DELADDR, want.index, oldAddress.s_addr, old.prefixLength);
    if (error != EADDRNOTAVAIL) result = Worse(result, Verdict(error));
  }
  if (result == KernelResult::kRefused) return result;
  result = Worse(result, Verdict(session.ChangeAddress(RTM_NEWADDR, want.index, want.address,
                                                       want.prefixLength)));
  std::vector<Route> routes;
  session.ListDefaultRoutes(want.index, routes);
  bool present = false;
  for (const Route& route : routes) {
    if (route.gateway == want.gateway && route.metric == want.metric) {
      present = true;
    } else if (result != KernelResult::kRefused) {
      int error = session.DeleteRoute(route, want.index);
      if (error != ESRCH) result = Worse(result, Verdict(error));
    }
  }
  if (!present && result != KernelResult::kRefused) {
    int error = session.ChangeDefaultRoute(RTM_NEWROUTE, want.index, want.gateway, want.metric);
    if (error != EEXIST) result = Worse(result, Verdict(error));
  }
  return result;
}

KernelResult NetlinkKernel::RemoveStaticIpv4(const std::string& ifname, const StaticIpv4& setup) {
  Session session;
  Ipv4Setup want;
  KernelResult result = Resolve(session, ifname, setup, want);
  if (result != KernelResult::kDone) return result;
  int error = session.ChangeDefaultRoute(RTM_DELROUTE, want.index, want.gateway, want.metric);
  if (error != ESRCH) result = Verdict(error);
  if (result == KernelResult::kRefused) return result;
  error = session.ChangeAddress(RTM_DELADDR, want.index, want.address, want.prefixLength);
  if (error != EADDRNOTAVAIL) result = Worse(result, Verdict(error));
  return result;
}

KernelResult NetlinkKernel::FlushNeighbours(const std::string& ifname) {
  Session session;
  if (!session.Open()) return KernelResult::kRefused;
  int adapter = session.IndexOf(ifname);
  if (adapter <= 0) return KernelResult::kFailed;
  std::vector<std::pair<int, uint32_t>> entries;
  if (session.ListNeighbours(adapter, entries) != 0) return KernelResult::kFailed;
  KernelResult result = KernelResult::kDone;
  for (const auto& [index, address] : entries) {
    int error = session.DeleteNeighbour(index, address);
    if (error == ENOENT) continue;
    result = Worse(result, Verdict(error));
    if (result == KernelResult::kRefused) break;
  }
  return result;
}

KernelResult NetlinkKernel::ReadAdapter(const std::string& ifname, AdapterState& out) {
  Session session;
  if (!session.Open()) return KernelResult::kRefused;
  int index = session.IndexOf(ifname);
  if (index <= 0) return KernelResult::kFailed;
  out = AdapterState{};
  if (session.LinkUp(index, out.up) != 0 || session.ListAdapterAddresses(index, out.addresses) != 0 ||
      session.ListAdapterRoutes(index, out.routes) != 0) {
    return KernelResult::kFailed;
  }
  return KernelResult::kDone;
}

namespace {

template <class T, class Same>
bool Contains(const std::vector<T>& list, const T& item, Same same) {
  return std::any_of(list.begin(), list.end(), [&](const T& other) { return same(other, item); });
}

}  // namespace

KernelResult NetlinkKernel::RestoreAdapter(const std::string& ifname, const AdapterState& state) {
  Session session;
  if (!session.Open()) return KernelResult::kRefused;
  int index = session.IndexOf(ifname);
  if (index <= 0) return KernelResult::kFailed;
  KernelResult result = KernelResult::kDone;
  auto note = [&](int error, std::initializer_list<int> harmless) {
    if (std::find(harmless.begin(), harmless.end(), error) == harmless.end()) {
      result = Worse(result, Verdict(error));
    }
  };
  // Up first: the kernel takes no gateway route on a link that is down.
  if (state.up) note(session.SetLink(index, true), {0});
  if (result == KernelResult::kRefused) return result;

  // Addresses that are not in the list go; an address whose settings differ
  // is made again, so that the primary comes first again.
  std::vector<AdapterAddress> current;
  session.ListAdapterAddresses(index, current);
  for (const AdapterAddress& address : current) {
    auto wanted = std::find_if(state.addresses.begin(), state.addresses.end(),
                               [&](const AdapterAddress& a) { return SameAddress(a, address); });
    if (wanted != state.addresses.end() && wanted->broadcast == address.broadcast &&
        wanted->permanent == address.permanent && wanted->noPrefixRoute == address.noPrefixRoute) {
      continue;
    }
    in_addr old{};
    inet_pton(AF_INET, address.address.c_str(), &old);
    note(session.ChangeAddress(RTM_DELADDR, index, old.s_addr, address.prefixLength), {0, EADDRNOTAVAIL});
  }
  current.clear();
  session.ListAdapterAddresses(index, current);
  for (const AdapterAddress& address : state.addresses) {
    if (Contains(current, address, SameAddress)) continue;
    note(session.AddAdapterAddress(index, address, ifname), {0, EEXIST});
  }

  std::vector<AdapterRoute> routes;
  session.ListAdapterRoutes(index, routes);
  for (const AdapterRoute& route : routes) {
    if (Contains(state.routes, route, SameRoute)) continue;
    note(session.ChangeAdapterRoute(RTM_DELROUTE, index, route), {0, ESRCH});
  }
  // A route through a gateway may need another route of the list first:
  // what fails is tried again once the others are in.
  routes.clear();
  session.ListAdapterRoutes(index, routes);
  std::vector<const AdapterRoute*> missing;
  for (const AdapterRoute& route : state.routes) {
    if (!Contains(routes, route, SameRoute)) missing.push_back(&route);
  }
  for (int pass = 0; pass < 2 && !missing.empty(); ++pass) {
    std::vector<const AdapterRoute*> failed;
    int lastError = 0;
    for (const AdapterRoute* route : missing) {
      int error = session.ChangeAdapterRoute(RTM_NEWROUTE, index, *route);
      if (error != 0 && error != EEXIST) {
        failed.push_back(route);
        lastError = error;
      }
    }
    missing = failed;
    if (pass == 1 && !missing.empty()) note(lastError, {0});
  }
  if (!state.up) note(session.SetLink(index, false), {0});
  return result;
}
