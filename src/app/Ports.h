// The narrow interfaces through which the wizard reaches everything outside
// itself. Each has a real Linux implementation and a fake for the tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "firmware/RomInfo.h"

class CBrickfixDlg;

// Threads and the end of the process.
class IPlatform {
 public:
  virtual ~IPlatform() = default;
  // Starts a worker thread running `fn` at once; it is never joined.
  virtual void BeginThread(std::function<void()> fn) = 0;
  // Ends the process with `status`: the frontend restores the terminal and
  // output is flushed first. Never returns.
  [[noreturn]] virtual void ExitProcess(int status) = 0;
};

// A thread object for the TFTP listener. Suspending it makes the listener
// serve no further request.
class CWinThread {
 public:
  std::atomic<bool> m_bSuspended{false};
  std::atomic<std::thread::id> m_threadId{};
};

// One adapter record as the platform reports it.
struct AdapterRecord {
  std::string id;         // the adapter's identifier (on Linux the interface name)
  int type = 0;           // 6 = Ethernet; anything else is skipped
  std::string ipAddress;  // first IPv4 address, "0.0.0.0" when it has none
};
constexpr int MIB_IF_TYPE_ETHERNET = 6;

// One address change, as the wizard asks for it.
struct NetCommand {
  enum Kind { kStatic, kDhcp, kArpFlush };
  Kind kind = kArpFlush;
  std::string adapter;      // connection name
  std::string address;      // kStatic
  std::string mask;         // kStatic
  std::string gateway;      // kStatic
  int metric = 0;           // kStatic
  std::string commandLine;  // the command text in its Windows form ("netsh ..." or "arp -d")
};

// Adapters, address changes and the router probe.
class INetOps {
 public:
  virtual ~INetOps() = default;
  // Fills `out` with every adapter. False when the list cannot be obtained.
  virtual bool GetAdapters(std::vector<AdapterRecord>& out) = 0;
  // The connection name of an adapter, read with room for `limit` bytes
  // including the terminator. False when it cannot be read or is too long.
  virtual bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit,
                                 std::string& name) = 0;
  // Carries out the change and waits for it. False when it could not be started.
  virtual bool Execute(const NetCommand& command) = 0;
  // One echo request to `address`; true when a reply with our identifier came.
  virtual bool PingHost(const char* address) = 0;
  // Pauses the calling thread.
  virtual void Sleep(unsigned milliseconds) = 0;
  // Adapters that an earlier run left changed (their earlier settings wait
  // in the journal), known at start-up.
  virtual std::vector<std::string> AdaptersLeftChanged() { return {}; }
};

// Cloud query, store lookup and the two firmware workers.
class IFirmwareOps {
 public:
  virtual ~IFirmwareOps() = default;
  virtual int QueryLatestRom(RomInfo& info, const std::string& url) = 0;
  virtual std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) = 0;
  // Worker bodies; they run on the thread the wizard started for them.
  virtual void DownloadFirmwareThread(CBrickfixDlg* dlg) = 0;
  virtual void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) = 0;
};

// The TFTP service and the router's result report.
class ITftpOps {
 public:
  virtual ~ITftpOps() = default;
  // Starts the listener thread for `dlg` and returns its thread object.
  virtual CWinThread* StartListener(CBrickfixDlg* dlg) = 0;
  // Reads the result code from the uploaded report (may end the process).
  virtual int ParseRecoveryResult(CBrickfixDlg* dlg) = 0;
};

// Watches the recovery link while the wizard waits for the router and says
// why nothing arrives (log lines, the window's status strip, the run's
// timeline); keeps the recovery address on the adapter meanwhile. Every
// operation does nothing here: this is the observer of a program that has
// none. Callable from any thread.
class IObserver {
 public:
  virtual ~IObserver() = default;

  // The wizard has set the recovery address with `command` (through
  // INetOps::Execute, which puts it back the same way) and waits for the
  // router's first request: after the address is set, and again after a
  // failed flash. `dlg` hears the diagnosis.
  virtual void WaitBegins(CBrickfixDlg* /*dlg*/, const NetCommand& /*command*/) {}
  // The wizard changes the adapter itself now (LAN address, DHCP): the
  // recovery address is no longer kept. Returns once no repair of it runs.
  virtual void AddressReleased() {}

  // The TFTP service. Addresses are IPv4 in host byte order.
  // The listener read a request from the router's subnet.
  virtual void RequestRead(std::uint32_t /*address*/, std::uint16_t /*port*/,
                           const std::string& /*file*/) {}
  // The listener ignored a request from outside the router's subnet.
  virtual void RequestIgnored(std::uint32_t /*address*/, std::uint16_t /*port*/) {}
  // The listener read a request from the router's subnet too long to serve.
  virtual void RequestUnusable(std::uint32_t /*address*/, std::uint16_t /*port*/) {}
  // The listener cannot have `port`. Returns after saying who holds it, so
  // that the line comes before the message box.
  virtual void PortTaken(std::uint16_t /*port*/) {}
  // A transfer of `file` to the router gave up after its retransmissions.
  virtual void TransferStalled(std::uint32_t /*address*/, std::uint16_t /*port*/,
                               const std::string& /*file*/) {}
};

// The host of the maker's cloud: BRICKFIX_CLOUD_HOST when set, else the
// build's default.
std::string GetCloudHost();
// "https://" + host + "/api/latest_rom?model=" + model, without escaping.
std::string BuildQueryUrl(const std::string& model);
