// The adapter journal on Windows: one file per adapter that the program
// changed, adapter-{GUID}.journal in %LOCALAPPDATA%\Brickfix, holding what
// the adapter had before (its snapshot, AdapterSnapshot.h) until it has that
// back; and --restore-network, which puts it back through the elevated part.
#pragma once

#include <string>
#include <vector>

#include "netcfg/AdapterSnapshot.h"
#include "netcfg/HelperProtocol.h"

class IElevatedPart;

// %LOCALAPPDATA%\Brickfix; "" when LOCALAPPDATA names no absolute folder.
std::string WindowsStateDirectory();

class WinJournal {
 public:
  // `dir` is the state folder; empty: nothing can be kept.
  explicit WinJournal(std::string dir) : m_dir(std::move(dir)) {}

  const std::string& Dir() const { return m_dir; }
  std::string PathOf(const std::string& guid) const;
  // Creates the folder when needed, writes a temporary file, flushes it and
  // renames it into place, so that a crash leaves the old file or the new.
  bool Save(const AdapterSnapshot& snapshot, std::string& error) const;
  // False when there is none (error empty) or it cannot be read or understood.
  bool Load(const std::string& guid, AdapterSnapshot& out, std::string& error) const;
  // Removing a journal that is not there is no error.
  bool Remove(const std::string& guid) const;
  // The adapters that have a journal, by GUID.
  std::vector<std::string> Adapters() const;

 private:
  std::string m_dir;
};

// What the adapter `guid` has now, as Windows keeps it: DHCP or its static
// addresses, default gateways and DNS servers from the registry
// (Tcpip\Parameters\Interfaces), where it has them, else as
// GetAdaptersAddresses shows them. False when there is no such adapter.
bool ReadWindowsSnapshot(const std::string& guid, long long now, AdapterSnapshot& out);

// The requests that give an adapter its journal's settings back, in order;
// what cannot be asked of the elevated part (outside its bounds) is left out
// and `manual` holds the commands an administrator can run instead.
std::vector<helper::Request> PlanWindowsRestore(const AdapterSnapshot& snapshot, std::int32_t ifindex,
                                                const std::string& name, std::vector<std::string>& manual);

// What --restore-network needs of the system.
class IWinRestoreSystem {
 public:
  virtual ~IWinRestoreSystem() = default;
  // The adapter's index and connection name now; false when it is not there.
  virtual bool FindAdapter(const std::string& guid, std::int32_t& ifindex, std::string& name) = 0;
};

// brickfix --restore-network: puts back every adapter the journal lists and
// removes their journals. One line per adapter (or one saying there is
// nothing to do) goes to `report`. 0 when every adapter is back, 1 otherwise.
int RestoreFromWinJournal(const WinJournal& journal, IWinRestoreSystem& system, IElevatedPart& elevated,
                          std::string& report);
