// The Windows program: the same wizard as on Linux, in a dialog (or in line
// mode with --ui=line).
#include <string>

#include "app/BrickfixApp.h"
#include "console/UiBridge.h"
#include "platform/windows/NotYetAvailable.h"
#include "platform/windows/StdStreams.h"
#include "platform/windows/WindowsPlatform.h"
#include "ui/Frontends.h"

int main(int argc, char** argv) {
  CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty()) {
    WriteAllTo(OpenStdHandles().err, "brickfix: " + line.error + "\n" + HelpText());
    return 2;
  }
  if (line.help || line.version) {
    WriteAllTo(OpenStdHandles().out, line.help ? HelpText() : VersionText());
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
  Operations ops{platform, new NotYetAvailableFirmware, new NotYetAvailableNet,
                 new NotYetAvailableTftp};
  int status = RunMainDialog(*frontend, *bridge, ops);
  bridge->Close();
  frontend->Shutdown();
  QuickExit(status);
}
