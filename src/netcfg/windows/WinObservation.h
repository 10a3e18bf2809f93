// The observer of a run on Windows: the adapter watched by WinLinkMonitor
// (carrier, addresses, neighbours, the firewall's verdict), the timeline in
// the state folder beside the diagnostics and the journals, the holder of a
// busy TFTP port from the UDP table. Windows shows no frames without a
// capture driver: no capture is kept.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "observe/Observer.h"

class WinNetOps;

// `stateDir` empty: no timeline is kept. `version` is the program's version
// line. `portHeld` says whether the listener's port was refused because
// another socket holds it (the holder is then looked up). Lives until the
// process ends.
observe::Observer* OpenWindowsObserver(const std::string& stateDir, const std::string& version, WinNetOps& net,
                                       std::function<bool()> portHeld);

// The journal's name in the state folder of the adapter with connection
// name `name`, as the timeline names it; nothing when no listed adapter has
// that name.
std::optional<std::string> JournalNameOfConnection(const std::string& name);
