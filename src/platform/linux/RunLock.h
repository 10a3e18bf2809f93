// One run at a time in a network namespace: the adapters and UDP port 69
// belong to the namespace, and so does the lock, an abstract Unix socket
// address. The kernel frees it when the process ends, however it ends.
#pragma once

#include "platform/linux/ScopedFd.h"

class RunLock {
 public:
  // Takes the lock of the calling thread's network namespace. False when
  // another process (or another RunLock) holds it. When no socket can be
  // made at all the lock counts as taken: nothing else could take it either.
  bool TryAcquire();

 private:
  ScopedFd m_fd;
};
