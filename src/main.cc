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
#include "platform/linux/InvokingUser.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/NetworkRights.h"
#include "platform/linux/RunLock.h"
#include "platform/linux/StateDir.h"
#include "platform/linux/SupportBundle.h"
#include "tftp/TftpOps.h"
#include "ui/FdIo.h"
#include "ui/Frontends.h"

namespace {

// Who holds the run lock, for the refusal: "（进程 N，用户 U）".
std::string HolderText(const LockHolder& holder) {
  if (holder.pid <= 0) return "";
  return "（进程 " + std::to_string(holder.pid) + "，用户 " + (holder.user.empty() ? "?" : holder.user) + "）";
}

// brickfix --restore-network, under the same lock as a run.
int RestoreNetworkAndExit(const RunLock& lock, helper::NetworkAccess* access) {
  if (!access) {
    std::fprintf(stderr, "brickfix: %s%s\n", kAnotherRunText, HolderText(lock.holder()).c_str());
    return 1;
  }
  std::string report;
  int status = RestoreNetwork(access->kernel(), access->dhcp(), report);
  access->client().Goodbye();
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
  // Root started on a user's behalf (sudo, pkexec) works as that user once
  // the helper runs; a run that root started keeps its state in the folder
  // the password database gives, checked as it is made.
  std::optional<Account> invoker = FindInvokingUser();
  if (getuid() == 0) {
    std::optional<Account> owner = invoker ? invoker : AccountOf(0);
    UseAccountStateDirectory(owner.value_or(Account{}), !invoker);
  }
  // The support bundle reads the state folder and writes one file: no right
  // is needed, and a bundle asked for through sudo belongs to the user.
  if (line.supportBundle) {
    std::string error;
    if (!GiveUpRights(invoker, error)) {
      std::fprintf(stderr, "brickfix: %s\n", error.c_str());
      return 1;
    }
    return WriteSupportBundleFile(line.bundleFile, VersionText());
  }
  // One run at a time in this network namespace, taken before anything
  // changes. Then, while this is the only thread: the network helper takes
  // the network rights (and its part of the lock), and this process gives
  // up every right before the window, the cloud query or any parser starts.
  auto* lock = new RunLock;
  std::string error;
  helper::NetworkAccess* access = nullptr;
  if (lock->TryAcquire()) {
    access = helper::NetworkAccess::Open(lock->HelperDescriptor(), invoker, error);
  } else if (GiveUpRights(invoker, error)) {
    error.clear();
  }
  if (!error.empty()) {
    std::fprintf(stderr, "brickfix: %s\n", error.c_str());
    return 1;
  }
  if (line.restoreNetwork) return RestoreNetworkAndExit(*lock, access);
  // Everything below lives until the process ends.
  IFrontend* frontend = CreateFrontend(line.ui, error);
  if (!frontend) {
    std::fprintf(stderr, "brickfix: %s\n", error.c_str());
    return 1;
  }
  auto* bridge = new UiBridge;
  auto* platform = new LinuxPlatform(*bridge, *frontend);
  // A second start only says so.
  if (!access) {
    int status = RunRefusal(*frontend, *bridge, *platform, HolderText(lock->holder()));
    frontend->Shutdown();
    QuickExit(status);
  }
  std::string notice = RootWindowNotice(), rights = access->Notice();
  frontend->SetNotice(notice.empty() || rights.empty() ? notice + rights : notice + "  " + rights);
  auto* diagnostics = new DiagnosticsFile;
  std::string stateError;
  std::string stateDir = StateDirectory();
  diagnostics->Open(MakeStateDirectory(stateDir, stateError) ? stateDir : "");
  frontend->SetDiagnostics(diagnostics);
  LinuxNetOptions options;
  options.journalDir = stateDir;
  options.dhcpStarter = &access->dhcp();
  options.probeRouter = [access](const std::string& adapter) { return access->client().ProbeRouter(adapter); };
  auto* runner = new PosixProcessRunner;
  auto* net = new LinuxNetOps(*runner, access->kernel(), options);
  auto* observer =
      OpenLinuxObserver(diagnostics->Path().empty() ? "" : stateDir, VersionText(), *runner, &access->capture());
  platform->SetAtEnd([net, diagnostics, access, observer] {
    observer->Finish();
    // An end the program meant: the helper leaves the adapter as it is.
    access->client().Goodbye();
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
