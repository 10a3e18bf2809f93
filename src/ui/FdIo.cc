#include "ui/FdIo.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}
