// Line mode's channel on POSIX file descriptors.
#pragma once

#include <memory>

#include "ui/LineChannel.h"

// Reads `inFd`, writes `outFd` and `errFd`; SIGTERM, SIGHUP and SIGINT are
// the cancel command.
std::shared_ptr<LineChannel> MakeFdLineChannel(int inFd = 0, int outFd = 1, int errFd = 2);
