// The program's TFTP service for the wizard: the listener on the TFTP port,
// one thread per transfer, and the reading of the router's result report.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/Ports.h"
#include "tftp/TftpServer.h"

// Transfers that may run at once; a request past them is told the server is
// busy and gets no thread.
constexpr int kMaxTransfers = 8;

class TftpOps : public ITftpOps {
 public:
  // The program uses the defaults; tests pass free ports (0 lets the system
  // choose the listener's) and short timeouts. The uploads' first wait is
  // `firstTimeout` unless `uploadFirstTimeout` is given.
  explicit TftpOps(std::uint16_t listenPort = tftp::kTftpPort,
                   std::uint16_t firstTransferPort = tftp::kFirstTransferPort,
                   std::chrono::microseconds firstTimeout = std::chrono::seconds(1),
                   std::optional<std::chrono::microseconds> uploadFirstTimeout = std::nullopt);
  // Stops the listener and waits for it and for every transfer to end. The
  // program never destroys its service; tests do.
  ~TftpOps() override;
  TftpOps(const TftpOps&) = delete;
  TftpOps& operator=(const TftpOps&) = delete;

  // Starts the listener through the wizard's thread start.
  CWinThread* StartListener(CBrickfixDlg* dlg) override;
  int ParseRecoveryResult(CBrickfixDlg* dlg) override;

  // Opens the listener's socket on `port` for `adapter` (the chosen
  // adapter's name, "" when none is). The default binds every address and
  // adapter; the program has the network helper bind it to the adapter, and
  // the transfers then answer on that adapter alone. An invalid socket is a
  // port that cannot be had. Set it before the listener starts.
  using ListenerOpener = std::function<tftp::UdpSocket(const std::string& adapter, std::uint16_t port)>;
  void SetListenerOpener(ListenerOpener opener) { m_opener = std::move(opener); }

  // The subnet requests are taken from (`network` in host byte order); the
  // router's recovery subnet unless set. Requests from elsewhere get no
  // answer. Set it before the listener starts.
  void SetRouterSubnet(std::uint32_t network, int prefixLength) {
    m_network = network;
    m_prefixLength = prefixLength;
  }
  // The addresses that have fetched the image in this run.
  ImageFetchers& Fetchers() { return *m_fetchers; }

  // Runs each transfer thread's body; the default calls it. Tests use it to
  // catch their fake process exit. Set it before the listener starts.
  using BodyRunner = std::function<void(const std::function<void()>& body)>;
  void SetBodyRunner(BodyRunner runner) { m_runner = std::move(runner); }

  // The port the listener is bound to; 0 until it is.
  std::uint16_t ListenerPort() const { return m_boundPort.load(); }
  // Waits until no transfer runs; false when `timeout` passed first.
  bool WaitUntilIdle(std::chrono::milliseconds timeout);
  // Transfers started so far.
  int TransfersStarted() const { return m_started.load(); }

 private:
  int TftpListenerThread(CBrickfixDlg* dlg);
  void Serve(const std::shared_ptr<tftp::UdpSocket>& sock, IObserver& observer);
  bool Busy();
  void StartTransfer(bool read, TransferRequest request);
  void ThreadEnded(int* count);
  // Counts a thread as ended when it leaves its body, also by an exception
  // (a test's fake process exit); nothing of the service is touched after.
  struct EndGuard {
    TftpOps* ops;
    int* count;
    ~EndGuard() { ops->ThreadEnded(count); }
  };

  std::uint16_t m_listenPort;
  TransferSettings m_settings;
  ListenerOpener m_opener;
  BodyRunner m_runner;
  std::uint32_t m_network = tftp::kRouterNetwork;
  int m_prefixLength = tftp::kRouterPrefix;
  std::shared_ptr<ImageFetchers> m_fetchers = std::make_shared<ImageFetchers>();
  CWinThread m_thread;
  std::atomic<std::uint16_t> m_boundPort{0};
  std::atomic<int> m_started{0};
  tftp::WaitBreaker m_stop;  // ends the listener's wait

  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_listeners = 0;  // guarded by m_mutex
  int m_transfers = 0;  // guarded by m_mutex
};
