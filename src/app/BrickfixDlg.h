// The main dialog: the wizard's state and steps, the operator's answers, the
// console operations and the adapter commands.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "app/Ports.h"
#include "console/ColorEdit.h"

class IConsoleView;
class UiBridge;

// The model table: row n is the model code of menu answer n; row 0 is unused.
extern const char g_szModelTable[6][20];

// System-menu command id of the About entry, and its text (string 101).
constexpr unsigned IDM_ABOUTBOX = 0x0010;
extern const char* const kAboutMenuText;  // "关于 Brickfix(&A)..."
extern const char* const kWindowTitle;    // "Terno 修复助手"

class CBrickfixDlg {
 public:
  struct Services {
    IConsoleView* view = nullptr;
    UiBridge* bridge = nullptr;
    IPlatform* platform = nullptr;
    IFirmwareOps* firmware = nullptr;
    INetOps* net = nullptr;
    ITftpOps* tftp = nullptr;
    IObserver* observer = nullptr;  // none: nothing is watched
  };

  explicit CBrickfixDlg(const Services& services);
  CBrickfixDlg(const CBrickfixDlg&) = delete;
  CBrickfixDlg& operator=(const CBrickfixDlg&) = delete;

  // Start-up and window commands (user-interface thread).
  bool OnInitDialog();
  void OnSysCommand(unsigned id, long param);
  void OnInputEnter();  // the OK command: Enter in the answer box

  // The wizard: performs the action of m_nStep, then empties the answer box.
  void RunStep();

  // Console operations; callable from any thread.
  void InitConsole();
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void PrintInline(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void PrintText(const std::string& text, bool lineEnd);  // finished text, no formatting
  void ClearLog();
  void SelectInput();
  void ClearInput();
  // The window's status strip: the current diagnosis, or empty.
  void ShowStatus(const std::string& text);

  // Adapters and addresses.
  void ListAdapters();
  void ApplyAdapter(int n);
  bool RunCommand(const NetCommand& command);
  void RestoreDhcp();
  void WaitForRouter();
  void FinishRecovery();
  NetCommand RecoveryAddressCommand(const char* name) const;
  NetCommand LanAddressCommand(const char* name) const;
  NetCommand DhcpCommand(const char* name) const;

  // Platform operations for the wizard, the workers and the TFTP threads.
  void MessageBox(const std::string& text);  // modal, waits for OK
  [[noreturn]] void ExitProcess(int status);
  void BeginThread(std::function<void()> fn);

  const Services& services() const { return m_services; }
  // The observer of the recovery link (one that does nothing when the
  // program has none).
  IObserver& Observer() const;

  // Wizard state. Fields that several threads share are atomic.
  std::atomic<int> m_nStep{0};
  CColorEdit m_editLog;
  CColorEdit m_editInput;
  std::atomic<CWinThread*> m_pTftpThread{nullptr};
  std::string m_strModel;
  std::atomic<bool> m_bNoRestoreCfg{true};
  std::atomic<int> m_bBusy{0};
  std::atomic<int> m_nAdapterCount{0};
  std::atomic<int> m_nAdapter{-1};
  std::atomic<int> m_bCfgNotRequested{1};
  std::atomic<int> m_bForceDownload{0};
  // The digest the stored image must have before it is served: the cloud's,
  // when it offered an accepted release of the model in the stored version;
  // empty when that is not known. Set before the worker starts.
  std::string m_strStoredMd5;
  char m_szAdapterNames[256][256] = {};
  std::string m_strInput;

  // The restore-configuration question (step 1) is not offered.
  static constexpr bool kOfferRestoreQuestion = false;

 private:
  void StartDownloadWorker();
  void StartLocalWorker();
  void UpdateInputFromBox();

  Services m_services;
};
