#include "netcfg/linux/FrameCapture.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/ScopedFd.h"
#include "tftp/TftpPacket.h"

namespace helper {
namespace {

// The filter's places in an untagged Ethernet frame with IPv4 in it.
constexpr std::uint32_t kEtherType = 12;
constexpr std::uint32_t kIpStart = 14;
constexpr std::uint32_t kIpFragment = kIpStart + 6;
constexpr std::uint32_t kIpProtocol = kIpStart + 9;
constexpr std::uint32_t kIpSource = kIpStart + 12;
constexpr std::uint32_t kIpDestination = kIpStart + 16;
// Relative to the IPv4 header's length, which the filter loads into X.
constexpr std::uint32_t kUdpSourcePort = kIpStart;
constexpr std::uint32_t kUdpDestinationPort = kIpStart + 2;

constexpr std::uint32_t kRouterSubnet = 0xC0A80100;  // 192.168.1.0/24
constexpr std::uint32_t kSubnetMask = 0xFFFFFF00;
constexpr std::uint32_t kRecoveryRouter = 0xC0A80101;  // 192.168.1.1
constexpr std::uint32_t kLanRouter = 0xC0A8C701;       // 192.168.199.1

// Where the program's jumps go (instruction numbers below).
constexpr std::uint8_t kTransfer = 16, kIcmp = 22, kDrop = 28, kAccept = 29;
// A jump from instruction `at` to `target`: the distance past the next one.
constexpr std::uint8_t To(std::uint8_t target, std::uint8_t at) {
  return static_cast<std::uint8_t>(target - at - 1);
}
constexpr sock_filter Op(std::uint16_t code, std::uint32_t k) { return {code, 0, 0, k}; }
constexpr sock_filter Jump(std::uint16_t test, std::uint32_t k, std::uint8_t at, std::uint8_t yes,
                           std::uint8_t no) {
  return {static_cast<std::uint16_t>(BPF_JMP | test | BPF_K), To(yes, at), To(no, at), k};
}

constexpr sock_filter kFilter[] = {
    /* 0 */ Op(BPF_LD | BPF_H | BPF_ABS, kEtherType),
    /* 1 */ Jump(BPF_JEQ, ETH_P_ARP, 1, kAccept, 2),
    /* 2 */ Jump(BPF_JEQ, ETH_P_IP, 2, 3, kDrop),
    /* 3 */ Op(BPF_LD | BPF_B | BPF_ABS, kIpProtocol),
    /* 4 */ Jump(BPF_JEQ, IPPROTO_ICMP, 4, kIcmp, 5),
    /* 5 */ Jump(BPF_JEQ, IPPROTO_UDP, 5, 6, kDrop),
    /* 6 */ Op(BPF_LD | BPF_H | BPF_ABS, kIpFragment),
    /* 7 */ Jump(BPF_JSET, 0x1FFF, 7, kDrop, 8),  // a later fragment has no UDP header
    /* 8 */ Op(BPF_LDX | BPF_B | BPF_MSH, kIpStart),
    /* 9 */ Op(BPF_LD | BPF_H | BPF_IND, kUdpSourcePort),
    /* 10 */ Jump(BPF_JEQ, tftp::kTftpPort, 10, kAccept, 11),
    /* 11 */ Op(BPF_LD | BPF_H | BPF_IND, kUdpDestinationPort),
    /* 12 */ Jump(BPF_JEQ, tftp::kTftpPort, 12, kAccept, 13),
    /* 13 */ Jump(BPF_JGE, tftp::kFirstTransferPort, 13, kTransfer, 14),
    /* 14 */ Op(BPF_LD | BPF_H | BPF_IND, kUdpSourcePort),
    /* 15 */ Jump(BPF_JGE, tftp::kFirstTransferPort, 15, kTransfer, kDrop),
    // A transfer port: both ends in the router's subnet.
    /* 16 */ Op(BPF_LD | BPF_W | BPF_ABS, kIpSource),
    /* 17 */ Op(BPF_ALU | BPF_AND | BPF_K, kSubnetMask),
    /* 18 */ Jump(BPF_JEQ, kRouterSubnet, 18, 19, kDrop),
    /* 19 */ Op(BPF_LD | BPF_W | BPF_ABS, kIpDestination),
    /* 20 */ Op(BPF_ALU | BPF_AND | BPF_K, kSubnetMask),
    /* 21 */ Jump(BPF_JEQ, kRouterSubnet, 21, kAccept, kDrop),
    // ICMP: from or to one of the routers.
    /* 22 */ Op(BPF_LD | BPF_W | BPF_ABS, kIpSource),
    /* 23 */ Jump(BPF_JEQ, kRecoveryRouter, 23, kAccept, 24),
    /* 24 */ Jump(BPF_JEQ, kLanRouter, 24, kAccept, 25),
    /* 25 */ Op(BPF_LD | BPF_W | BPF_ABS, kIpDestination),
    /* 26 */ Jump(BPF_JEQ, kRecoveryRouter, 26, kAccept, 27),
    /* 27 */ Jump(BPF_JEQ, kLanRouter, 27, kAccept, kDrop),
    /* 28 */ Op(BPF_RET | BPF_K, 0),
    /* 29 */ Op(BPF_RET | BPF_K, kSnapLength),
};
static_assert(std::size(kFilter) == kAccept + 1);

std::uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

class PacketCapture : public FrameSource {
 public:
  explicit PacketCapture(ScopedFd fd) : m_fd(std::move(fd)) {}
  int Descriptor() const override { return m_fd.get(); }

