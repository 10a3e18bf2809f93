// The recovery server's transfers. The listener starts one thread per request:
// a read request serves "recovery-cfg.bin" or the image, a write request
// receives the router's "recovery-result" report. Each transfer has a socket
// of its own, from the first transfer port upward.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tftp/TftpPacket.h"
#include "tftp/UdpSocket.h"

class CBrickfixDlg;

// The wizard dialog the transfers report to; set by the listener at its start.
extern std::atomic<CBrickfixDlg*> g_pTftpDlg;

struct TransferSettings {
  std::uint16_t firstPort = tftp::kFirstTransferPort;
  // The first wait for the router's answer; each expiry doubles it, and the
  // wait of 32 times this length is the last.
  std::chrono::microseconds firstTimeout = std::chrono::seconds(1);
  // The same for an upload, whose normal end is that series running out in
  // silence (63 s with the first wait of 1 s).
  std::chrono::microseconds uploadFirstTimeout = std::chrono::seconds(1);
};

// The addresses that have fetched the whole image in this run: a result
// report is believed only from one of them. Shared by the transfers.
class ImageFetchers {
 public:
  // `address` as sockaddr_in holds it (network byte order).
  void Add(std::uint32_t address);
  bool Contains(std::uint32_t address) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::uint32_t> m_addresses;
};

// What the listener hands to a transfer thread; the thread owns it.
struct TransferRequest {
  // The listening socket: used only to tell the router "SOCKET error!" when
  // the transfer cannot open a socket of its own.
  std::shared_ptr<const tftp::UdpSocket> sock;
  sockaddr_in client{};  // every packet of the transfer goes here
  std::string fileName;
  TransferSettings settings;
  std::shared_ptr<ImageFetchers> fetchers;
};

// Sends one ERROR packet (`code`, `text`, a zero byte) from `sock` to `to`.
// The outcome of the send is not looked at.
void SendTftpError(const tftp::UdpSocket& sock, const sockaddr_in& to, const char* text,
                   std::uint16_t code = tftp::kErrorUndefined);

// Thread bodies. Result 1 when the transfer has ended, 0 when it could not
// open its socket.
int TftpReadThread(TransferRequest request);
int TftpWriteThread(TransferRequest request);

// Guards the bytes of the result block (g_recoveryResult) between uploads
// and the report's reading.
std::mutex& ResultBufferMutex();

// The code of the uploaded report (0 to 7). An unreadable report shows its
// message box, returns the adapter to DHCP and ends the process.
int ParseRecoveryResult(CBrickfixDlg* dlg);
