#include <unistd.h>

#include <cstdio>

#include "app/BrickfixApp.h"
#include "app/TestTiming.h"
#include "console/UiBridge.h"
#include "firmware/FirmwareOps.h"
#include "netcfg/linux/HelperClient.h"
#include "netcfg/linux/LinuxNetOps.h"
#include "netcfg/linux/Observation.h"
#include "platform/linux/Diagnostics.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/NetworkRights.h"
#include "platform/linux/RunLock.h"
#include "platform/linux/StateDir.h"
#include "platform/linux/SupportBundle.h"
#include "tftp/TftpOps.h"
#include "ui/FdIo.h"
#include "ui/Frontends.h"

namespace {

// brickfix --restore-network, under the same lock as a run.
int RestoreNetworkAndExit(RunLock& lock, helper::NetworkAccess& access) {
  if (!lock.TryAcquire()) {
    std::fprintf(stderr, "brickfix: %s | Another Brickfix is running; close it first.\n", kAnotherRunText);
    return 1;
  }
  std::string report;
  int status = RestoreNetwork(access.kernel(), access.dhcp(), report);
  std::fputs(report.c_str(), status == 0 ? stdout : stderr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty() || line.help || line.version) {
    DropAllCapabilities();
    if (!line.error.empty()) {
      std::fprintf(stderr, "brickfix: %s\n%s", line.error.c_str(), HelpText().c_str());
      return 2;
    }
    std::fputs((line.help ? HelpText() : VersionText()).c_str(), stdout);
    return 0;
  }
  if (line.supportBundle) {
    DropAllCapabilities();
    return WriteSupportBundleFile(line.bundleFile, VersionText());
  }
  // Before anything else runs, while this is the only thread: the network
  // helper takes the network rights, and this process gives up every
  // capability before the window, the cloud query or any parser starts.
  helper::NetworkAccess* access = helper::NetworkAccess::Open();
  if (line.restoreNetwork) {
    RunLock lock;
    return RestoreNetworkAndExit(lock, *access);
  }
  // Everything below lives until the process ends.
  auto* lock = new RunLock;
  std::string error;
  IFrontend* frontend = CreateFrontend(line.ui, error);
  if (!frontend) {
    std::fprintf(stderr, "brickfix: %s\n", error.c_str());
    return 1;
  }
  auto* bridge = new UiBridge;
  auto* platform = new LinuxPlatform(*bridge, *frontend);
  // One run at a time in this network namespace, taken before anything
  // changes; a second start only says so.
  if (!lock->TryAcquire()) {
    int status = RunRefusal(*frontend, *bridge, *platform);
    frontend->Shutdown();
    QuickExit(status);
  }
  frontend->SetNotice(access->Notice());
  auto* diagnostics = new DiagnosticsFile;
  std::string stateError;
  std::string stateDir = StateDirectory();
  diagnostics->Open(MakeStateDirectory(stateDir, stateError) ? stateDir : "");
  frontend->SetDiagnostics(diagnostics);
  LinuxNetOptions options;
  options.journalDir = stateDir;
  options.dhcpStarter = &access->dhcp();
  options.openEchoSocket = [access] { return access->client().OpenEchoSocket().Release(); };
  auto* runner = new PosixProcessRunner;
  auto* net = new LinuxNetOps(*runner, access->kernel(), options);
  auto* observer = OpenLinuxObserver(diagnostics->Path().empty() ? "" : stateDir, VersionText(), *runner);
  platform->SetAtEnd([net, diagnostics, observer] {
    observer->Finish();
    WriteAll(STDERR_FILENO, net->DescribeChangedAdapters());
    diagnostics->RemoveIfEmpty();
  });
  auto* tftp = new TftpOps(tftp::kTftpPort, tftp::kFirstTransferPort, std::chrono::seconds(1),
                           UploadFirstWait());
  tftp->SetListenerOpener([access](const std::string& adapter, std::uint16_t) {
    return tftp::UdpSocket(access->client().OpenTftpListener(adapter).Release());
  });
  Operations ops{platform, new FirmwareOps, net, tftp};
  int status = RunMainDialog(*frontend, *bridge, ops, observer);
  bridge->Close();
  frontend->Shutdown();
  platform->RunAtEnd();
  QuickExit(status);
}