  void Take(std::vector<CapturedFrame>& out, std::size_t most) override {
    for (std::size_t read = 0; read < most; ++read) {
      std::uint8_t buffer[kSnapLength];
      sockaddr_ll from{};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
      iovec data{buffer, sizeof buffer};
      msghdr message{};
      message.msg_name = &from;
      message.msg_namelen = sizeof from;
      message.msg_iov = &data;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      ssize_t n = recvmsg(m_fd.get(), &message, MSG_DONTWAIT | MSG_TRUNC);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;  // nothing waits (or an error, which reading clears)
      std::uint64_t now = MonotonicNs();
      if (!m_rate.Take(now)) continue;
      CapturedFrame frame;
      frame.monotonicNs = now;
      frame.outgoing = from.sll_pkttype == PACKET_OUTGOING;
      frame.wireLength = static_cast<std::uint32_t>(n);
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
        tpacket_auxdata aux{};
        std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        frame.wireLength = aux.tp_len;  // before the filter cut it
      }
      std::size_t kept = std::min(static_cast<std::size_t>(n), sizeof buffer);
      frame.wireLength = std::max<std::uint32_t>(frame.wireLength, static_cast<std::uint32_t>(kept));
      frame.bytes.assign(buffer, buffer + kept);
      out.push_back(std::move(frame));
    }
  }

 private:
  ScopedFd m_fd;
  FrameRate m_rate;
};

}  // namespace

bool FrameRate::Take(std::uint64_t nowNs) {
  if (m_last != 0) {
    double seconds = static_cast<double>(nowNs - std::min(nowNs, m_last)) / 1e9;
    m_tokens = std::min<double>(kFrameBurst, m_tokens + seconds * kFramesPerSecond);
  }
  m_last = nowNs;
  if (m_tokens < 1) return false;
  m_tokens -= 1;
  return true;
}

std::unique_ptr<FrameSource> OpenPacketCapture(int ifindex, int& error) {
  // Protocol 0: the socket takes no frame before it is bound, and it is
  // bound only once its filter is attached and locked.
  ScopedFd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
  sock_fprog program{static_cast<unsigned short>(std::size(kFilter)), const_cast<sock_filter*>(kFilter)};
  int on = 1;
  sockaddr_ll local{};
  local.sll_family = AF_PACKET;
  local.sll_protocol = htons(ETH_P_ALL);
  local.sll_ifindex = ifindex;
  if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
      setsockopt(fd.get(), SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) != 0 ||
      setsockopt(fd.get(), SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0 ||
      bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = errno;
    return nullptr;
  }
  return std::make_unique<PacketCapture>(std::move(fd));
}

}  // namespace helper
