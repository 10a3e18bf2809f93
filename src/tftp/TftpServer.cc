#include "tftp/TftpServer.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <string_view>
#include <thread>

#include "app/BrickfixDlg.h"
#include "app/Log.h"
#include "console/Text.h"
#include "firmware/ServedFile.h"
#include "netcfg/Ipv4.h"
#include "tftp/ResultCode.h"
#include "tftp/Transfer.h"

std::atomic<CBrickfixDlg*> g_pTftpDlg{nullptr};

using tftp::UdpSocket;

namespace {

// How long a transfer busy-waits for an answer before it sleeps in the
// receive. Putting the thread to sleep and waking it again costs far more
// than a quick exchange itself (on virtual machines, tens of microseconds
// for a wake-up on another processor), so a peer that answers within this
// time is served without either.
constexpr std::chrono::microseconds kSpinBudget{50};

// The series of waits for the router's answer: each expiry doubles the wait,
// and it never shrinks again during the transfer. Busy-waiting is tried only
// while the answers keep coming within its budget.
class AnswerWait {
 public:
  explicit AnswerWait(std::chrono::microseconds first) : m_current(first), m_last(first * 32) {}
  std::chrono::microseconds current() const { return m_current; }
  bool IsLast() const { return m_current >= m_last; }
  void Double() { m_current *= 2; }
  bool spin() const { return m_spin; }
  void Answered(std::chrono::steady_clock::duration after) { m_spin = after < kSpinBudget; }

 private:
  std::chrono::microseconds m_current;
  std::chrono::microseconds m_last;
  bool m_spin = true;
};

enum class Answer { kDatagram, kSilence, kFailed };

struct AnswerResult {
  Answer kind;
  std::size_t length = 0;
};

// One receive within `timeout`. A stranger's datagram is answered with
// "Unknown transfer ID" and reported as such.
enum class Got { kClient, kStranger, kNothing, kFailed };

Got ReceiveFromClient(UdpSocket& sock, const sockaddr_in& client, std::span<std::uint8_t> buffer,
                      std::chrono::microseconds timeout, std::size_t& length) {
  sockaddr_in from{};
  switch (sock.ReceiveWithin(buffer, from, length, timeout)) {
    case UdpSocket::Receive::kDatagram:
      if (tftp::SameEndpoint(from, client)) return Got::kClient;
      SendTftpError(sock, from, tftp::kUnknownTransferId, tftp::kErrorUnknownTransfer);
      return Got::kStranger;
    case UdpSocket::Receive::kFailed:
      return Got::kFailed;
    default:
      return Got::kNothing;
  }
}

// Waits for the client's next datagram through the series of waits. A
// stranger's datagram neither extends nor cuts the running wait.
AnswerResult AwaitAnswer(UdpSocket& sock, const sockaddr_in& client, AnswerWait& wait,
                         std::span<std::uint8_t> buffer) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::microseconds;
  auto asked = Clock::now();
  bool spin = wait.spin();
  for (;;) {
    auto start = Clock::now();
    microseconds left = wait.current();
    for (;;) {
      std::size_t length = 0;
      Got got = ReceiveFromClient(sock, client, buffer, spin ? microseconds::zero() : left, length);
      if (got == Got::kFailed) return {Answer::kFailed};
      if (got == Got::kClient) {
        wait.Answered(Clock::now() - asked);
        return {Answer::kDatagram, std::min(length, buffer.size())};
      }
      if (got == Got::kNothing && !spin && left.count() == 0) break;  // the wait is over
      auto elapsed = std::chrono::ceil<microseconds>(Clock::now() - start);
      if (spin && elapsed < std::min(kSpinBudget, wait.current())) {
        std::this_thread::yield();  // lets a peer on this processor run
        continue;
      }
      // Spinning is over, a stranger came, or the receive ended early: wait
      // out the rest.
      spin = false;
      left = std::max(wait.current() - elapsed, microseconds::zero());
    }
    if (wait.IsLast()) return {Answer::kSilence};
    wait.Double();
  }
}

// A socket bound to the first free port from `firstPort` upward; after 65535
// comes 0, which lets the system choose. It answers on the adapter that the
// listener answers on. Not valid when none could be had.
UdpSocket OpenTransferSocket(std::uint16_t firstPort, const UdpSocket& listener) {
  UdpSocket sock = UdpSocket::Open();
  if (!sock.valid()) return sock;
  if (!sock.BindToDeviceOf(listener)) return UdpSocket();
  std::uint16_t port = firstPort;
  for (int tries = 0; tries <= 0xFFFF; ++tries, ++port) {
    if (sock.Bind(port)) return sock;
  }
  return UdpSocket();
}

bool SendWhole(const UdpSocket& sock, std::span<const std::uint8_t> packet, const sockaddr_in& to) {
  return sock.SendTo(packet, to) == static_cast<ssize_t>(packet.size());
}

