#include "platform/linux/RunLock.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

constexpr char kLockName[] = "brickfix-run";

}  // namespace

bool RunLock::TryAcquire() {
  if (m_fd.valid()) return true;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A leading zero byte makes the address abstract: no file, and scoped to
  // the network namespace.
  std::memcpy(address.sun_path + 1, kLockName, sizeof kLockName - 1);
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + sizeof kLockName - 1);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    return errno != EADDRINUSE;
  }
  m_fd = std::move(fd);
  return true;
}
