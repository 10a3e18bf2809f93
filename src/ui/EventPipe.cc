#include "ui/EventPipe.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace {

// Where the handler writes; -1 when no pipe holds the signals.
std::atomic<int> g_signalFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

void OnSignal(int sig) {
  int saved = errno;
  int fd = g_signalFd.load();
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

EventPipe::EventPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_read = fds[0];
    m_write = fds[1];
  }
}

EventPipe::~EventPipe() {
  ReleaseSignals();
  if (m_read >= 0) close(m_read);
  if (m_write >= 0) close(m_write);
}

void EventPipe::Wake() {
  unsigned char byte = 0;
  // A full pipe already holds a wake-up; nothing is lost.
  [[maybe_unused]] ssize_t n = write(m_write, &byte, 1);
}

EventPipe::Events EventPipe::Consume() {
  Events events;
  unsigned char buffer[256];
  ssize_t n;
  while ((n = read(m_read, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == SIGWINCH) events.resize = true;
      else if (buffer[i] != 0) events.cancel = true;
    }
  }
  return events;
}

bool EventPipe::CatchSignals(bool resize) {
  int expected = -1;
  if (!Valid() || !g_signalFd.compare_exchange_strong(expected, m_write)) return false;
  m_bHolding = true;
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == SIGWINCH && !resize) continue;
    m_bCaught[i] = sigaction(kSignals[i], &action, &m_old[i]) == 0;
  }
  return true;
}

void EventPipe::ReleaseSignals() {
  for (int i = 0; i < kSignalCount; ++i) {
    if (!m_bCaught[i]) continue;
    sigaction(kSignals[i], &m_old[i], nullptr);
    m_bCaught[i] = false;
  }
  if (m_bHolding) g_signalFd.store(-1);
  m_bHolding = false;
}
