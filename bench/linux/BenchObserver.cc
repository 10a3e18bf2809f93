#include "BenchObserver.h"

#include <cstdlib>

#include "app/BrickfixDlg.h"
#include "netcfg/linux/HelperClient.h"
#include "netcfg/linux/LinkMonitor.h"
#include "observe/Observer.h"
#include "platform/linux/RunFiles.h"

// The observer as a run has it: the link monitor, and the frames from the
// network helper's capture, which the program's own helper (a forked copy
// of this process, as in a run without a helper program) takes from the
// start of the wait until the first request.
IObserver* StartBenchObserver(const std::string& adapter, const std::string& dir, std::string& error) {
  std::unique_ptr<helper::HelperProcess> process = helper::HelperProcess::Fork(-1, error);
  if (!process) return nullptr;
  std::string folder = dir + "/brickfix-bench-XXXXXX";
  if (!mkdtemp(folder.data())) {
    error = "cannot make a folder in " + dir;
    return nullptr;
  }
  // Everything below lives until the process is killed.
  auto* client = new helper::Client(*process.release());
  observe::ObserverParts parts;
  parts.monitor = new LinkMonitor;
  parts.capture = new helper::HelperCapture(*client);
  auto* timeline = new TimelineFile;
  if (timeline->Open(folder)) parts.timeline = timeline;
  std::string capture = CapturePath(folder);
  parts.saveCapture = [capture](const std::string& file) { ReplaceFile(capture, file); };
  parts.program = "tftp_bench_server";
  auto* observer = new observe::Observer(std::move(parts));
  if (!client->StartCapture(adapter, *observer)) {
    error = "the helper cannot capture on " + adapter + " (it needs root and the address 192.168.1.88/24)";
    return nullptr;
  }
  client->StopCapture();
  return observer;
}

void BeginBenchWait(IObserver& observer, CBrickfixDlg* dlg, const std::string& adapter) {
  NetCommand command = dlg->RecoveryAddressCommand(adapter.c_str());
  observer.WaitBegins(dlg, command);
}
