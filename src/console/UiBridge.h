// Runs work on the user-interface thread on behalf of any other thread.
//
// A frontend owns the user-interface thread. It attaches the bridge to that
// thread, calls Drain() whenever the wake-up callback fires (and inside any
// modal loop it runs), and closes the bridge when the window is gone.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class UiBridge {
 public:
  UiBridge() = default;
  UiBridge(const UiBridge&) = delete;
  UiBridge& operator=(const UiBridge&) = delete;

  // Marks the calling thread as the user-interface thread.
  void AttachUiThread();
  bool IsUiThread() const;

  // Runs `fn` on the user-interface thread and returns once it has run.
  // On the user-interface thread (or before any thread is attached) it runs
  // at once. Returns false without running `fn` once the bridge is closed.
  bool Invoke(const std::function<void()>& fn);

  // Called by the frontend when work is waiting; it must then call Drain()
  // on the user-interface thread soon. May be called from any thread.
  void SetWakeup(std::function<void()> wakeup);

  // Runs every waiting call on the user-interface thread. Returns how many ran.
  std::size_t Drain();

  // The window has closed: waiting and later calls return false at once.
  void Close();
  bool IsClosed() const;

 private:
  struct Call {
    const std::function<void()>* fn;
    bool done = false;
    bool ran = false;
  };

  mutable std::mutex m_mutex;
  std::condition_variable m_cvDone;
  std::deque<Call*> m_queue;
  std::function<void()> m_wakeup;
  std::thread::id m_uiThread;
  bool m_bAttached = false;
  bool m_bClosed = false;
};
