#include "BenchObserver.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/BrickfixDlg.h"
#include "netcfg/linux/LinkMonitor.h"
#include "observe/Observer.h"
#include "platform/linux/RunFiles.h"

namespace {

// The capture as the network helper is to make it: a packet socket with a
// fixed classic BPF filter and a ring the kernel fills (no system call per
// frame), each frame cut to kSnapLength bytes, and at most
// kFramesPerSecond handed on (in bursts of kBurst), the rest dropped.
constexpr unsigned kSnapLength = 128;
constexpr unsigned kBlockSize = 1 << 20;
constexpr unsigned kBlocks = 4;
constexpr double kFramesPerSecond = 1000;
constexpr double kBurst = 200;

struct Ring {
  int fd = -1;
  std::uint8_t* map = nullptr;
};

// A token bucket: at most kFramesPerSecond, in bursts of kBurst.
class RateBound {
 public:
  bool Take() {
    auto now = std::chrono::steady_clock::now();
    m_tokens = std::min(kBurst, m_tokens + std::chrono::duration<double>(now - m_last).count() * kFramesPerSecond);
    m_last = now;
    if (m_tokens < 1) return false;
    m_tokens -= 1;
    return true;
  }

 private:
  double m_tokens = kBurst;
  std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
};

void Capture(Ring ring, observe::IFrameSink* sink) {
  RateBound bound;
  for (unsigned block = 0;; block = (block + 1) % kBlocks) {
    auto* header = reinterpret_cast<tpacket_block_desc*>(ring.map + block * kBlockSize);
    while (!(header->hdr.bh1.block_status & TP_STATUS_USER)) {
      pollfd entry{ring.fd, POLLIN | POLLERR, 0};
      poll(&entry, 1, -1);
    }
    auto* packet = reinterpret_cast<tpacket3_hdr*>(reinterpret_cast<std::uint8_t*>(header) +
                                                   header->hdr.bh1.offset_to_first_pkt);
    // The kernel stamps frames with the real-time clock; the sink wants the
    // monotonic one.
    auto offset = std::chrono::steady_clock::now().time_since_epoch() -
                  std::chrono::system_clock::now().time_since_epoch();
    for (unsigned i = 0; i < header->hdr.bh1.num_pkts; ++i) {
      if (bound.Take()) {
        auto taken = std::chrono::seconds(packet->tp_sec) + std::chrono::nanoseconds(packet->tp_nsec) + offset;
        std::chrono::steady_clock::time_point now(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(taken));
        auto* frame = reinterpret_cast<std::uint8_t*>(packet) + packet->tp_mac;
        auto* link = reinterpret_cast<sockaddr_ll*>(reinterpret_cast<std::uint8_t*>(packet) + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
        sink->OnFrame(now, link->sll_pkttype == PACKET_OUTGOING, {frame, packet->tp_snaplen}, packet->tp_len);
      }
      packet = reinterpret_cast<tpacket3_hdr*>(reinterpret_cast<std::uint8_t*>(packet) + packet->tp_next_offset);
    }
    header->hdr.bh1.block_status = TP_STATUS_KERNEL;
  }
}

}  // namespace

IObserver* StartBenchObserver(const std::string& adapter, const std::string& dir, std::string& error) {
  int index = static_cast<int>(if_nametoindex(adapter.c_str()));
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  int version = TPACKET_V3;
  // The frames the diagnosis needs, whole up to the snap length: ARP, ICMP,
  // UDP from or to port 69; of the transfers' frames, those of every 64th
  // block (DATA and its ACK), enough to see how a transfer went.
  sock_filter code[] = {
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},         // 0: ethertype
      {BPF_JMP | BPF_JEQ | BPF_K, 15, 0, 0x0806},   // 1: ARP: accept
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 13, 0x0800},   // 2: not IPv4: drop
      {BPF_LD | BPF_B | BPF_ABS, 0, 0, 23},         // 3: protocol
      {BPF_JMP | BPF_JEQ | BPF_K, 12, 0, 1},        // 4: ICMP: accept
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 10, 17},       // 5: not UDP: drop
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 20},         // 6: fragment offset
      {BPF_JMP | BPF_JSET | BPF_K, 8, 0, 0x1fff},   // 7: a later fragment: drop
      {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 14},        // 8: x = the IPv4 header's length
      {BPF_LD | BPF_H | BPF_IND, 0, 0, 16},         // 9: destination port
      {BPF_JMP | BPF_JEQ | BPF_K, 6, 0, 69},        // 10: to 69: accept
      {BPF_LD | BPF_H | BPF_IND, 0, 0, 14},         // 11: source port
      {BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 69},        // 12: from 69: accept
      {BPF_LD | BPF_H | BPF_IND, 0, 0, 24},         // 13: TFTP block number
      {BPF_ALU | BPF_AND | BPF_K, 0, 0, 63},        // 14
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 0},         // 15: every 64th block: accept
      {BPF_RET | BPF_K, 0, 0, 0},                   // 16: drop
      {BPF_RET | BPF_K, 0, 0, kSnapLength},         // 17: accept
  };
  sock_fprog filter{sizeof code / sizeof code[0], code};
  tpacket_req3 request{};
  request.tp_block_size = kBlockSize;
  request.tp_block_nr = kBlocks;
  request.tp_frame_size = 2048;
  request.tp_frame_nr = kBlockSize / 2048 * kBlocks;
  request.tp_retire_blk_tov = 100;
  sockaddr_ll local{};
  local.sll_family = AF_PACKET;
  local.sll_protocol = htons(ETH_P_ALL);
  local.sll_ifindex = index;
  void* map = MAP_FAILED;
  if (index == 0 || fd < 0 || setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0 ||
      setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0 ||
      (map = mmap(nullptr, kBlockSize * kBlocks, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd, 0)) == MAP_FAILED ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = "cannot capture on " + adapter + " (needs root)";
    return nullptr;
  }
  std::string folder = dir + "/brickfix-bench-XXXXXX";
  if (!mkdtemp(folder.data())) {
    error = "cannot make a folder in " + dir;
    return nullptr;
  }
  observe::ObserverParts parts;
  parts.monitor = new LinkMonitor;
  auto* timeline = new TimelineFile;
  if (timeline->Open(folder)) parts.timeline = timeline;
  std::string capture = CapturePath(folder);
  parts.saveCapture = [capture](const std::string& file) { ReplaceFile(capture, file); };
  parts.program = "tftp_bench_server";
  auto* observer = new observe::Observer(std::move(parts));
  if (!getenv("BENCH_NOCAP")) std::thread(Capture, Ring{fd, static_cast<std::uint8_t*>(map)}, observer).detach();
  return observer;
}

void BeginBenchWait(IObserver& observer, CBrickfixDlg* dlg, const std::string& adapter) {
  NetCommand command = dlg->RecoveryAddressCommand(adapter.c_str());
  observer.WaitBegins(dlg, command);
}
