#include "BenchObserver.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdlib>

#include <thread>

#include "app/BrickfixDlg.h"
#include "netcfg/linux/LinkMonitor.h"
#include "observe/Observer.h"
#include "platform/linux/RunFiles.h"

namespace {

// Every frame of the adapter, both ways, to the frame sink: what the
// network helper will do with its packet socket, minus the filter (the
// benchmark's link carries nothing else).
void Capture(int fd, observe::IFrameSink* sink) {
  unsigned char frame[2048];
  for (;;) {
    sockaddr_ll from{};
    socklen_t length = sizeof from;
    ssize_t got = recvfrom(fd, frame, sizeof frame, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) continue;
    std::size_t kept = std::min(static_cast<std::size_t>(got), sizeof frame);
    sink->OnFrame(std::chrono::steady_clock::now(), from.sll_pkttype == PACKET_OUTGOING, {frame, kept},
                  static_cast<std::size_t>(got));
  }
}

}  // namespace

IObserver* StartBenchObserver(const std::string& adapter, const std::string& dir, std::string& error) {
  int index = static_cast<int>(if_nametoindex(adapter.c_str()));
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  sockaddr_ll local{};
  local.sll_family = AF_PACKET;
  local.sll_protocol = htons(ETH_P_ALL);
  local.sll_ifindex = index;
  if (index == 0 || fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
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
  std::thread(Capture, fd, observer).detach();
  return observer;
}

void BeginBenchWait(IObserver& observer, CBrickfixDlg* dlg, const std::string& adapter) {
  NetCommand command = dlg->RecoveryAddressCommand(adapter.c_str());
  observer.WaitBegins(dlg, command);
}
