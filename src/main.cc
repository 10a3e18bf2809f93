#include <unistd.h>

#include <cstdio>

#include "app/BrickfixApp.h"
#include "app/TestTiming.h"
#include "console/UiBridge.h"
#include "firmware/FirmwareOps.h"
#include "netcfg/LinuxNetOps.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/NetworkRights.h"
#include "tftp/TftpOps.h"
#include "ui/Frontends.h"

int main(int argc, char** argv) {
  // Before any thread exists: permitted network capabilities become effective.
  RaiseNetworkCapabilities();
  CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty()) {
    std::fprintf(stderr, "brickfix: %s\n%s", line.error.c_str(), HelpText().c_str());
    return 2;
  }
  if (line.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (line.version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  std::string error;
  IFrontend* frontend = CreateFrontend(line.ui, error);
  if (!frontend) {
    std::fprintf(stderr, "brickfix: %s\n", error.c_str());
    return 1;
  }
  frontend->SetNotice(DescribeMissingNetworkRights());
  // Everything below lives until the process ends.
  auto* bridge = new UiBridge;
  auto* platform = new LinuxPlatform(*bridge, *frontend);
  Operations ops{platform, new FirmwareOps, new LinuxNetOps,
                 new TftpOps(tftp::kTftpPort, tftp::kFirstTransferPort, std::chrono::seconds(1),
                             UploadFirstWait())};
  int status = RunMainDialog(*frontend, *bridge, ops);
  bridge->Close();
  frontend->Shutdown();
  QuickExit(status);
}
