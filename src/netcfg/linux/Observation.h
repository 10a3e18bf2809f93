// The observer of a run on Linux: the link monitor on rtnetlink, the
// timeline and the capture in the state folder beside the diagnostics, and
// /proc to tell who holds the TFTP port or may have taken the address. The
// frames come later from the network helper's capture, through the
// observer's frame sink.
#pragma once

#include <string>

#include "observe/Observer.h"
#include "platform/linux/ProcessRunner.h"

// `stateDir` empty: no timeline and no capture are kept. `version` is the
// program's version line. Lives until the process ends.
observe::Observer* OpenLinuxObserver(const std::string& stateDir, const std::string& version,
                                     IProcessRunner& runner);

// The program that may have taken the address of `ifname`: a DHCP client
// serving it, else NetworkManager when it runs; empty when neither.
std::string FindAddressTaker(IProcessRunner& runner, const std::string& ifname);
