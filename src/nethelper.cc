// brickfix-nethelper: holds the network rights for brickfix. brickfix starts
// it with one end of a socketpair as descriptor 3 and asks it, one request
// at a time, for what needs those rights; it ends when brickfix closes its
// end. It keeps no capability but the three network ones.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "netcfg/linux/DhcpClient.h"
#include "netcfg/linux/HelperService.h"
#include "netcfg/linux/Netlink.h"
#include "platform/linux/NetworkRights.h"
#include "platform/linux/ProcessRunner.h"

namespace {

constexpr int kSocket = 3;

bool IsRequestSocket(int fd) {
  int type = 0, domain = 0;
  socklen_t length = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return false;
  length = sizeof domain;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_UNIX &&
         type == SOCK_SEQPACKET;
}

}  // namespace

int main() {
  KeepOnlyNetworkCapabilities();
  if (!IsRequestSocket(kSocket)) {
    std::fputs("brickfix-nethelper: only brickfix starts this program\n", stderr);
    return 2;
  }
  if (chdir("/") != 0) return 2;
  umask(022);
  // The requests come from brickfix alone, and its end closing is the end.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  NetlinkKernel kernel;
  PosixProcessRunner runner(/*networkCapabilities=*/true);
  LocalDhcpStarter dhcp(runner, DhcpClientFiles{});
  helper::Service service(kernel, dhcp);
  helper::Serve(kSocket, service);
  return 0;
}
