#include "ui/FdLineChannel.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "ui/EventPipe.h"
#include "ui/FdIo.h"

namespace {

class FdLineChannel : public LineChannel {
 public:
  FdLineChannel(int inFd, int outFd, int errFd) : m_in(inFd), m_out(outFd), m_err(errFd) {}

  bool Valid() const override { return m_events.Valid(); }
  void WriteOut(std::string_view data) override { WriteAll(m_out, data); }
  void WriteErr(std::string_view data) override { WriteAll(m_err, data); }
  void CatchCancel() override { m_events.CatchSignals(false); }
  void ReleaseCancel() override { m_events.ReleaseSignals(); }
  void Wake() override { m_events.Wake(); }

  Input Wait() override {
    Input input;
    pollfd fds[2] = {{m_in, POLLIN, 0}, {m_events.ReadFd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) return input;  // EINTR: look again
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
  int m_err;
  EventPipe m_events;
};

}  // namespace

std::shared_ptr<LineChannel> MakeFdLineChannel(int inFd, int outFd, int errFd) {
  return std::make_shared<FdLineChannel>(inFd, outFd, errFd);
}
