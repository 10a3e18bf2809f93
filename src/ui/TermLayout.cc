#include "ui/TermLayout.h"

#include <algorithm>

#include "ui/TextCells.h"

ScreenLayout ComputeLayout(int rows, int cols) {
  ScreenLayout layout;
  layout.cols = std::max(cols, 0);
  if (rows <= 0 || cols <= 0) return layout;
  // The answer box is the last to go, the bars go before the log.
  layout.inputRow = rows - 1;
  int spare = rows - 1;
  if (spare >= 3) {
    layout.titleRow = 0;
    layout.hintRow = rows - 2;
    layout.logTop = 1;
    layout.logRows = rows - 3;
  } else if (spare == 2) {
    layout.titleRow = 0;
    layout.logTop = 1;
    layout.logRows = 1;
  } else {
    layout.logTop = 0;
    layout.logRows = spare;
  }
  layout.scrollBar = cols >= 2;
  layout.logCols = layout.scrollBar ? cols - 1 : cols;
  return layout;
}

Thumb ComputeThumb(std::size_t total, std::size_t visible, std::size_t top, int track) {
  if (track <= 0) return {};
  if (total <= visible || visible == 0) return {0, track};
  auto cells = static_cast<std::size_t>(track);
  Thumb thumb;
  thumb.length = static_cast<int>(std::max<std::size_t>(1, cells * visible / total));
  std::size_t range = total - visible;
  std::size_t room = cells - static_cast<std::size_t>(thumb.length);
  thumb.start = static_cast<int>((room * std::min(top, range) + range / 2) / range);
  return thumb;
}

BoxLayout ComputeBox(int rows, int cols, const std::string& title, const std::string& text,
                     const std::string& button) {
  BoxLayout box;
  if (rows <= 0 || cols <= 0) return box;
  // Borders and one blank cell of margin on each side take four columns.
  int inner = std::max(1, std::min(cols - 4, 60));
  box.textLines = WrapToWidth(text, inner);
  int widest = std::max(DisplayWidth(DisplayLine(title)) + 2, DisplayWidth(button));
  for (const std::string& line : box.textLines) widest = std::max(widest, DisplayWidth(line));
  box.width = std::min(cols, std::min(widest, inner) + 4);
  // Border, text, blank, button, border.
  int textRows = std::max(0, std::min(static_cast<int>(box.textLines.size()), rows - 4));
  box.textLines.resize(static_cast<std::size_t>(textRows));
  box.height = std::min(rows, textRows + 4);
  box.top = (rows - box.height) / 2;
  box.left = (cols - box.width) / 2;
  return box;
}

short NearestTerminalColour(COLORREF colour) {
  short c = 0;
  if (GetRValue(colour) >= 0x80) c |= 1;
  if (GetGValue(colour) >= 0x80) c |= 2;
  if (GetBValue(colour) >= 0x80) c |= 4;
  return c;
}
