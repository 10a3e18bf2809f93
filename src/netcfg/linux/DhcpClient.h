// Handing an adapter back to the DHCP client the system has.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/linux/ProcessRunner.h"

// Where the DHCP client keeps its files. Left empty, the client uses the
// places the system's own network scripts use (so that they recognise the
// client we started) and its own hook, which applies the lease and updates
// /etc/resolv.conf as it always does. Tests point both somewhere private.
struct DhcpClientFiles {
  std::string stateDir;  // lease and pid files
  std::string script;    // the hook that applies a lease
};

struct DhcpClient {
  std::vector<std::string> argv;  // runs it in the foreground; empty: the system has none
  std::string pidFile;            // where it records its process id; empty: it keeps its own
  std::string processName;        // its name in /proc/<pid>/comm
};

// The system's DHCP client for `ifname`, to be started in the background:
// dhclient, dhcpcd or udhcpc (also busybox's), the first that exists, or the
// `preferred` one when the system has it; udhcpc only with a hook, since
// without one it applies nothing.
DhcpClient FindDhcpClient(IProcessRunner& runner, const std::string& ifname,
                          const DhcpClientFiles& files, const std::string& preferred = "");

// "dhclient", "dhcpcd" or "udhcpc" when `process` is a DHCP client that
// serves `ifname` (its command line names the adapter); empty otherwise. A
// dhcpcd that serves every adapter of the system is not counted: stopping
// it would take the others' leases too.
std::string DhcpClientServing(const RunningProcess& process, const std::string& ifname);

// Ends the client that an earlier hand-back (ours, or the system's network
// scripts) left running for the adapter, found through its pid file, so
// that one client serves it. Waits up to a second for it to go.
void StopPreviousClient(const DhcpClient& client);

// Starting the DHCP client for an adapter, which takes the network rights
// (the client sets the address and binds UDP port 68).
class DhcpStarter {
 public:
  virtual ~DhcpStarter() = default;
  // Ends the client an earlier hand-back left for `ifname` and starts the
  // system's client (FindDhcpClient with `preferred`) in the background.
  // False when there is none or it could not be started.
  virtual bool Start(const std::string& ifname, const std::string& preferred) = 0;
  // Ends the client that Start started for `ifname`, if it still runs.
  virtual void StopStarted(const std::string& /*ifname*/) {}
  // Before the first change of `ifname`: the kind of DHCP client that
  // served it ("" for none), to be started again should the adapter be put
  // back without the program.
  virtual void NoteServedBefore(const std::string& /*ifname*/, const std::string& /*kind*/) {}
};

// Starts it through `runner`, with the client's files in `files`, and
// keeps track of it: while the client it started for an adapter runs, it
// starts no second one. For one thread.
class LocalDhcpStarter : public DhcpStarter {
 public:
  LocalDhcpStarter(IProcessRunner& runner, DhcpClientFiles files)
      : m_runner(runner), m_files(std::move(files)) {}
  bool Start(const std::string& ifname, const std::string& preferred) override;
  void StopStarted(const std::string& ifname) override;

 private:
  // The client started for `ifname`, while it still runs.
  const RunningProcess* Running(const std::string& ifname);

  IProcessRunner& m_runner;
  DhcpClientFiles m_files;
  std::map<std::string, RunningProcess> m_started;
};
