#include "console/UiBridge.h"

void UiBridge::AttachUiThread() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_uiThread = std::this_thread::get_id();
  m_bAttached = true;
}

bool UiBridge::IsUiThread() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return !m_bAttached || m_uiThread == std::this_thread::get_id();
}

void UiBridge::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_wakeup = std::move(wakeup);
}

bool UiBridge::Invoke(const std::function<void()>& fn) {
  std::function<void()> wakeup;
  Call call{&fn};
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_bClosed) return false;
    if (!m_bAttached || m_uiThread == std::this_thread::get_id()) {
      lock.unlock();
      fn();
      return true;
    }
    m_queue.push_back(&call);
    wakeup = m_wakeup;
  }
  if (wakeup) wakeup();
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvDone.wait(lock, [&] { return call.done; });
  return call.ran;
}

std::size_t UiBridge::Drain() {
  std::size_t count = 0;
  for (;;) {
    Call* call;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_queue.empty()) return count;
      call = m_queue.front();
      m_queue.pop_front();
    }
    (*call->fn)();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      call->ran = true;
      call->done = true;
    }
    m_cvDone.notify_all();
    ++count;
  }
}

void UiBridge::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bClosed = true;
    for (Call* call : m_queue) call->done = true;
    m_queue.clear();
  }
  m_cvDone.notify_all();
}

bool UiBridge::IsClosed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bClosed;
}
