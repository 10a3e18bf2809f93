#include "ui/FdLineChannel.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "ui/EventPipe.h"
#include "platform/linux/ScopedFd.h"
#include "ui/FdIo.h"

namespace {

class FdLineChannel : public LineChannel {
 public:
  FdLineChannel(int inFd, int outFd, int errFd) : m_in(inFd), m_out(outFd), m_errFd(errFd) {}

  bool Valid() const override { return m_events.Valid(); }
  void WriteOut(std::string_view data) override { WriteAll(m_out, data); }
  void WriteErr(std::string_view data) override { WriteAll(m_err.get() >= 0 ? m_err.get() : m_errFd, data); }
  void KeepErrorOutput() override { m_err.Reset(fcntl(m_errFd, F_DUPFD_CLOEXEC, 3)); }
  void CatchCancel() override { m_events.CatchSignals(false); }
  void ReleaseCancel() override { m_events.ReleaseSignals(); }
  void Wake() override { m_events.Wake(); }

  Input Wait(int timeoutMs) override {
    Input input;
    pollfd fds[2] = {{m_in, POLLIN, 0}, {m_events.ReadFd(), POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return input;  // EINTR or the time passed: look again
    if ((fds[1].revents & POLLIN) && m_events.Consume().cancel) input.cancel = true;
    if (fds[0].revents & POLLNVAL) {
      input.end = true;
    } else if (fds[0].revents) {
      char buffer[16384];
      ssize_t n = read(m_in, buffer, sizeof buffer);
      if (n > 0) input.data.assign(buffer, static_cast<std::size_t>(n));
      else if (n == 0 || (errno != EINTR && errno != EAGAIN)) input.end = true;
    }
    return input;
  }

 private:
  int m_in;
  int m_out;
  int m_errFd;
  ScopedFd m_err;  // standard error as it was before the diagnostics took it over
  EventPipe m_events;
};

}  // namespace

std::shared_ptr<LineChannel> MakeFdLineChannel(int inFd, int outFd, int errFd) {
  return std::make_shared<FdLineChannel>(inFd, outFd, errFd);
}
