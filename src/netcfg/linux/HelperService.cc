#include "netcfg/linux/HelperService.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "netcfg/linux/Netlink.h"
#include "netcfg/linux/Ping.h"
#include "netcfg/RestorePlan.h"
#include "platform/linux/NetworkRights.h"
#include "platform/linux/ProcessRunner.h"
#include "platform/linux/RunLock.h"

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

bool Changes(Kind kind) {
  return kind == Kind::kSetStatic || kind == Kind::kRemoveStatic || kind == Kind::kStartDhcpClient;
}

}  // namespace

Service::Service(IKernelNetwork& kernel, DhcpStarter& dhcp, RouterProbe probe,
                 std::function<long long()> now, CaptureOpener capture)
    : m_kernel(kernel),
      m_dhcp(dhcp),
      m_probe(std::move(probe)),
      m_now(std::move(now)),
      m_openCapture(std::move(capture)) {
  if (!m_probe) {
    m_probe = [](const std::string& ifname, const std::string& address) {
      return PingOnce(address.c_str(), PingSocket::kRawOrDatagram, ifname);
    };
  }
  if (!m_now) m_now = [] { return static_cast<long long>(std::time(nullptr)); };
  if (!m_openCapture) {
    m_openCapture = [](const KernelLink& link, int& error) { return OpenPacketCapture(link.index, error); };
  }
}

std::optional<KernelLink> Service::SuitableAdapter(std::int32_t index) {
  std::vector<KernelLink> links;
  if (!m_kernel.ListLinks(links)) return std::nullopt;
  for (const KernelLink& link : links) {
    if (link.index == index && IsSuitableAdapter(link)) return link;
  }
  return std::nullopt;
}

void Service::RememberBeforeChange(const KernelLink& link, const Request& request) {
  Adapter& adapter = m_adapters[link.index];
  if (adapter.before) return;
  AdapterSnapshot before;
  before.ifname = link.name;
  before.takenAt = m_now();
  if (m_kernel.ReadAdapter(link.name, before.kernel) != KernelResult::kDone) return;
  adapter.before = before;
  adapter.dhcpBefore = request.kind == Kind::kSetStatic && request.dhcpBefore;
  adapter.dhcp = request.dhcp;
}

Reply Service::Restore(const std::string& ifname, const AdapterState& wanted) {
  for (const AdapterAddress& address : wanted.addresses) {
    // The kernel keeps a label only when it begins with the adapter's name.
    if (!address.label.empty() && address.label.rfind(ifname, 0) != 0) {
      return Answer(Kind::kRestoreAdapter, Status::kInvalid, "a label of another adapter");
    }
  }
  AdapterState now;
  KernelResult read = m_kernel.ReadAdapter(ifname, now);
  if (read != KernelResult::kDone) return Answer(Kind::kRestoreAdapter, StatusOf(read), "cannot read " + ifname);
  std::string why;
  if (!RestoreBoundsHold(wanted, now, why)) {
    return Answer(Kind::kRestoreAdapter, Status::kInvalid, ifname + ": " + why);
  }
  // The link stays as it is, and so do the routes a request cannot name
  // (other tables, other types).
  AdapterState target = wanted;
  target.up = now.up;
  for (const AdapterRoute& route : now.routes) {
    if (route.table != kMainTable || route.type != kUnicastRoute) target.routes.push_back(route);
  }
  return Answer(Kind::kRestoreAdapter, StatusOf(m_kernel.RestoreAdapter(ifname, target)));
}

std::optional<Setup> Service::SetupSeen(const KernelLink& link) {
  std::vector<KernelAddress> addresses;
  m_kernel.ListIpv4Addresses(addresses);
  std::optional<Setup> found;
  for (Setup setup : {Setup::kRecovery, Setup::kLan}) {
    for (const KernelAddress& address : addresses) {
      if (address.index == link.index && address.address == SetupValues(setup).address &&
          address.prefixLength == SetupValues(setup).prefixLength) {
        found = setup;
      }
    }
  }
  return found;
}

Reply Service::Probe(const KernelLink& link) {
  // A set-up that NetworkManager gave the adapter for the program counts
  // as well; the router stays the last set-up's while DHCP brings the
  // adapter back.
  Adapter& adapter = m_adapters[link.index];
  if (std::optional<Setup> seen = SetupSeen(link)) adapter.setup = seen;
  if (!adapter.setup) {
    return Answer(Kind::kProbeRouter, Status::kInvalid,
                  link.name + " has none of the two set-ups: there is no router to probe");
  }
  Reply reply = Answer(Kind::kProbeRouter, Status::kDone);
  reply.reached = m_probe(link.name, SetupValues(*adapter.setup).gateway);
  return reply;
}

