#include "netcfg/windows/WinObservation.h"

#include "netcfg/AdapterSnapshot.h"
#include "netcfg/windows/PortOwner.h"
#include "netcfg/windows/WinFirewall.h"
#include "netcfg/windows/WinLinkMonitor.h"
#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/RunFiles.h"

namespace {

constexpr std::size_t kNameLimit = 80;  // bytes for a connection name, as the wizard reads it

}  // namespace

observe::Observer* OpenWindowsObserver(const std::string& stateDir, const std::string& version, WinNetOps& net,
                                       std::function<bool()> portHeld) {
  observe::ObserverParts parts;
  parts.monitor = new WinLinkMonitor(
      [&net](const std::string& name, std::uint32_t& index, std::string& guid) { return net.Identify(name, index, guid); },
      [](const std::string& guid) { return ReadFirewall(guid); });
  auto* timeline = new TimelineFile;
  if (timeline->Open(stateDir)) parts.timeline = timeline;
  parts.findPortHolder = [portHeld = std::move(portHeld)](std::uint16_t port) -> std::optional<observe::PortHolder> {
    if (!portHeld()) return std::nullopt;
    PortOwner owner = UdpPortOwner(port);
    return observe::PortHolder{owner.program, static_cast<int>(owner.pid), ""};
  };
  parts.firewall = observe::FirewallKind::kWindows;
  parts.program = version.substr(0, version.find('\n')) + " (" + SystemDescription() + ")";
  return new observe::Observer(std::move(parts));
}

std::optional<std::string> JournalNameOfConnection(const std::string& name) {
  std::vector<AdapterRecord> records;
  if (!ListAdapterRecords(::GetAdaptersInfo, records)) return std::nullopt;
  for (const AdapterRecord& record : records) {
    std::string connection;
    if (IsAdapterGuid(record.id) && ReadConnectionName(record.id, kNameLimit, connection) && connection == name) {
      return "adapter-" + record.id + ".journal";
    }
  }
  return std::nullopt;
}
