// Where the terminal window puts things, as plain numbers: the bars, the
// log pane with its scroll bar, the answer box and a modal box. Every
// result is usable (never negative) down to a one-cell terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "console/ColorEdit.h"

struct ScreenLayout {
  int titleRow = -1;  // -1: no room
  int logTop = 0;
  int logRows = 0;
  int logCols = 0;        // text cells; the scroll bar is the column after
  bool scrollBar = false;
  int hintRow = -1;
  int inputRow = -1;
  int cols = 0;
};

ScreenLayout ComputeLayout(int rows, int cols);

// The scroll bar's thumb on a track of `track` cells.
struct Thumb {
  int start = 0;
  int length = 0;
};
Thumb ComputeThumb(std::size_t total, std::size_t visible, std::size_t top, int track);

// A modal box centred on the screen.
struct BoxLayout {
  int top = 0, left = 0, height = 0, width = 0;
  std::vector<std::string> textLines;  // the text, wrapped and cut to fit
};
// `title` sits in the top border; `button` on the last line inside.
BoxLayout ComputeBox(int rows, int cols, const std::string& title, const std::string& text,
                     const std::string& button);

// The nearest of the eight basic terminal colours (curses numbering:
// black 0, red 1, green 2, yellow 3, blue 4, magenta 5, cyan 6, white 7).
short NearestTerminalColour(COLORREF colour);
