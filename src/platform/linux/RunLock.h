// One run at a time in a network namespace: the adapters and UDP port 69
// belong to the namespace, and so does the lock.
//
// Installed, the lock is a file in the runtime folder (/run/brickfix, made
// by the package: root's, open to the group brickfix alone), one per
// network namespace, named after the namespace's inode, with a POSIX record
// lock on it: a user outside the group can neither make nor lock it, and
// the refusal names the process that holds it. Byte 0 is the run's, byte 1
// its network helper's, which holds it for its life, so that a new run
// waits while the helper of a run that was killed puts an adapter back.
//
// Without that folder (a build that is not installed), the lock is an
// abstract Unix socket address, "brickfix-run" (and "brickfix-run-helper"
// for the helper), which anyone in the namespace could take.
//
// The kernel frees either when the process ends, however it ends.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/linux/ScopedFd.h"

// The runtime folder of an installed system.
constexpr const char* kRunFolder = "/run/brickfix";

// Who holds the lock, as far as that can be told.
struct LockHolder {
  pid_t pid = 0;     // 0: unknown (the abstract name tells nobody)
  std::string user;  // the holder's user name (or number)
};

class RunLock {
 public:
  explicit RunLock(std::string folder = kRunFolder) : m_folder(std::move(folder)) {}

  // Takes the lock of the calling thread's network namespace, waiting up to
  // `helperWaitMs` while the helper of an ended run still holds its part.
  // False when another run (or its helper) holds it: holder() then says who.
  // When the lock cannot be had at all (no socket, or a runtime folder that
  // this user may not enter: not a member, so no rights either) it counts
  // as taken: no run of ours could take it either.
  bool TryAcquire(int helperWaitMs = 10000);
  const LockHolder& holder() const { return m_holder; }
  // The lock file, for the network helper to take its part with; -1 when
  // the lock is not a file.
  int HelperDescriptor() const { return m_file ? m_fd.get() : -1; }
  // The file this lock uses; empty for the abstract name.
  const std::string& path() const { return m_path; }

 private:
  bool AcquireFile(int helperWaitMs);
  bool AcquireAbstract(int helperWaitMs);

  std::string m_folder;
  std::string m_path;
  ScopedFd m_fd;
  bool m_file = false;
  LockHolder m_holder;
};

// In the network helper: its part of the lock through the lock file `fd`,
// or, when `fd` is no lock file, the helper's abstract name. Held until the
// process ends.
void HoldHelperLock(int fd);
