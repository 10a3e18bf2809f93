// The observer of a run on Linux: the link monitor on rtnetlink, the
// network helper's capture of the link's frames, the timeline and the
// capture file in the state folder beside the diagnostics, and /proc to
// tell who holds the TFTP port or may have taken the address.
#pragma once

#include <string>

#include "observe/Observer.h"
#include "platform/linux/ProcessRunner.h"

// `stateDir` empty: no timeline and no capture are kept. `version` is the
// program's version line; `capture` hands up the frames (none: no frames).
// Lives until the process ends.
observe::Observer* OpenLinuxObserver(const std::string& stateDir, const std::string& version,
                                     IProcessRunner& runner, observe::ICapture* capture);

// The program that may have taken the address of `ifname`: a DHCP client
// serving it, else NetworkManager when it runs; empty when neither.
std::string FindAddressTaker(IProcessRunner& runner, const std::string& ifname);
