#include "ui/Frontends.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#define NCURSES_NOMACROS
#include <curses.h>
#include <term.h>

#include "ui/FdLineChannel.h"
#include "ui/LineFrontend.h"
#include "ui/TermFrontend.h"
#ifdef BRICKFIX_WITH_QT
#include "ui/qt/QtFrontend.h"
#endif

namespace {

bool OnTerminal() { return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO); }

// A terminal that cannot address the cursor, or that the terminal database
// does not describe, gets line mode by default.
bool TerminalCanDraw() {
  const char* term = std::getenv("TERM");
  if (!term || !*term || !std::strcmp(term, "dumb")) return false;
  int status = 0;
  if (setupterm(term, STDOUT_FILENO, &status) != OK) return false;
  del_curterm(cur_term);
  return true;
}

}  // namespace

IFrontend* CreateFrontend(CommandLine::Ui ui, std::string& error) {
  switch (ui) {
    case CommandLine::kGui:
#ifdef BRICKFIX_WITH_QT
      return CreateQtFrontend(error);
#else
      error = "this build has no desktop window (built without Qt)";
      return nullptr;
#endif
    case CommandLine::kLine:
      return new LineFrontend(MakeFdLineChannel());
    case CommandLine::kTui:
      if (!OnTerminal()) {
        error = "the terminal window needs a terminal on stdin and stdout; try --ui=line";
        return nullptr;
      }
      return new TermFrontend;
    case CommandLine::kAuto:
      break;
  }
  if (OnTerminal() && TerminalCanDraw()) return new TermFrontend;
  return new LineFrontend(MakeFdLineChannel());
}
