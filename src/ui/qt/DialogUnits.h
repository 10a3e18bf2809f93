// Dialog units: the window layout is given in units of the dialog font, so it
// grows with the font. One horizontal unit is a quarter of the font's average
// character width, one vertical unit an eighth of its character height.
#pragma once

#include <QRect>

class QFontMetrics;

class DialogUnits {
 public:
  // Base units in pixels: average character width and character height.
  DialogUnits(int baseWidth, int baseHeight) : m_baseWidth(baseWidth), m_baseHeight(baseHeight) {}
  // The average width is taken over the 52 Latin letters and rounded, the
  // height is the font's line height (ascent + descent).
  static DialogUnits FromFont(const QFontMetrics& metrics);

  int ToPixelsX(int units) const;
  int ToPixelsY(int units) const;
  QRect ToPixels(int x, int y, int width, int height) const;

  int baseWidth() const { return m_baseWidth; }
  int baseHeight() const { return m_baseHeight; }

 private:
  int m_baseWidth;
  int m_baseHeight;
};

// a * b / c rounded half away from zero, as the platform's dialog manager does.
int MulDivRound(int a, int b, int c);
