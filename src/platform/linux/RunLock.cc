#include "platform/linux/RunLock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

namespace {

constexpr char kRunName[] = "brickfix-run";
constexpr char kHelperName[] = "brickfix-run-helper";
constexpr off_t kRunByte = 0, kHelperByte = 1;
constexpr int kRetryMs = 50;

// A socket bound to the abstract address `name`: no file, scoped to the
// network namespace. Not valid when the name is taken (errno EADDRINUSE).
ScopedFd BindAbstract(const char* name) {
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::size_t length = std::strlen(name);
  std::memcpy(address.sun_path + 1, name, length);
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0) fd.Reset();
  return fd;
}

flock Range(short type, off_t start) {
  flock range{};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = 1;
  return range;
}

bool Lock(int fd, off_t byte) {
  flock range = Range(F_WRLCK, byte);
  return fcntl(fd, F_SETLK, &range) == 0;
}

void Unlock(int fd, off_t byte) {
  flock range = Range(F_UNLCK, byte);
  fcntl(fd, F_SETLK, &range);
}

LockHolder HolderOf(int fd, off_t byte) {
  LockHolder holder;
  flock range = Range(F_WRLCK, byte);
  if (fcntl(fd, F_GETLK, &range) != 0 || range.l_type == F_UNLCK || range.l_pid <= 0) return holder;
  holder.pid = range.l_pid;
  struct stat st {};
  if (stat(("/proc/" + std::to_string(holder.pid)).c_str(), &st) != 0) return holder;
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  holder.user = getpwuid_r(st.st_uid, &entry, buffer, sizeof buffer, &found) == 0 && found
                    ? found->pw_name
                    : std::to_string(st.st_uid);
  return holder;
}

// Waits up to `ms` for `ready`, trying every kRetryMs.
template <class Ready>
bool WaitFor(int ms, Ready ready) {
  for (int waited = 0;; waited += kRetryMs) {
    if (ready()) return true;
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
  }
}

}  // namespace

bool RunLock::TryAcquire(int helperWaitMs) {
  if (m_fd.valid()) return true;
  struct stat st {};
  // The installed runtime folder: root's, and nobody else may write in it.
  if (lstat(m_folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
      !(st.st_mode & S_IWOTH)) {
    return AcquireFile(helperWaitMs);
  }
  return AcquireAbstract(helperWaitMs);
}

bool RunLock::AcquireFile(int helperWaitMs) {
  struct stat ns {};
  if (stat("/proc/thread-self/ns/net", &ns) != 0) return true;
  m_path = m_folder + "/netns-" + std::to_string(ns.st_ino) + ".lock";
  // Read and written by the group: the folder gives new files its group.
  mode_t mask = umask(007);
  ScopedFd fd(open(m_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660));
  umask(mask);
  struct stat file {};
  if (!fd.valid() || fstat(fd.get(), &file) != 0 || !S_ISREG(file.st_mode)) return true;
  if (!Lock(fd.get(), kRunByte)) {
    m_holder = HolderOf(fd.get(), kRunByte);
    return false;
  }
  // The helper of a run that has ended may still put an adapter back.
  if (!WaitFor(helperWaitMs, [&] { return Lock(fd.get(), kHelperByte); })) {
    m_holder = HolderOf(fd.get(), kHelperByte);
    return false;  // closing the file gives up byte 0 again
  }
  Unlock(fd.get(), kHelperByte);  // for our own helper
  m_fd = std::move(fd);
  m_file = true;
  return true;
}

bool RunLock::AcquireAbstract(int helperWaitMs) {
  ScopedFd fd = BindAbstract(kRunName);
  if (!fd.valid()) return errno != EADDRINUSE;
  if (!WaitFor(helperWaitMs, [] { return BindAbstract(kHelperName).valid() || errno != EADDRINUSE; })) {
    return false;
  }
  m_fd = std::move(fd);
  return true;
}

void HoldHelperLock(int fd) {
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    flock range = Range(F_WRLCK, kHelperByte);
    while (fcntl(fd, F_SETLKW, &range) != 0 && errno == EINTR) {
    }
    return;
  }
  static ScopedFd name;
  name = BindAbstract(kHelperName);
}
