// brickfix-nethelper: holds the network rights for brickfix. brickfix starts
// it with one end of a socketpair as descriptor 3 (and the run lock's file
// as descriptor 4) and asks it, one request at a time, for what needs those
// rights; it ends when brickfix closes its end, putting back the adapters it
// changed unless brickfix said goodbye. It keeps no capability but the three
// network ones, and none at all when its file may be run by every user.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "netcfg/linux/HelperService.h"
#include "platform/linux/NetworkRights.h"

namespace {

constexpr int kSocket = 3;
constexpr int kLock = 4;

bool IsRequestSocket(int fd) {
  int type = 0, domain = 0;
  socklen_t length = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return false;
  length = sizeof domain;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_UNIX &&
         type == SOCK_SEQPACKET;
}

// Why the helper keeps no capability: its own file, which carries them, may
// be run by users outside its group. Empty when it may keep them (or runs
// as root, whose rights are not the file's).
std::string OpenToEveryone() {
  struct stat st {};
  if (getuid() == 0 || stat("/proc/self/exe", &st) != 0 || !(st.st_mode & S_IXOTH)) return "";
  char path[4096] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string file = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "brickfix-nethelper";
  return file + " may be run by every user, so it keeps no capability; limit it to the group: " +
         GrantCommand(file);
}

}  // namespace

int main() {
  std::string limit = OpenToEveryone();
  if (limit.empty()) {
    KeepOnlyNetworkCapabilities();
  } else {
    DropAllCapabilities();
  }
  if (!IsRequestSocket(kSocket)) {
    std::fputs("brickfix-nethelper: only brickfix starts this program\n", stderr);
    return 2;
  }
  return helper::RunHelper(kSocket, fcntl(kLock, F_GETFD) >= 0 ? kLock : -1, limit);
}
