#include "platform/windows/WindowsProgram.h"

#include <cstring>
#include <string>

#include "app/BrickfixApp.h"
#include "app/Log.h"
#include "app/TestTiming.h"
#include "console/UiBridge.h"
#include "netcfg/windows/ElevatedPart.h"
#include "netcfg/windows/PortOwner.h"
#include "netcfg/windows/WinJournal.h"
#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/StdStreams.h"
#include "platform/windows/Utf16.h"
#include "platform/windows/WindowsPlatform.h"
#include "tftp/TftpOps.h"
#include "ui/Frontends.h"

namespace {

std::string WindowsHelpText() {
  return "Usage: brickfix [--ui=gui|line]\n"
         "       brickfix --restore-network\n"
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
    WriteAllTo(handles.err, std::string("brickfix: ") + kAnotherRunText + " | Another Brickfix is running; close it first.\n");
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
// holds is named in the log before the listener's box.
tftp::UdpSocket OpenListener(WinNetOps& net, const std::string& adapter, std::uint16_t port) {
  tftp::UdpSocket sock = tftp::UdpSocket::Open();
  std::uint32_t index = net.InterfaceIndexOf(adapter);
  if (!sock.valid() || index == 0 || !sock.AcceptOnlyFrom(index)) {
    LogPrint("无法在所选网卡上打开 UDP 69 端口。");
    return tftp::UdpSocket();
  }
  if (!sock.Bind(port)) {
    LogPrint("%s", PortTakenLine(UdpPortOwner(port)).c_str());
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
  WinNetOptions options;
  options.journalDir = WindowsStateDirectory();
  auto* net = new WinNetOps(options);
  // Line mode ends with a line about an adapter left changed; the dialog's
  // next start names it in its first lines.
  if (line.ui == CommandLine::kLine) {
    platform->SetAtEnd([net] {
      std::string changed = net->DescribeChangedAdapters();
      if (!changed.empty()) WriteAllTo(OpenStdHandles().err, changed);
    });
  }
  if (!tftp) {
    auto* service = new TftpOps(tftp::kTftpPort, tftp::kFirstTransferPort, std::chrono::seconds(1),
                                UploadFirstWait());
    service->SetListenerOpener([net](const std::string& adapter, std::uint16_t port) {
      return OpenListener(*net, adapter, port);
    });
    tftp = service;
  }
  Operations ops{platform, firmware, net, tftp};
  int status = RunMainDialog(*frontend, *bridge, ops);
  bridge->Close();
  frontend->Shutdown();
  platform->RunAtEnd();
  QuickExit(status);
}
