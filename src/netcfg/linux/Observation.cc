#include "netcfg/linux/Observation.h"

#include <sys/utsname.h>

#include "netcfg/linux/DhcpClient.h"
#include "netcfg/linux/LinkMonitor.h"
#include "platform/linux/RunFiles.h"

std::string FindAddressTaker(IProcessRunner& runner, const std::string& ifname) {
  std::string taker;
  for (const RunningProcess& process : runner.ListProcesses()) {
    std::string client = DhcpClientServing(process, ifname);
    if (!client.empty()) return client;
    if (process.name == "NetworkManager") taker = process.name;
  }
  return taker;
}

observe::Observer* OpenLinuxObserver(const std::string& stateDir, const std::string& version,
                                     IProcessRunner& runner, observe::ICapture* capture) {
  observe::ObserverParts parts;
  parts.monitor = new LinkMonitor;
  parts.capture = capture;
  auto* timeline = new TimelineFile;
  if (timeline->Open(stateDir)) parts.timeline = timeline;
  if (!stateDir.empty()) {
    std::string capture = CapturePath(stateDir);
    parts.saveCapture = [capture](const std::string& file) { ReplaceFile(capture, file); };
  }
  parts.findPortHolder = [](std::uint16_t port) { return FindUdpPortHolder(port); };
  parts.findAddressTaker = [&runner](const std::string& ifname) { return FindAddressTaker(runner, ifname); };
  parts.program = version.substr(0, version.find('\n'));
  utsname system{};
  if (uname(&system) == 0) parts.program += std::string(" (") + system.sysname + " " + system.release + " " + system.machine + ")";
  return new observe::Observer(std::move(parts));
}