Reply Service::StartCapture(const KernelLink& link) {
  m_capture.reset();
  // The set-up the helper gave it and has not changed since, or the one
  // whose address it has now.
  std::optional<Setup> setup = m_adapters[link.index].inEffect;
  if (!setup) setup = SetupSeen(link);
  if (!setup) {
    return Answer(Kind::kStartCapture, Status::kInvalid,
                  link.name + " has none of the two set-ups: it is no recovery link to capture");
  }
  int error = 0;
  m_capture = m_openCapture(link, error);
  if (!m_capture) {
    return Answer(Kind::kStartCapture, StatusOfErrno(error),
                  "capture on " + link.name + ": " + std::strerror(error));
  }
  m_captureIndex = link.index;
  m_captureSetup = *setup;
  return Answer(Kind::kStartCapture, Status::kDone);
}

void Service::AdapterChanges(const Request& request) {
  if (request.kind != Kind::kSetStatic) m_adapters[request.ifindex].inEffect.reset();
  if (!m_capture || request.ifindex != m_captureIndex) return;
  bool keepsSetup = request.kind == Kind::kSetStatic && request.setup == m_captureSetup;
  if (!keepsSetup) m_capture.reset();
}

std::vector<std::vector<std::uint8_t>> Service::TakeFrames(std::size_t most) {
  std::vector<CapturedFrame> frames;
  if (m_capture) m_capture->Take(frames, most);
  std::vector<std::vector<std::uint8_t>> messages;
  for (const CapturedFrame& frame : frames) messages.push_back(EncodeCapturedFrame(frame));
  return messages;
}

Reply Service::Carry(const Request& request, ScopedFd& passed) {
  Reply reply = Answer(request.kind, Status::kDone);
  switch (request.kind) {
    case Kind::kStatus: {
      NetworkRights rights = ReadNetworkRights();
      reply.rights = {rights.netAdmin, rights.netRaw, rights.bindService, rights.pingSocket,
                      rights.port69Open};
      reply.text = m_limit;
      return reply;
    }
    case Kind::kListAdapters: {
      std::vector<KernelLink> links;
      if (!m_kernel.ListLinks(links)) return Answer(request.kind, Status::kFailed, "no adapter list");
      for (const KernelLink& link : links) {
        if (IsSuitableAdapter(link)) reply.adapters.push_back({link.index, link.name});
      }
      return reply;
    }
    case Kind::kGoodbye:
      m_goodbye = true;
      m_capture.reset();
      return reply;
    case Kind::kStopCapture:
      m_capture.reset();
      return reply;
    default:
      break;
  }
  // Every other request names an adapter.
  std::optional<KernelLink> link = SuitableAdapter(request.ifindex);
  if (!link) {
    return Answer(request.kind, Status::kInvalid,
                  "adapter " + std::to_string(request.ifindex) +
                      " is no wired Ethernet adapter that takes an address of its own");
  }
  const std::string& ifname = link->name;
  if (!link->up && (request.kind == Kind::kSetStatic || request.kind == Kind::kStartDhcpClient)) {
    return Answer(request.kind, Status::kRefused,
                  ifname + " is switched off, and the helper does not switch on what an administrator "
                           "switched off; to use it: ip link set dev " + ifname + " up");
  }
  if (Changes(request.kind)) RememberBeforeChange(*link, request);
  if (Changes(request.kind) || request.kind == Kind::kRestoreAdapter) AdapterChanges(request);
  switch (request.kind) {
    case Kind::kSetStatic: {
      reply = Answer(request.kind, StatusOf(m_kernel.ApplyStaticIpv4(ifname, SetupValues(request.setup))));
      if (reply.status == Status::kDone) {
        m_adapters[link->index].setup = m_adapters[link->index].inEffect = request.setup;
      }
      return reply;
    }
    case Kind::kRemoveStatic:
      return Answer(request.kind, StatusOf(m_kernel.RemoveStaticIpv4(ifname, SetupValues(request.setup))));
    case Kind::kStartDhcpClient:
      return m_dhcp.Start(ifname, DhcpKindName(request.dhcp))
                 ? reply
                 : Answer(request.kind, Status::kFailed, "no DHCP client could be started");
    case Kind::kFlushNeighbours:
      return Answer(request.kind, StatusOf(m_kernel.FlushNeighbours(ifname)));
    case Kind::kOpenTftpListener:
      return OpenTftpListener(ifname, passed);
    case Kind::kRestoreAdapter:
      return Restore(ifname, request.state);
    case Kind::kProbeRouter:
      return Probe(*link);
    case Kind::kStartCapture:
      return StartCapture(*link);
    default:
      return Answer(request.kind, Status::kInvalid, "not a request carried out on Linux");
  }
}

