// In-memory stand-ins for everything the wizard reaches outside itself.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/BrickfixDlg.h"
#include "console/ConsoleView.h"
#include "console/UiBridge.h"

// Thrown by FakePlatform::ExitProcess in place of ending the test process.
struct FakeExit {
  int status;
};

class FakeView : public IConsoleView {
 public:
  void AppendLog(std::string_view text) override;
  void ClearLog() override;
  void SelectInput() override;
  void ClearInput() override;
  std::string GetInputText() override;
  void MessageBox(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  void SetTitle(const std::string& title) override;
  void ApplyStyle(int controlId, const CColorEdit& style) override;
  void ShowAbout() override;
  void Shutdown() override;

  // Everything below is guarded by `mutex` (views are called from the UI
  // thread only, but tests read them from elsewhere).
  std::string Log() const;
  std::vector<std::string> LogLines() const;  // split at "\r\n"; last unfinished line kept
  std::vector<std::string> Messages() const;

  mutable std::mutex mutex;
  std::string log;
  std::string input;
  bool inputSelected = false;
  bool inputFocused = false;
  std::vector<std::string> messages;
  std::string title;
  std::string status;
  int aboutCount = 0;
  int shutdownCount = 0;
  std::map<int, CColorEdit> styles;
  std::function<void(const std::string&)> onMessageBox;  // runs inside MessageBox
};

class FakePlatform : public IPlatform {
 public:
  enum Mode { kQueue, kRealThreads };
  explicit FakePlatform(Mode mode = kQueue) : mode(mode) {}
  ~FakePlatform() override { JoinAll(); }

  void BeginThread(std::function<void()> fn) override;
  [[noreturn]] void ExitProcess(int status) override;

  // kQueue: runs the started threads' bodies on the calling thread, in order,
  // including threads they start. Returns how many ran.
  int RunPending();
  void JoinAll();

  Mode mode;
  std::mutex mutex;
  std::deque<std::function<void()>> pending;
  std::vector<std::thread> threads;
  int started = 0;
  std::vector<int> exits;  // exit statuses caught from real threads
};

class FakeFirmware : public IFirmwareOps {
 public:
  int QueryLatestRom(RomInfo& info, const std::string& url) override;
  std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) override;
  void DownloadFirmwareThread(CBrickfixDlg* dlg) override;
  void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) override;

  RomInfo latest;           // copied into the caller's record when queryCode is 0 or 1
  int queryCode = 4;
  std::string storedName;   // FindRomFile's answer
  std::vector<std::string> queriedUrls;
  std::vector<std::string> lookups;  // "dir|model|purge"
  int downloadRuns = 0;
  int localRuns = 0;
  std::function<void(CBrickfixDlg*)> onDownload, onLocal;
};

class FakeNet : public INetOps {
 public:
  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;
  std::vector<std::string> AdaptersLeftChanged() override { return leftChanged; }

  void AddEthernet(const std::string& name, const std::string& ip = "0.0.0.0");

  std::mutex mutex;
  bool listFails = false;
  std::vector<AdapterRecord> adapters;
  std::map<std::string, std::string> names;  // id -> connection name; missing = unreadable
  // A name's length as the system counts it against the limit (Windows: in
  // code page 936); unset: its bytes.
  std::function<std::size_t(const std::string&)> nameLength;
  std::vector<NetCommand> commands;
  bool executeFails = false;
  std::function<bool(const NetCommand&)> executeHook;  // overrides executeFails when set
  std::deque<bool> pingScript;  // front is used first; empty = success
  std::vector<std::string> pinged;
  std::vector<unsigned> sleeps;
  std::vector<std::string> leftChanged;
};

class FakeTftp : public ITftpOps {
 public:
  CWinThread* StartListener(CBrickfixDlg* dlg) override;
  int ParseRecoveryResult(CBrickfixDlg* dlg) override;

  CWinThread listener;
  int listenerStarts = 0;
  std::deque<int> results;  // codes returned by ParseRecoveryResult, front first
};

// Records what the wizard and the TFTP service tell the observer, one text
// per call ("wait lan0 192.168.1.88", "released", "read 192.168.1.1:2000
// recovery.bin", "ignored ...", "port-taken 69", "stalled ...").
class FakeObserver : public IObserver {
 public:
  void WaitBegins(CBrickfixDlg* dlg, const NetCommand& command) override;
  void AddressReleased() override;
  void RequestRead(std::uint32_t address, std::uint16_t port, const std::string& file) override;
  void RequestIgnored(std::uint32_t address, std::uint16_t port) override;
  void RequestUnusable(std::uint32_t address, std::uint16_t port) override;
  void PortTaken(std::uint16_t port) override;
  void TransferStalled(std::uint32_t address, std::uint16_t port, const std::string& file) override;

  std::vector<std::string> Calls() const;

  mutable std::mutex mutex;
  std::vector<std::string> calls;

 private:
  void Add(std::string call);
};

// The services of a dialog built from the given parts.
CBrickfixDlg::Services MakeServices(IConsoleView& view, UiBridge& bridge, IPlatform& platform,
                                    IFirmwareOps& firmware, INetOps& net, ITftpOps& tftp);

// A dialog wired to fakes, with the test thread as the user-interface thread.
struct WizardHarness {
  explicit WizardHarness(FakePlatform::Mode mode = FakePlatform::kQueue);

  // Starts the dialog as the frontend would (step 0 on the screen).
  void Start();
  // Types `text` into the answer box and presses Enter.
  void Answer(const std::string& text);

  FakeView view;
  UiBridge bridge;
  FakePlatform platform;
  FakeFirmware firmware;
  FakeNet net;
  FakeTftp tftp;
  FakeObserver observer;
  std::unique_ptr<CBrickfixDlg> dlg;
};
