#include "netcfg/linux/LinkMonitor.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "netcfg/linux/NetlinkMessages.h"

using netlink::AttrU32;
using netlink::BodyOf;
using netlink::ForEachAttr;

namespace {

// The carrier flag of <linux/if.h>, which clashes with <net/if.h>.
constexpr unsigned kLowerUp = 0x10000;

// What the monitor knows of the adapter, and what it has told.
struct AdapterView {
  int index = 0;
  std::optional<bool> carrier;
  std::vector<std::uint32_t> addresses;  // host byte order
  bool addressesChanged = true;

  void Take(const nlmsghdr& msg) {
    switch (msg.nlmsg_type) {
      case RTM_NEWLINK:
      case RTM_DELLINK: {
        const ifinfomsg& link = BodyOf<ifinfomsg>(msg);
        if (link.ifi_index != index) return;
        carrier = msg.nlmsg_type == RTM_NEWLINK && (link.ifi_flags & IFF_UP) && (link.ifi_flags & kLowerUp);
        return;
      }
      case RTM_NEWADDR:
      case RTM_DELADDR: {
        const ifaddrmsg& header = BodyOf<ifaddrmsg>(msg);
        if (header.ifa_family != AF_INET || static_cast<int>(header.ifa_index) != index) return;
        std::uint32_t local = 0, address = 0;
        ForEachAttr<ifaddrmsg>(msg, [&](const rtattr& attr) {
          if (attr.rta_type == IFA_LOCAL) local = ntohl(AttrU32(attr));
          if (attr.rta_type == IFA_ADDRESS) address = ntohl(AttrU32(attr));
        });
        std::uint32_t value = local ? local : address;
        auto at = std::find(addresses.begin(), addresses.end(), value);
        if (msg.nlmsg_type == RTM_NEWADDR && at == addresses.end()) addresses.push_back(value);
        if (msg.nlmsg_type == RTM_DELADDR && at != addresses.end()) addresses.erase(at);
        addressesChanged = true;
        return;
      }
    }
  }
};

template <class Body>
bool SendDump(int fd, std::uint16_t type, std::uint32_t seq, unsigned char family) {
  struct {
    nlmsghdr header;
    Body body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = seq;
  std::memcpy(&request.body, &family, 1);  // both bodies begin with the family
  return send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
}

bool AskDump(int fd, std::uint16_t type, std::uint32_t seq) {
  return type == RTM_GETADDR ? SendDump<ifaddrmsg>(fd, type, seq, AF_INET)
                             : SendDump<ifinfomsg>(fd, type, seq, AF_UNSPEC);
}

}  // namespace

bool LinkMonitor::Start(const std::string& adapter, observe::ILinkSink& sink) {
  Stop();
  int index = static_cast<int>(if_nametoindex(adapter.c_str()));
  if (index == 0) return false;
  m_socket.Reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  m_stop.Reset(eventfd(0, EFD_CLOEXEC));
  if (!m_socket.valid() || !m_stop.valid()) return false;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (bind(m_socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  m_thread = std::thread([this, index, &sink] { Listen(index, &sink); });
  return true;
}

void LinkMonitor::Stop() {
  if (!m_thread.joinable()) return;
  std::uint64_t one = 1;
  if (write(m_stop.get(), &one, sizeof one) < 0) {
    // The socket's next event ends the wait all the same.
  }
  m_thread.join();
}

// Subscribed first, the tables dumped after: an event that the dump already
// shows changes nothing when it is read again.
void LinkMonitor::Listen(int index, observe::ILinkSink* sink) {
  int fd = m_socket.get();
  AdapterView view;
  view.index = index;
  std::deque<std::uint16_t> dumps = {RTM_GETLINK, RTM_GETADDR};
  std::uint32_t seq = 1;
  bool dumping = AskDump(fd, dumps.front(), seq);
  std::optional<bool> toldCarrier;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    pollfd entries[] = {{fd, POLLIN, 0}, {m_stop.get(), POLLIN, 0}};
    if (poll(entries, 2, -1) < 0 && errno != EINTR) return;
    if (entries[1].revents) return;
    if (!entries[0].revents) continue;
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno != ENOBUFS) continue;
      // Events were lost: read the tables again.
      view.addresses.clear();
      view.addressesChanged = true;
      dumps = {RTM_GETLINK, RTM_GETADDR};
      dumping = AskDump(fd, dumps.front(), ++seq);
      continue;
    }
    int length = static_cast<int>(n);
    for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(msg, length);
         msg = NLMSG_NEXT(msg, length)) {
      if (msg->nlmsg_type == NLMSG_DONE || msg->nlmsg_type == NLMSG_ERROR) {
        if (msg->nlmsg_seq != seq || dumps.empty()) continue;
        dumps.pop_front();
        dumping = !dumps.empty() && AskDump(fd, dumps.front(), ++seq);
        continue;
      }
      view.Take(*msg);
    }
    // The adapter's state is told once the first dumps are in, then at
    // every change.
    if (dumping) continue;
    bool carrier = view.carrier.value_or(false);
    if (toldCarrier != carrier) sink->OnCarrier(carrier);
    toldCarrier = carrier;
    if (view.addressesChanged) sink->OnAddresses(view.addresses);
    view.addressesChanged = false;
  }
}