std::vector<std::uint8_t> Service::Handle(std::span<const std::uint8_t> message, ScopedFd& passed) {
  passed.Reset();
  std::optional<Request> request = DecodeRequest(message);
  if (!request) {
    // The reply names the kind when the request had a known one.
    std::optional<Kind> kind;
    if (message.size() >= 8) kind = KindOf(static_cast<std::uint16_t>(message[6] | message[7] << 8));
    return EncodeReply(Answer(kind.value_or(Kind::kStatus), Status::kInvalid,
                              "not a request the helper carries out"));
  }
  Reply reply = Carry(*request, passed);
  if (reply.status != Status::kDone) passed.Reset();
  return EncodeReply(reply);
}

void Service::ProgramGone() {
  m_capture.reset();
  if (m_goodbye) return;
  std::vector<KernelLink> links;
  m_kernel.ListLinks(links);
  for (const auto& [index, adapter] : m_adapters) {
    if (!adapter.before) continue;
    // By its index: the adapter may have been renamed meanwhile.
    auto link = std::find_if(links.begin(), links.end(), [&](const KernelLink& l) { return l.index == index; });
    if (link == links.end()) continue;
    // Our client first, so that no lease of it comes back afterwards.
    if (!adapter.dhcpBefore) m_dhcp.StopStarted(link->name);
    m_kernel.RestoreAdapter(link->name, adapter.before->KernelStateAt(m_now()));
    if (adapter.dhcpBefore) m_dhcp.Start(link->name, DhcpKindName(adapter.dhcp));
  }
}

namespace {

// One message from the program; false once it has gone. A request that
// comes with descriptors, or is too long, is handed on as an empty one.
bool Receive(int fd, std::vector<std::uint8_t>& buffer, std::size_t& length) {
  std::vector<ScopedFd> descriptors;  // closed unread
  bool truncated = false;
  ssize_t n = ReceiveMessage(fd, buffer, descriptors, truncated);
  if (n <= 0) return false;
  // Too long, or with descriptors: refused whole, however it looks.
  length = !descriptors.empty() || truncated ? 0 : static_cast<std::size_t>(n);
  return true;
}

bool Send(int fd, std::vector<std::uint8_t>& reply, const ScopedFd& passed) {
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
  return sent >= 0;
}

}  // namespace

ssize_t ReceiveMessage(int fd, std::vector<std::uint8_t>& buffer, std::vector<ScopedFd>& descriptors,
                       bool& truncated, int flags) {
  iovec data{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC | flags);
  } while (n < 0 && errno == EINTR);
  for (cmsghdr* c = n < 0 ? nullptr : CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int received = -1;
      std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
      descriptors.emplace_back(received);
    }
  }
  truncated = n >= 0 && (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
  return n;
}

namespace {

// A captured frame, unless the program's end is full: the helper never
// waits for the program to read frames.
void SendFrame(int fd, const std::vector<std::uint8_t>& frame) {
  ssize_t sent;
  do {
    sent = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
}

}  // namespace

void Serve(int fd, Service& service) {
  // Frames read per turn at most, so that a flood of them never holds up
  // the program's requests.
  constexpr std::size_t kFramesPerTurn = 64;
  std::vector<std::uint8_t> buffer(kMaxMessage + 1);
  // What the helper waits on: the program's requests and, while a capture
  // runs, its frames (a negative descriptor is not watched).
  pollfd watched[] = {{fd, POLLIN, 0}, {-1, POLLIN, 0}};
  for (bool open = true; open;) {
    watched[1].fd = service.CaptureDescriptor();
    if (poll(watched, std::size(watched), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[1].fd >= 0 && watched[1].revents) {
      for (const std::vector<std::uint8_t>& frame : service.TakeFrames(kFramesPerTurn)) SendFrame(fd, frame);
    }
    if (!(watched[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    std::size_t length = 0;
    if (!Receive(fd, buffer, length)) break;  // the program has gone
    ScopedFd passed;
    std::vector<std::uint8_t> reply = service.Handle({buffer.data(), length}, passed);
    open = Send(fd, reply, passed);
  }
  service.ProgramGone();
}

int RunHelper(int socketFd, int lockFd, const std::string& limit) {
  if (chdir("/") != 0) return 2;
  umask(022);
  // The requests come from the program alone, and its end closing is the end.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  // While this helper lives (and puts adapters back), no other run starts.
  HoldHelperLock(lockFd);
  NetlinkKernel kernel;
  PosixProcessRunner runner(/*networkCapabilities=*/true);
  LocalDhcpStarter dhcp(runner, DhcpClientFiles{});
  Service service(kernel, dhcp);
  service.SetLimit(limit);
  Serve(socketFd, service);
  return 0;
}

}  // namespace helper