std::span<std::uint8_t> Bytes(const ServedFile& file) {
  if (!file.data || file.size <= 0) return {};
  return {file.data, static_cast<std::size_t>(file.size)};
}

// The served file for a read request, or null for another model's name.
const ServedFile* ChooseSource(CBrickfixDlg* dlg, const std::string& name) {
  if (name == tftp::kConfigName) {
    dlg->m_bCfgNotRequested = 0;
    return &g_recoveryCfg;
  }
  if (name == tftp::kImageName || name.starts_with(dlg->m_strModel)) return &g_recoveryBin;
  return nullptr;
}

[[noreturn]] void RefuseModel(CBrickfixDlg* dlg, const std::string& name) {
  std::string shown =
      SanitizeForDisplay(std::string_view(name).substr(0, Utf8PrefixLength(name, 6)));
  dlg->MessageBox("实际机型为“" + shown + "”，与选择不符，请在退出后重试！");
  dlg->RestoreDhcp();
  dlg->ExitProcess(0);
}

void ShowMark(tftp::ReadTransfer::Mark mark) {
  if (mark == tftp::ReadTransfer::Mark::kInline)
    LogPrintInline("#");
  else if (mark == tftp::ReadTransfer::Mark::kLineEnd)
    LogPrint("#");
}

// The block loop. Returns null when the file was delivered, else the error
// text for the router.
const char* ServeBlocks(UdpSocket& sock, const TransferRequest& request,
                        tftp::ReadTransfer& transfer) {
  using Step = tftp::ReadTransfer::Step;
  AnswerWait wait(request.settings.firstTimeout);
  std::uint8_t answer[tftp::kPacketMax];
  for (;;) {
    if (!SendWhole(sock, transfer.Packet(), request.client)) return tftp::kSendDataFail;
    for (bool next = false; !next;) {
      AnswerResult got = AwaitAnswer(sock, request.client, wait, answer);
      if (got.kind == Answer::kFailed) return tftp::kRecvFileFail;
      if (got.kind == Answer::kSilence) return tftp::kRecvAckTimeout;
      tftp::ReadTransfer::Outcome outcome = transfer.OnAnswer({answer, got.length});
      switch (outcome.step) {
        case Step::kResend:
          if (!SendWhole(sock, transfer.Packet(), request.client)) return tftp::kSendDataFail;
          break;
        case Step::kSendNext:
          ShowMark(outcome.mark);
          next = true;
          break;
        case Step::kSendEndMarker:
          sock.SendTo(transfer.Packet(), request.client);
          ShowMark(outcome.mark);
          return nullptr;
        case Step::kFail:
          return outcome.error;
      }
    }
  }
}

// The router acknowledges the end marker too, and an acknowledgement that met
// a closed port would draw an ICMP error, which some boot loaders take for a
// failed transfer although every byte arrived. So the port stays open until
// that acknowledgement comes or `grace` passes; whatever else comes meanwhile
// is read and ignored.
void AwaitEndMarkerAck(UdpSocket& sock, const sockaddr_in& client, std::uint16_t marker,
                       std::chrono::microseconds grace) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + grace;
  std::uint8_t datagram[tftp::kPacketMax];
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    std::size_t length = 0;
    Got got = ReceiveFromClient(sock, client, datagram, left, length);
    if (got == Got::kFailed) return;
    if (got != Got::kClient) continue;
    tftp::Header header = tftp::ReadHeader({datagram, std::min(length, sizeof datagram)});
    if (header.opcode == tftp::kAck && header.block == marker) return;
  }
}

void CompleteRead(CBrickfixDlg* dlg, bool isConfig) {
  LogPrint("%s", "");
  if (dlg->m_bCfgNotRequested == 1) {
    LogPrint("烧录Flash中，大约需要两分钟，务必保持Terno不断电！");
    dlg->m_nStep = 8;
    dlg->RunStep();
  } else if (!isConfig) {
    LogPrint("固件烧录中，请耐心等待Terno回复烧录结果！");
  }
}

// The upload ended the way a finished upload ends: tell the router and let the
// wizard read the report.
void EndUploadForWizard(CBrickfixDlg* dlg, const UdpSocket& sock, const sockaddr_in& client,
                        const char* text) {
  SendTftpError(sock, client, text);
  dlg->m_nStep = 7;
  dlg->RunStep();
}

