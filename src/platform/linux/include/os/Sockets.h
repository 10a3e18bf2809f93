// The system's socket headers and an owned socket, on Linux: a socket is a
// file descriptor.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "platform/linux/ScopedFd.h"

using NativeSocket = int;
using ScopedSocket = ScopedFd;
