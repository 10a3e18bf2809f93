// A self-pipe that wakes a frontend's poll loop: the bridge writes to it when
// another thread waits for the user-interface thread, and the cancel signals
// write their number into it from their handler.
#pragma once

#include <signal.h>

class EventPipe {
 public:
  EventPipe();
  ~EventPipe();
  EventPipe(const EventPipe&) = delete;
  EventPipe& operator=(const EventPipe&) = delete;

  bool Valid() const { return m_read >= 0; }
  int ReadFd() const { return m_read; }

  // Any thread, also a signal handler.
  void Wake();

  struct Events {
    bool cancel = false;  // SIGTERM, SIGHUP or SIGINT arrived
    bool resize = false;  // SIGWINCH arrived
  };
  // Reads everything written so far (never blocks).
  Events Consume();

  // Until ReleaseSignals, SIGTERM, SIGHUP and SIGINT (and SIGWINCH when
  // `resize`) are written into this pipe instead of acting. One pipe of the
  // process at a time can hold them.
  bool CatchSignals(bool resize);
  void ReleaseSignals();

 private:
  static constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGWINCH};
  static constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

  int m_read = -1;
  int m_write = -1;
  bool m_bHolding = false;  // the handler writes into this pipe
  bool m_bCaught[kSignalCount] = {};
  struct sigaction m_old[kSignalCount] = {};
};
