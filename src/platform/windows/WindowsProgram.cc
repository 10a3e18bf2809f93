#include "platform/windows/WindowsProgram.h"

#include <atomic>
#include <cstring>
#include <string>

#include "app/BrickfixApp.h"
#include "app/Log.h"
#include "app/TestTiming.h"
#include "console/UiBridge.h"
#include "netcfg/windows/ElevatedPart.h"
#include "netcfg/windows/WinJournal.h"
#include "netcfg/windows/WinNetOps.h"
#include "netcfg/windows/WinObservation.h"
#include "platform/windows/RunFiles.h"
#include "platform/windows/StdStreams.h"
#include "platform/windows/SupportBundle.h"
#include "platform/windows/Utf16.h"
#include "platform/windows/WindowsPlatform.h"
#include "tftp/TftpOps.h"
#include "ui/Frontends.h"

namespace {

std::string WindowsHelpText() {
  return "Usage: brickfix [--ui=gui|line]\n"
         "       brickfix --restore-network\n"
         "       brickfix --support-bundle [FILE]\n"
         "       brickfix -h|--help|--version\n"
         "\n"
         "Brings a Terno router back from damaged firmware: fetches the newest\n"
         "firmware (or uses the copy in .\\Rom), sets the wired adapter's address\n"
         "and serves the image by TFTP to the router in recovery mode.\n"
         "\n"
         "  --ui=gui     the dialog (the default)\n"
         "  --ui=line    line mode: log lines on stdout, one answer per stdin line\n"
         "  --restore-network\n"
         "               put back the settings a run left changed on the wired\n"
         "               adapter, as its journal in %LOCALAPPDATA%\\Brickfix lists them\n"
         "  --support-bundle [FILE]\n"
         "               write a zip of the latest run for whoever helps you: what the\n"
         "               program saw on the link (timeline), its diagnostics, the\n"
         "               adapter's journal, the version and the system (FILE by\n"
         "               default brickfix-support-DATE-TIME.zip here)\n"
         "  -h, --help   print this text\n"
         "  --version    print the version\n"
         "\n"
         "Environment:\n"
         "  BRICKFIX_CLOUD_HOST  host or host:port of the firmware cloud\n"
         "\n"
         "Runs with the rights of the user who starts it. When the adapter is\n"
         "about to be set, Windows asks once for administrator rights: a small\n"
         "elevated part of the program then sets the adapter's addresses (netsh)\n"
         "and clears the ARP cache (arp), and does nothing else.\n"
         "\n"
         "Exit status: 0 when the run ends (also after a fatal message), 1 when no\n"
         "window could be opened or --restore-network could not put an adapter\n"
         "back, 2 for a wrong command line.\n";
}

class SystemRestore : public IWinRestoreSystem {
 public:
  bool FindAdapter(const std::string& guid, std::int32_t& ifindex, std::string& name) override {
    std::vector<AdapterRecord> records;
    std::vector<std::uint32_t> indexes;
    if (!ListAdapterRecords(::GetAdaptersInfo, records, &indexes)) return false;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (records[i].id != guid || indexes[i] == 0 || indexes[i] > INT32_MAX) continue;
      ifindex = static_cast<std::int32_t>(indexes[i]);
      name = ConnectionNameOrGuid(guid);
      return true;
    }
    return false;
  }
};

// brickfix --restore-network, under the same lock as a run.
int RestoreNetwork() {
  StdHandles handles = OpenStdHandles();
  if (!TakeRunLock()) {
    WriteAllTo(handles.err, std::string("brickfix: ") + kAnotherRunText + "\n");
    return 1;
  }
  WinJournal journal(WindowsStateDirectory());
  ElevatedPart elevated;
  SystemRestore system;
  std::string report;
  int status = RestoreFromWinJournal(journal, system, elevated, report);
  WriteAllTo(status == 0 ? handles.out : handles.err, report);
  return status;
}

