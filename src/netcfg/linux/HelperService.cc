#include "netcfg/linux/HelperService.h"

#include <linux/icmp.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/NetworkRights.h"

namespace helper {
namespace {

Status StatusOf(KernelResult result) {
  switch (result) {
    case KernelResult::kDone: return Status::kDone;
    case KernelResult::kRefused: return Status::kRefused;
    default: return Status::kFailed;
  }
}

Status StatusOfErrno(int error) {
  return error == EPERM || error == EACCES ? Status::kRefused : Status::kFailed;
}

Reply Answer(Kind kind, Status status, std::string text = "") {
  Reply reply;
  reply.kind = kind;
  reply.status = status;
  reply.text = std::move(text);
  return reply;
}

// UDP port 69 on every address, answering only on `ifname`.
Reply OpenTftpListener(const std::string& ifname, ScopedFd& passed) {
  ScopedFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kTftpPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!fd.valid() ||
      setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, ifname.c_str(),
                 static_cast<socklen_t>(ifname.size() + 1)) != 0 ||
      bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    int error = errno;
    return Answer(Kind::kOpenTftpListener, StatusOfErrno(error),
                  "UDP port 69 on " + ifname + ": " + std::strerror(error));
  }
  passed = std::move(fd);
  return Answer(Kind::kOpenTftpListener, Status::kDone);
}

// A raw ICMP socket whose receive queue takes echo replies only.
Reply OpenEchoSocket(ScopedFd& passed) {
  ScopedFd fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
  icmp_filter filter{~(1u << ICMP_ECHOREPLY)};
  if (!fd.valid() || setsockopt(fd.get(), SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
    int error = errno;
    return Answer(Kind::kOpenEchoSocket, StatusOfErrno(error),
                  std::string("raw ICMP socket: ") + std::strerror(error));
  }
  passed = std::move(fd);
  return Answer(Kind::kOpenEchoSocket, Status::kDone);
}

}  // namespace

bool Service::WiredAdapter(std::int32_t index, std::string& name) {
  std::vector<KernelLink> links;
  if (!m_kernel.ListLinks(links)) return false;
  for (const KernelLink& link : links) {
    if (link.index != index) continue;
    if (link.type != ARPHRD_ETHER || link.wireless || !IsSafeInterfaceName(link.name)) return false;
    name = link.name;
    return true;
  }
  return false;
}

Reply Service::Restore(const std::string& ifname, AdapterState state) {
  for (const AdapterAddress& address : state.addresses) {
    // The kernel keeps a label only when it begins with the adapter's name.
    if (!address.label.empty() && address.label.rfind(ifname, 0) != 0) {
      return Answer(Kind::kRestoreAdapter, Status::kInvalid, "a label of another adapter");
    }
  }
  // Routes a request cannot name (other tables, other types) stay as they are.
  AdapterState now;
  if (m_kernel.ReadAdapter(ifname, now) == KernelResult::kDone) {
    for (const AdapterRoute& route : now.routes) {
      if (route.table != kMainTable || route.type != kUnicastRoute) state.routes.push_back(route);
    }
  }
  return Answer(Kind::kRestoreAdapter, StatusOf(m_kernel.RestoreAdapter(ifname, state)));
}

Reply Service::Carry(const Request& request, ScopedFd& passed) {
  Reply reply = Answer(request.kind, Status::kDone);
  std::string ifname;
  switch (request.kind) {
    case Kind::kStatus: {
      NetworkRights rights = ReadNetworkRights();
      reply.rights = {rights.netAdmin, rights.netRaw, rights.bindService, rights.pingSocket,
                      rights.port69Open};
      return reply;
    }
    case Kind::kListAdapters: {
      std::vector<KernelLink> links;
      if (!m_kernel.ListLinks(links)) return Answer(request.kind, Status::kFailed, "no adapter list");
      for (const KernelLink& link : links) {
        if (link.type == ARPHRD_ETHER && !link.wireless && IsSafeInterfaceName(link.name)) {
          reply.adapters.push_back({link.index, link.name});
        }
      }
      return reply;
    }
    case Kind::kFlushNeighbours:
      return Answer(request.kind, StatusOf(m_kernel.FlushNeighbours()));
    case Kind::kOpenEchoSocket:
      return OpenEchoSocket(passed);
    default:
      break;
  }
  // Every other request names an adapter.
  if (!WiredAdapter(request.ifindex, ifname)) {
    return Answer(request.kind, Status::kInvalid,
                  "adapter " + std::to_string(request.ifindex) + " is no wired Ethernet adapter");
  }
  switch (request.kind) {
    case Kind::kSetStatic:
      return Answer(request.kind, StatusOf(m_kernel.ApplyStaticIpv4(ifname, SetupValues(request.setup))));
    case Kind::kRemoveStatic:
      return Answer(request.kind, StatusOf(m_kernel.RemoveStaticIpv4(ifname, SetupValues(request.setup))));
    case Kind::kStartDhcpClient:
      return m_dhcp.Start(ifname, DhcpKindName(request.dhcp))
                 ? reply
                 : Answer(request.kind, Status::kFailed, "no DHCP client could be started");
    case Kind::kOpenTftpListener:
      return OpenTftpListener(ifname, passed);
    case Kind::kRestoreAdapter:
      return Restore(ifname, request.state);
    default:
      return Answer(request.kind, Status::kInvalid);
  }
}

std::vector<std::uint8_t> Service::Handle(std::span<const std::uint8_t> message, ScopedFd& passed) {
  passed.Reset();
  std::optional<Request> request = DecodeRequest(message);
  if (!request) {
    // The reply names the kind when the request had a known one.
    Kind kind = Kind::kStatus;
    if (message.size() >= 8) {
      auto value = static_cast<std::uint16_t>(message[6] | message[7] << 8);
      if (value >= static_cast<std::uint16_t>(Kind::kStatus) &&
          value <= static_cast<std::uint16_t>(Kind::kRestoreAdapter)) {
        kind = static_cast<Kind>(value);
      }
    }
    return EncodeReply(Answer(kind, Status::kInvalid, "not a request the helper carries out"));
  }
  Reply reply = Carry(*request, passed);
  if (reply.status != Status::kDone) passed.Reset();
  return EncodeReply(reply);
}

void Serve(int fd, Service& service) {
  std::vector<std::uint8_t> buffer(kMaxMessage + 1);
  for (;;) {
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the program has gone
    bool withDescriptors = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      withDescriptors = true;
      std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received = -1;
        std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
        ScopedFd closed(received);
      }
    }
    ScopedFd passed;
    std::vector<std::uint8_t> reply;
    if (withDescriptors || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
      // Too long, or with descriptors: refused whole, however it looks.
      reply = service.Handle({}, passed);
    } else {
      reply = service.Handle({buffer.data(), static_cast<std::size_t>(n)}, passed);
    }
    iovec out{reply.data(), reply.size()};
    msghdr answer{};
    answer.msg_iov = &out;
    answer.msg_iovlen = 1;
    alignas(cmsghdr) char rights[CMSG_SPACE(sizeof(int))] = {};
    if (passed.valid()) {
      answer.msg_control = rights;
      answer.msg_controllen = sizeof rights;
      cmsghdr* c = CMSG_FIRSTHDR(&answer);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      int descriptor = passed.get();
      std::memcpy(CMSG_DATA(c), &descriptor, sizeof descriptor);
    }
    ssize_t sent;
    do {
      sent = sendmsg(fd, &answer, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return;
  }
}

}  // namespace helper