// The receive loop of an upload, until the router falls silent or errs.
void ReceiveUpload(CBrickfixDlg* dlg, UdpSocket& sock, const TransferRequest& request,
                   tftp::WriteTransfer& transfer) {
  using Step = tftp::WriteTransfer::Step;
  AnswerWait wait(request.settings.uploadFirstTimeout);
  std::uint8_t datagram[tftp::kPacketMax];
  for (;;) {
    AnswerResult got = AwaitAnswer(sock, request.client, wait, datagram);
    if (got.kind != Answer::kDatagram) {
      const char* text = got.kind == Answer::kSilence ? tftp::kRecvAckTimeout : tftp::kRecvDataFail;
      EndUploadForWizard(dlg, sock, request.client, text);
      return;
    }
    tftp::WriteTransfer::Outcome outcome;
    {
      std::lock_guard<std::mutex> lock(ResultBufferMutex());
      outcome = transfer.OnDatagram({datagram, got.length});
    }
    if (outcome.step == Step::kWizardEnd) {
      EndUploadForWizard(dlg, sock, request.client, outcome.error);
      return;
    }
    if (outcome.step == Step::kFail) {
      SendTftpError(sock, request.client, outcome.error);
      return;
    }
    if (!SendWhole(sock, transfer.Reply(), request.client)) {
      SendTftpError(sock, request.client, tftp::kSendDataFail);
      return;
    }
  }
}

}  // namespace

void ImageFetchers::Add(std::uint32_t address) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (std::find(m_addresses.begin(), m_addresses.end(), address) == m_addresses.end()) {
    m_addresses.push_back(address);
  }
}

bool ImageFetchers::Contains(std::uint32_t address) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::find(m_addresses.begin(), m_addresses.end(), address) != m_addresses.end();
}

void SendTftpError(const UdpSocket& sock, const sockaddr_in& to, const char* text,
                   std::uint16_t code) {
  std::string packet = tftp::BuildError(code, text);
  sock.SendTo({reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size()}, to);
}

std::mutex& ResultBufferMutex() {
  static std::mutex mutex;
  return mutex;
}

int TftpReadThread(TransferRequest request) {
  UdpSocket sock = OpenTransferSocket(request.settings.firstPort, *request.sock);
  if (!sock.valid()) {
    SendTftpError(*request.sock, request.client, tftp::kSocketError);
    return 0;
  }
  CBrickfixDlg* dlg = g_pTftpDlg.load();
  const ServedFile* source = ChooseSource(dlg, request.fileName);
  if (!source) RefuseModel(dlg, request.fileName);
  bool isConfig = request.fileName == tftp::kConfigName;
  if (!isConfig) LogPrint("传输文件中：");
  tftp::ReadTransfer transfer(Bytes(*source));
  bool nonEmpty = transfer.Begin();
  if (nonEmpty) {
    if (const char* error = ServeBlocks(sock, request, transfer)) {
      SendTftpError(sock, request.client, error);
      LogPrint("固件传送错误，请重试！");
      if (error == tftp::kRecvAckTimeout) {
        dlg->Observer().TransferStalled(ntohl(request.client.sin_addr.s_addr),
                                        ntohs(request.client.sin_port), request.fileName);
      }
      return 1;
    }
  }
  if (!isConfig && request.fetchers) request.fetchers->Add(request.client.sin_addr.s_addr);
  CompleteRead(dlg, isConfig);
  if (nonEmpty) {  // the file ended with the end marker
    AwaitEndMarkerAck(sock, request.client, static_cast<std::uint16_t>(transfer.SentBlock()),
                      request.settings.firstTimeout);
  }
  return 1;
}

int TftpWriteThread(TransferRequest request) {
  UdpSocket sock = OpenTransferSocket(request.settings.firstPort, *request.sock);
  if (!sock.valid()) {
    SendTftpError(*request.sock, request.client, tftp::kSocketError);
    return 0;
  }
  CBrickfixDlg* dlg = g_pTftpDlg.load();
  // Only the router that took the image reports how writing it went: a
  // report from anyone else would be believed for an image nobody fetched.
  if (request.fileName == tftp::kResultName && request.fetchers &&
      !request.fetchers->Contains(request.client.sin_addr.s_addr)) {
    SendTftpError(sock, request.client, tftp::kAccessViolation, tftp::kErrorAccessViolation);
    LogPrint("已忽略来自%s的结果报告：该地址没有从本机获取固件。",
             FormatIpv4(ntohl(request.client.sin_addr.s_addr)).c_str());
    return 1;
  }
  LogPrint("结果上传中：");
  if (request.fileName != tftp::kResultName) {
    SendTftpError(sock, request.client, tftp::kCannotFindFile);
    return 1;
  }
  tftp::WriteTransfer transfer(Bytes(g_recoveryResult));
  if (!SendWhole(sock, transfer.Reply(), request.client)) {
    SendTftpError(sock, request.client, tftp::kSendFileFail);
    return 1;
  }
  ReceiveUpload(dlg, sock, request, transfer);
  return 1;
}

int ParseRecoveryResult(CBrickfixDlg* dlg) {
  std::optional<int> code;
  {
    std::lock_guard<std::mutex> lock(ResultBufferMutex());
    code = tftp::ReadResultCode(Bytes(g_recoveryResult));
  }
  if (code) return *code;
  dlg->MessageBox("无法解析的回复！");
  dlg->RestoreDhcp();
  dlg->ExitProcess(0);
}
