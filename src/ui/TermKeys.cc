#include "ui/TermKeys.h"

#define NCURSES_NOMACROS
#include <ncurses.h>

#include <cstdlib>
#include <string>

namespace {

constexpr int kEsc = 27;
constexpr std::size_t kMaxSequence = 16;

KeyEvent Act(KeyAction action) { return KeyEvent{action, 0}; }

// The key of a "CSI params final" sequence.
KeyEvent CsiKey(const std::string& params, int final) {
  bool modified = params.find(';') != std::string::npos;
  int first = std::atoi(params.c_str());
  switch (final) {
    case 'A': return Act(KeyAction::kLineUp);
    case 'B': return Act(KeyAction::kLineDown);
    case 'C': return Act(modified ? KeyAction::kSideRight : KeyAction::kRight);
    case 'D': return Act(modified ? KeyAction::kSideLeft : KeyAction::kLeft);
    case 'H': return Act(KeyAction::kLogHome);
    case 'F': return Act(KeyAction::kLogEnd);
    case 'P': return Act(KeyAction::kAbout);  // modified F1
    case '~':
      switch (first) {
        case 1: case 7: return Act(KeyAction::kLogHome);
        case 4: case 8: return Act(KeyAction::kLogEnd);
        case 3: return Act(KeyAction::kDelete);
        case 5: return Act(KeyAction::kPageUp);
        case 6: return Act(KeyAction::kPageDown);
        case 11: return Act(KeyAction::kAbout);
        default: return Act(KeyAction::kNone);
      }
    default: return Act(KeyAction::kNone);
  }
}

KeyEvent Ss3Key(int final) {
  switch (final) {
    case 'P': return Act(KeyAction::kAbout);
    case 'M': return Act(KeyAction::kEnter);
    default: return CsiKey(std::string(), final);
  }
}

// After ESC '[': reads parameters up to the final byte.
KeyEvent ReadCsi(const std::function<int()>& next) {
  std::string params;
  for (std::size_t i = 0; i < kMaxSequence; ++i) {
    int c = next();
    if (c < 0x20 || c > 0x7E) return Act(KeyAction::kNone);  // cut short
    if (c >= 0x40) return CsiKey(params, c);
    params.push_back(static_cast<char>(c));
  }
  return Act(KeyAction::kNone);
}

KeyEvent TranslateEscape(const std::function<int()>& next) {
  int c = next();
  if (c < 0 || c == kEsc) return Act(KeyAction::kEscape);
  if (c == 'a' || c == 'A') return Act(KeyAction::kAbout);  // Alt+A
  if (c == '[') return ReadCsi(next);
  if (c == 'O') {
    int final = next();
    return final < 0 ? Act(KeyAction::kNone) : Ss3Key(final);
  }
  return Act(KeyAction::kNone);  // Alt with another key
}

bool OneOf(int code, const int (&codes)[3]) {
  for (int c : codes) {
    if (c >= 0 && c == code) return true;
  }
  return false;
}

}  // namespace

KeyEvent TranslateKey(int code, const std::function<int()>& next, const ExtraKeys& extra) {
  switch (code) {
    case kEsc: return TranslateEscape(next);
    case '\r': case '\n': case KEY_ENTER: return Act(KeyAction::kEnter);
    case 3: return Act(KeyAction::kInterrupt);
    case KEY_F(1): return Act(KeyAction::kAbout);
    case KEY_PPAGE: return Act(KeyAction::kPageUp);
    case KEY_NPAGE: return Act(KeyAction::kPageDown);
    case KEY_HOME: return Act(KeyAction::kLogHome);
    case KEY_END: return Act(KeyAction::kLogEnd);
    case KEY_UP: return Act(KeyAction::kLineUp);
    case KEY_DOWN: return Act(KeyAction::kLineDown);
    case KEY_SLEFT: return Act(KeyAction::kSideLeft);
    case KEY_SRIGHT: return Act(KeyAction::kSideRight);
    case KEY_LEFT: return Act(KeyAction::kLeft);
    case KEY_RIGHT: return Act(KeyAction::kRight);
    case KEY_BACKSPACE: case 127: case 8: return Act(KeyAction::kBackspace);
    case KEY_DC: return Act(KeyAction::kDelete);
    case 1: return Act(KeyAction::kBoxHome);   // Ctrl-A
    case 5: return Act(KeyAction::kBoxEnd);    // Ctrl-E
    case 21: return Act(KeyAction::kBoxClear); // Ctrl-U
    case KEY_MOUSE: return Act(KeyAction::kMouse);
    case KEY_RESIZE: return Act(KeyAction::kResize);
    default: break;
  }
  if (OneOf(code, extra.sideLeft)) return Act(KeyAction::kSideLeft);
  if (OneOf(code, extra.sideRight)) return Act(KeyAction::kSideRight);
  if ((code >= 0x20 && code < 0x7F) || (code >= 0x80 && code <= 0xFF)) {
    return KeyEvent{KeyAction::kText, static_cast<unsigned char>(code)};
  }
  return Act(KeyAction::kNone);
}
