#include "platform/windows/WindowsProgram.h"

#include <string>

#include "app/BrickfixApp.h"
#include "app/TestTiming.h"
#include "console/UiBridge.h"
#include "platform/windows/StdStreams.h"
#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/WindowsPlatform.h"
#include "tftp/TftpOps.h"
#include "ui/Frontends.h"

namespace {

std::string WindowsHelpText() {
  return "Usage: brickfix [--ui=gui|line]\n"
         "       brickfix -h|--help|--version\n"
         "\n"
         "Brings a Terno router back from damaged firmware: fetches the newest\n"
         "firmware (or uses the copy in .\\Rom), sets the wired adapter's address\n"
         "and serves the image by TFTP to the router in recovery mode.\n"
         "\n"
         "  --ui=gui     the dialog (the default)\n"
         "  --ui=line    line mode: log lines on stdout, one answer per stdin line\n"
         "  -h, --help   print this text\n"
         "  --version    print the version\n"
         "\n"
         "Environment:\n"
         "  BRICKFIX_CLOUD_HOST  host or host:port of the firmware cloud\n"
         "\n"
         "Runs as administrator (Windows asks when it starts): changing the\n"
         "adapter's address, clearing the ARP cache and the ping need it.\n"
         "\n"
         "Exit status: 0 when the run ends (also after a fatal message), 1 when no\n"
         "window could be opened, 2 for a wrong command line.\n";
}

}  // namespace

int RunWindowsProgram(int argc, char** argv, IFirmwareOps* firmware, ITftpOps* tftp) {
  CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty()) {
    WriteAllTo(OpenStdHandles().err, "brickfix: " + line.error + "\n" + WindowsHelpText());
    return 2;
  }
  if (line.help || line.version) {
    WriteAllTo(OpenStdHandles().out, line.help ? WindowsHelpText() : VersionText());
    return 0;
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
  if (!tftp) {
    tftp = new TftpOps(tftp::kTftpPort, tftp::kFirstTransferPort, std::chrono::seconds(1),
                       UploadFirstWait());
  }
  Operations ops{platform, firmware, new WinNetOps, tftp};
  int status = RunMainDialog(*frontend, *bridge, ops);
  bridge->Close();
  frontend->Shutdown();
  QuickExit(status);
}
