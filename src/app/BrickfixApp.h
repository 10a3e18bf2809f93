// Start-up: the command line and the run of the main dialog.
#pragma once

#include <string>

#include "app/Ports.h"

class IFrontend;
class UiBridge;

struct CommandLine {
  enum Ui { kAuto, kTui, kLine, kGui };
  Ui ui = kAuto;
  bool help = false;
  bool version = false;
  bool restoreNetwork = false;  // --restore-network
  bool supportBundle = false;   // --support-bundle [FILE]
  std::string bundleFile;       // FILE, empty for the default name
  std::string error;  // non-empty: the arguments are wrong
};

CommandLine ParseCommandLine(int argc, const char* const* argv);
std::string HelpText();
std::string VersionText();  // "brickfix <version>"

// The operations the dialog is built with.
struct Operations {
  IPlatform* platform = nullptr;
  IFirmwareOps* firmware = nullptr;
  INetOps* net = nullptr;
  ITftpOps* tftp = nullptr;
};

// Creates the dialog, runs it in `frontend` until it is closed, and returns
// the frontend's result. `observer` watches the recovery link (none: nothing
// is watched). Nothing is cleaned up afterwards: the caller ends the process
// without running static destructors.
int RunMainDialog(IFrontend& frontend, UiBridge& bridge, const Operations& ops,
                  IObserver* observer = nullptr);

// The message box of a second start while another run holds the network.
extern const char* const kAnotherRunText;
// A start that may not run: the window shows kAnotherRunText, followed by
// `holder` (who holds the lock, when that is known), and the process ends
// with status 0 once it is confirmed.
int RunRefusal(IFrontend& frontend, UiBridge& bridge, IPlatform& platform, const std::string& holder = "");
