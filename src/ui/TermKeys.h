// Turns the key codes that curses delivers into what the terminal window
// does with them. Escape sequences that the terminal description does not
// know arrive byte by byte; they are recognised here, or swallowed whole so
// that their bytes never end up in the answer box.
#pragma once

#include <functional>

enum class KeyAction {
  kNone,       // nothing to do (unknown key or sequence)
  kEnter,      // the OK command
  kEscape,     // Escape alone: cancel, or confirm a box
  kInterrupt,  // Ctrl-C: cancel, also inside a box
  kAbout,      // F1 or Alt+A
  kPageUp, kPageDown, kLogHome, kLogEnd, kLineUp, kLineDown,
  kSideLeft, kSideRight,  // the log sideways: Shift/Alt/Ctrl + Left/Right
  kLeft, kRight, kBackspace, kDelete, kBoxHome, kBoxEnd, kBoxClear,
  kMouse,   // a mouse event is waiting (curses' KEY_MOUSE)
  kResize,  // curses noticed a new terminal size
  kText,    // a byte of typed text
};

struct KeyEvent {
  KeyAction action = KeyAction::kNone;
  unsigned char byte = 0;  // for kText
};

// Codes that curses assigns at run time to the terminal's extended keys
// (modified arrows); -1 when the terminal has none.
struct ExtraKeys {
  int sideLeft[3] = {-1, -1, -1};
  int sideRight[3] = {-1, -1, -1};
};

// `code` is what curses returned; `next` returns the code waiting after it,
// or -1 when none is (used after Escape only).
KeyEvent TranslateKey(int code, const std::function<int()>& next, const ExtraKeys& extra);
