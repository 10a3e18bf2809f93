#include "app/BrickfixApp.h"

#include <cstring>

#include "app/BrickfixDlg.h"
#include "app/Version.h"
#include "console/Frontend.h"
#include "console/UiBridge.h"

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) line.help = true;
    else if (!std::strcmp(arg, "--version")) line.version = true;
    else if (!std::strcmp(arg, "--ui=tui")) line.ui = CommandLine::kTui;
    else if (!std::strcmp(arg, "--ui=line")) line.ui = CommandLine::kLine;
    else if (!std::strcmp(arg, "--ui=gui")) line.ui = CommandLine::kGui;
    else if (!std::strcmp(arg, "--restore-network")) line.restoreNetwork = true;
    else if (!std::strcmp(arg, "--support-bundle")) {
      line.supportBundle = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') line.bundleFile = argv[++i];
    }
    else {
      line.error = std::string("unknown argument: ") + arg;
      break;
    }
  }
  return line;
}

std::string VersionText() { return std::string("brickfix ") + BRICKFIX_VERSION + "\n"; }

std::string HelpText() {
  return "Usage: brickfix [--ui=tui|line|gui]\n"
         "       brickfix --restore-network\n"
         "       brickfix --support-bundle [FILE]\n"
         "       brickfix -h|--help|--version\n"
         "\n"
         "Brings a Terno router back from damaged firmware: fetches the newest\n"
         "firmware (or uses the copy in ./Rom), sets the wired adapter's address\n"
         "and serves the image by TFTP to the router in recovery mode.\n"
         "\n"
         "  --ui=tui     the terminal window (default when stdin and stdout are terminals)\n"
         "  --ui=line    line mode: log lines on stdout, one answer per stdin line\n"
         "  --ui=gui     the desktop window (when this build has one)\n"
         "  --restore-network\n"
         "               put back the settings a run left changed on the wired\n"
         "               adapter, as its journal in the state folder lists them\n"
         "  --support-bundle [FILE]\n"
         "               write the latest run's timeline, diagnostics, capture and\n"
         "               adapter journal, with the version and the system, to FILE\n"
         "               (default: brickfix-support-DATE-TIME.tar.gz here) for support\n"
         "  -h, --help   print this text\n"
         "  --version    print the version\n"
         "\n"
         "Environment:\n"
         "  BRICKFIX_CLOUD_HOST  host or host:port of the firmware cloud\n"
         "  SSL_CERT_FILE        trust store for the cloud's certificate\n"
         "  XDG_STATE_HOME       where the state folder is (default ~/.local/state):\n"
         "                       brickfix/ there holds the adapter journals and the\n"
         "                       diagnostics and timelines of the last runs\n"
         "\n"
         "Runs without any privilege of its own. Changing the adapter's address,\n"
         "pinging the router and serving UDP port 69 are done by the network\n"
         "helper brickfix-nethelper (in ../libexec/brickfix/ from this program),\n"
         "which holds cap_net_admin, cap_net_raw and cap_net_bind_service; the\n"
         "Debian package lets the members of the group brickfix run it. Without\n"
         "the helper, only root can do those steps.\n"
         "\n"
         "Exit status: 0 when the run ends (also after a fatal message), 1 when no\n"
         "window could be opened or --restore-network could not put an adapter\n"
         "back, 2 for a wrong command line.\n"
         "\n"
         "See brickfix(1) for the details.\n";
}

int RunMainDialog(IFrontend& frontend, UiBridge& bridge, const Operations& ops, IObserver* observer) {
  CBrickfixDlg::Services services;
  services.view = &frontend;
  services.bridge = &bridge;
  services.platform = ops.platform;
  services.firmware = ops.firmware;
  services.net = ops.net;
  services.tftp = ops.tftp;
  services.observer = observer;
  // The dialog lives until the process ends: worker threads may still use it.
  auto* dlg = new CBrickfixDlg(services);
  FrontendCallbacks callbacks;
  callbacks.onInit = [dlg] { dlg->OnInitDialog(); };
  callbacks.onEnter = [dlg] { dlg->OnInputEnter(); };
  callbacks.onSysCommand = [dlg](unsigned id) { dlg->OnSysCommand(id, 0); };
  return frontend.Run(bridge, callbacks);
}

const char* const kAnotherRunText = "另一个 Brickfix 正在运行，请先关闭它再重新运行！";

int RunRefusal(IFrontend& frontend, UiBridge& bridge, IPlatform& platform, const std::string& holder) {
  FrontendCallbacks callbacks;
  callbacks.onInit = [&] {
    frontend.SetTitle(kWindowTitle);
    frontend.MessageBox(std::string(kAnotherRunText) + holder);
    platform.ExitProcess(0);
  };
  return frontend.Run(bridge, callbacks);
}
