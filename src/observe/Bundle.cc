#include "observe/Bundle.h"

#include <algorithm>

#include "netcfg/KernelNetwork.h"

namespace observe {

namespace {

constexpr std::string_view kTimelinePrefix = "timeline-";
constexpr std::string_view kTimelineSuffix = ".jsonl";

// The adapter as the timeline's wait-begin names it.
std::optional<std::string> WaitAdapterOfTimeline(const std::string& timeline) {
  constexpr std::string_view kWait = "\"event\":\"wait-begin\"";
  constexpr std::string_view kAdapter = "\"adapter\":\"";
  std::size_t wait = timeline.find(kWait);
  if (wait == std::string::npos) return std::nullopt;
  std::size_t at = timeline.find(kAdapter, wait);
  std::size_t lineEnd = timeline.find('\n', wait);
  if (at == std::string::npos || at > lineEnd) return std::nullopt;
  at += kAdapter.size();
  std::size_t end = timeline.find('"', at);
  if (end == std::string::npos || end > lineEnd) return std::nullopt;
  return timeline.substr(at, end - at);
}

}  // namespace

std::optional<std::string> AdapterOfTimeline(const std::string& timeline) {
  std::optional<std::string> adapter = WaitAdapterOfTimeline(timeline);
  // It becomes part of a file name.
  if (!adapter || !IsSafeInterfaceName(*adapter)) return std::nullopt;
  return adapter;
}

bool WriteSupportBundle(IStateFolder& folder, const std::string& about, IBundleArchive& archive,
                        std::vector<std::string>& added, std::string& error, const JournalNameOf& journalOf) {
  std::vector<std::string> names = folder.Names();
  std::string latest;
  for (const std::string& name : names) {
    if (name.size() > kTimelinePrefix.size() + kTimelineSuffix.size() && name.starts_with(kTimelinePrefix) &&
        name.ends_with(kTimelineSuffix) && name > latest) {
      latest = name;
    }
  }
  if (latest.empty()) {
    error = "no run has left a timeline in the state folder";
    return false;
  }
  std::string run = latest.substr(kTimelinePrefix.size(),
                                  latest.size() - kTimelinePrefix.size() - kTimelineSuffix.size());
  std::string top = "brickfix-support-" + run + "/";
  std::vector<std::string> wanted = {latest, "diagnostics-" + run + ".log", "capture-" + run + ".pcapng"};
  std::optional<std::string> timeline = folder.Read(latest);
  if (!timeline) {
    error = "cannot read " + latest;
    return false;
  }
  if (journalOf) {
    std::optional<std::string> adapter = WaitAdapterOfTimeline(*timeline);
    std::optional<std::string> journal = adapter ? journalOf(*adapter) : std::nullopt;
    if (journal) wanted.push_back(*journal);
  } else if (std::optional<std::string> adapter = AdapterOfTimeline(*timeline)) {
    wanted.push_back("adapter-" + *adapter + ".journal");
  }
  bool ok = archive.Add(top + "system.txt", about);
  if (ok) added.push_back(top + "system.txt");
  for (const std::string& name : wanted) {
    if (!ok || std::find(names.begin(), names.end(), name) == names.end()) continue;
    std::optional<std::string> bytes = name == latest ? timeline : folder.Read(name);
    if (!bytes) continue;
    ok = archive.Add(top + name, *bytes);
    if (ok) added.push_back(top + name);
  }
  if (!ok) error = "cannot add to the archive";
  std::string closing;
  if (!archive.Close(closing) && ok) {
    error = closing;
    ok = false;
  }
  return ok;
}

}  // namespace observe
