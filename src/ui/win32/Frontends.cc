// The frontends of the Windows program and the choice between them.
#include "ui/Frontends.h"

#include "platform/windows/StdStreams.h"
#include "ui/LineFrontend.h"
#include "ui/win32/DialogFrontend.h"
#include "ui/win32/Win32LineChannel.h"

IFrontend* CreateFrontend(CommandLine::Ui ui, std::string& error) {
  switch (ui) {
    case CommandLine::kLine:
      return new LineFrontend(MakeWin32LineChannel(OpenStdHandles()));
    case CommandLine::kTui:
      error = "the Windows program has no terminal window; use the dialog (--ui=gui) or --ui=line";
      return nullptr;
    case CommandLine::kAuto:
    case CommandLine::kGui:
      break;
  }
  return new DialogFrontend;
}
