// What a support bundle holds: the latest run's timeline, diagnostics and
// capture from the state folder, the journal of the adapter it chose when
// there is one, and the program's version and system. The archive's format
// (tar.gz, zip) and the folder's access are each system's own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace observe {

// The state folder, read-only.
class IStateFolder {
 public:
  virtual ~IStateFolder() = default;
  virtual std::vector<std::string> Names() = 0;
  // The whole file; nothing when it cannot be read.
  virtual std::optional<std::string> Read(const std::string& name) = 0;
};

// The archive being written.
class IBundleArchive {
 public:
  virtual ~IBundleArchive() = default;
  virtual bool Add(const std::string& name, const std::string& bytes) = 0;
  // Completes the archive; false, with the reason, when it could not be.
  virtual bool Close(std::string& error) = 0;
};

// The name of the journal in the state folder for the adapter a run chose,
// as its timeline names the adapter; nothing when there can be none.
using JournalNameOf = std::function<std::optional<std::string>(const std::string& adapter)>;

// Fills `archive` from the latest run in `folder`, each file under a folder
// "brickfix-support-<run>/", with "system.txt" holding `about`. The names
// added go to `added`. False, with the reason, when there is no run or the
// archive cannot be written. `journalOf` by default: "adapter-<interface>.journal"
// for an interface name AdapterOfTimeline takes.
bool WriteSupportBundle(IStateFolder& folder, const std::string& about, IBundleArchive& archive,
                        std::vector<std::string>& added, std::string& error, const JournalNameOf& journalOf = {});

// The adapter a timeline's wait began on, when it names a usable one.
std::optional<std::string> AdapterOfTimeline(const std::string& timeline);

}  // namespace observe
