#include "ui/win32/Win32LineChannel.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/windows/Utf16.h"

namespace {

// What the reader thread and the cancel handler hand to Wait(). Shared, so
// that a reader still blocked in ReadFile when everything else is gone keeps
// what it writes to alive.
struct Mailbox {
  Mailbox() : event(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Mailbox() {
    if (event) CloseHandle(event);
  }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  void Post(std::string_view data, bool end, bool cancel) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      input.data.append(data);
      input.end = input.end || end;
      input.cancel = input.cancel || cancel;
      woken = true;
    }
    SetEvent(event);
  }

  HANDLE event;
  std::mutex mutex;
  LineChannel::Input input;  // collected since the last Wait()
  bool woken = false;
};

// The mailbox that Ctrl-C reaches; one channel at a time holds it.
std::mutex g_cancelMutex;
std::shared_ptr<Mailbox> g_cancelMailbox;

BOOL WINAPI OnConsoleControl(DWORD type) {
  std::shared_ptr<Mailbox> mailbox;
  {
    std::lock_guard<std::mutex> lock(g_cancelMutex);
    mailbox = g_cancelMailbox;
  }
  if (!mailbox) return FALSE;
  mailbox->Post({}, false, true);
  // Closing the console ends the process when this returns: give the main
  // thread a moment to end the run itself.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(2000);
  return TRUE;
}

void ReadLoop(HANDLE in, std::shared_ptr<Mailbox> mailbox) {
  if (IsConsoleHandle(in)) {
    wchar_t buffer[4096];
    std::wstring carry;  // a high surrogate waiting for its pair
    for (;;) {
      DWORD n = 0;
      if (!ReadConsoleW(in, buffer, 4096, &n, nullptr) || n == 0) break;
      std::wstring text = carry + std::wstring(buffer, n);
      carry.clear();
      if (text.back() >= 0xD800 && text.back() <= 0xDBFF) {
        carry = text.back();
        text.pop_back();
      }
      // Ctrl-Z at the start of a line ends the input, as it does for programs
      // that read the console as a file.
      std::size_t ctrlZ = text.find(L'\x1A');
      if (ctrlZ != std::wstring::npos) {
        mailbox->Post(Narrow(text.substr(0, ctrlZ)), true, false);
        return;
      }
      mailbox->Post(Narrow(text), false, false);
    }
  } else {
    char buffer[16384];
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(in, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
      mailbox->Post(std::string_view(buffer, n), false, false);
    }
  }
  mailbox->Post({}, true, false);
}

class Win32LineChannel : public LineChannel {
 public:
  explicit Win32LineChannel(const StdHandles& handles)
      : m_handles(handles), m_mailbox(std::make_shared<Mailbox>()) {}

  bool Valid() const override { return m_handles.in && m_handles.out && m_mailbox->event; }
  void WriteOut(std::string_view data) override { WriteAllTo(m_handles.out, data); }
  void WriteErr(std::string_view data) override { WriteAllTo(m_handles.err, data); }

  void CatchCancel() override {
    std::lock_guard<std::mutex> lock(g_cancelMutex);
    if (g_cancelMailbox) return;
    g_cancelMailbox = m_mailbox;
    m_bHolding = true;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }

  void ReleaseCancel() override {
    std::lock_guard<std::mutex> lock(g_cancelMutex);
    if (!m_bHolding) return;
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_cancelMailbox.reset();
    m_bHolding = false;
  }

  void Wake() override { m_mailbox->Post({}, false, false); }

  // Standard error is never taken over on Windows: nothing to keep.
  void KeepErrorOutput() override {}

  Input Wait(int timeoutMs) override {
    if (!m_bReading) {
      m_bReading = true;
      std::thread(ReadLoop, m_handles.in, m_mailbox).detach();
    }
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(m_mailbox->mutex);
        if (m_mailbox->woken) {
          m_mailbox->woken = false;
          Input input = std::move(m_mailbox->input);
          m_mailbox->input = Input{};
          return input;
        }
      }
      DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
      if (WaitForSingleObject(m_mailbox->event, limit) == WAIT_TIMEOUT) return Input{};
    }
  }

 private:
  StdHandles m_handles;
  std::shared_ptr<Mailbox> m_mailbox;
  bool m_bReading = false;
  bool m_bHolding = false;
};

}  // namespace

std::shared_ptr<LineChannel> MakeWin32LineChannel(const StdHandles& handles) {
  return std::make_shared<Win32LineChannel>(handles);
}
