#include "tftp/TftpOps.h"

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>

#include "app/BrickfixDlg.h"

using tftp::UdpSocket;

TftpOps::TftpOps(std::uint16_t listenPort, std::uint16_t firstTransferPort,
                 std::chrono::microseconds firstTimeout,
                 std::optional<std::chrono::microseconds> uploadFirstTimeout)
    : m_listenPort(listenPort),
      m_settings{firstTransferPort, firstTimeout, uploadFirstTimeout.value_or(firstTimeout)} {}

TftpOps::~TftpOps() {
  m_stop.Break();
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [this] { return m_listeners == 0 && m_transfers == 0; });
}

CWinThread* TftpOps::StartListener(CBrickfixDlg* dlg) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_listeners;
  }
  dlg->BeginThread([this, dlg] {
    EndGuard ended{this, &m_listeners};
    TftpListenerThread(dlg);
  });
  return &m_thread;
}

int TftpOps::ParseRecoveryResult(CBrickfixDlg* dlg) { return ::ParseRecoveryResult(dlg); }

bool TftpOps::WaitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [this] { return m_transfers == 0; });
}

void TftpOps::ThreadEnded(int* count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  --*count;
  m_changed.notify_all();
}

int TftpOps::TftpListenerThread(CBrickfixDlg* dlg) {
  m_thread.m_threadId = std::this_thread::get_id();
  g_pTftpDlg = dlg;
  std::shared_ptr<UdpSocket> sock;
  bool bound;
  if (m_opener) {
    int adapter = dlg->m_nAdapter;
    sock = std::make_shared<UdpSocket>(
        m_opener(adapter >= 1 && adapter <= 255 ? dlg->m_szAdapterNames[adapter] : "", m_listenPort));
    bound = sock->valid();
  } else {
    sock = std::make_shared<UdpSocket>(UdpSocket::Open());
    if (!sock->valid()) return 0;
    bound = sock->Bind(m_listenPort);
  }
  if (!bound) {
    dlg->Observer().PortTaken(m_listenPort);
    dlg->MessageBox("程序即将退出，请关闭其它TFTP工具！");
    dlg->RestoreDhcp();
    dlg->ExitProcess(0);
  }
  m_boundPort = sock->LocalPort();
  Serve(sock, dlg->Observer());
  return 0;
}

// The request loop: one transfer thread per read or write request. Returns
// only when the service is being destroyed.
void TftpOps::Serve(const std::shared_ptr<UdpSocket>& sock, IObserver& observer) {
  std::uint8_t buffer[tftp::kRequestMax];
  for (;;) {
    tftp::Ready ready = tftp::WaitReadable(*sock, m_stop);
    if (ready == tftp::Ready::kBroken) return;
    if (ready != tftp::Ready::kReadable) continue;
    TransferRequest request;
    std::size_t length = 0;
    if (sock->ReceiveNow(buffer, request.client, length) != UdpSocket::Receive::kDatagram) continue;
    if (m_thread.m_bSuspended) continue;
    // Only the router's subnet is served: a host on another network neither
    // starts a transfer nor ends the run with another model's name.
    std::uint32_t mask = m_prefixLength <= 0 ? 0 : ~0u << (32 - m_prefixLength);
    std::uint32_t from = ntohl(request.client.sin_addr.s_addr);
    std::uint16_t fromPort = ntohs(request.client.sin_port);
    tftp::Request parsed = tftp::ClassifyRequest({buffer, std::min(length, sizeof buffer)}, length);
    bool ours = (from & mask) == (m_network & mask);
    if (parsed.kind == tftp::Request::kIgnore) {
      // Not served, but it reached the listener: nothing filters the port.
      if (parsed.overLong && ours) observer.RequestUnusable(from, fromPort);
      continue;
    }
    if (!ours) {
      observer.RequestIgnored(from, fromPort);
      continue;
    }
    observer.RequestRead(from, fromPort, parsed.fileName);
    if (Busy()) {
      SendTftpError(*sock, request.client, tftp::kServerBusy);
      continue;
    }
    request.sock = sock;
    request.fileName = std::move(parsed.fileName);
    request.settings = m_settings;
    request.fetchers = m_fetchers;
    StartTransfer(parsed.kind == tftp::Request::kRead, std::move(request));
  }
}

bool TftpOps::Busy() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_transfers >= kMaxTransfers;
}

void TftpOps::StartTransfer(bool read, TransferRequest request) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_transfers;
  }
  ++m_started;
  try {
    std::thread([this, read, request = std::move(request)]() mutable {
      EndGuard ended{this, &m_transfers};
      auto body = [&] {
        if (read)
          TftpReadThread(std::move(request));
        else
          TftpWriteThread(std::move(request));
      };
      if (m_runner)
        m_runner(body);
      else
        body();
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the request goes unanswered, as a lost datagram
    // would; the router asks again.
    ThreadEnded(&m_transfers);
  }
}