// UDP port 69 for the chosen adapter: the listener, and the transfers after
// it, take only datagrams that arrive on that adapter. A port someone else
// holds is marked in `held`: the observer names its holder in the log before
// the listener's box.
tftp::UdpSocket OpenListener(WinNetOps& net, const std::string& adapter, std::uint16_t port,
                             std::atomic<bool>& held) {
  tftp::UdpSocket sock = tftp::UdpSocket::Open();
  std::uint32_t index = net.InterfaceIndexOf(adapter);
  if (!sock.valid() || index == 0 || !sock.AcceptOnlyFrom(index)) {
    LogPrint("无法在所选网卡上打开 UDP 69 端口。");
    return tftp::UdpSocket();
  }
  if (!sock.Bind(port)) {
    held = true;
    return tftp::UdpSocket();
  }
  return sock;
}

}  // namespace

int RunWindowsProgram(int argc, char** argv, IFirmwareOps* firmware, ITftpOps* tftp) {
  // The elevated part: nothing else of the program runs in it.
  if (argc == 3 && std::strcmp(argv[1], kElevatedFlag) == 0) return ServeElevated(Widen(argv[2]));
  CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty()) {
    WriteAllTo(OpenStdHandles().err, "brickfix: " + line.error + "\n" + WindowsHelpText());
    return 2;
  }
  if (line.help || line.version) {
    WriteAllTo(OpenStdHandles().out, line.help ? WindowsHelpText() : VersionText());
    return 0;
  }
  if (line.restoreNetwork) return RestoreNetwork();
  if (line.supportBundle) {
    return WriteSupportBundleFile(line.bundleFile, WindowsStateDirectory(), VersionText(), JournalNameOfConnection);
  }
  std::string error;
  IFrontend* frontend = CreateFrontend(line.ui, error);
  if (!frontend) {
    WriteAllTo(OpenStdHandles().err, "brickfix: " + error + "\n");
    return 1;
  }
  // Everything below lives until the process ends.
  auto* bridge = new UiBridge;
  auto* platform = new WindowsPlatform(*bridge, *frontend);
  // One run at a time, taken before anything changes; a second start only
  // says so.
  if (!TakeRunLock()) {
    int status = RunRefusal(*frontend, *bridge, *platform);
    frontend->Shutdown();
    QuickExit(status);
  }
  // The run's files in the state folder: diagnostics, timeline, journals.
  std::string stateDir = WindowsStateDirectory();
  auto* diagnostics = new DiagnosticsFile;
  if (diagnostics->Open(stateDir)) frontend->SetDiagnostics(diagnostics);
  WinNetOptions options;
  options.journalDir = stateDir;
  auto* net = new WinNetOps(options);
  auto* portHeld = new std::atomic<bool>(false);
  auto* observer = OpenWindowsObserver(diagnostics->Path().empty() ? "" : stateDir, VersionText(), *net,
                                       [portHeld] { return portHeld->load(); });
  // Line mode ends with a line about an adapter left changed; the dialog's
  // next start names it in its first lines.
  bool lineMode = line.ui == CommandLine::kLine;
  platform->SetAtEnd([net, observer, diagnostics, lineMode] {
    observer->Finish();
    if (lineMode) {
      std::string changed = net->DescribeChangedAdapters();
      if (!changed.empty()) WriteAllTo(OpenStdHandles().err, changed);
    }
    diagnostics->RemoveIfEmpty();
  });
  if (!tftp) {
    auto* service = new TftpOps(tftp::kTftpPort, tftp::kFirstTransferPort, std::chrono::seconds(1),
                                UploadFirstWait());
    service->SetListenerOpener([net, portHeld](const std::string& adapter, std::uint16_t port) {
      return OpenListener(*net, adapter, port, *portHeld);
    });
    tftp = service;
  }
  Operations ops{platform, firmware, net, tftp};
  int status = RunMainDialog(*frontend, *bridge, ops, observer);
  bridge->Close();
  frontend->Shutdown();
  platform->RunAtEnd();
  QuickExit(status);
}
