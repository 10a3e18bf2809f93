#include "ui/qt/DialogUnits.h"

#include <QFontMetrics>
#include <QString>
#include <cstdlib>

int MulDivRound(int a, int b, int c) {
  if (c == 0) return 0;
  long long product = static_cast<long long>(a) * b;
  long long half = std::llabs(static_cast<long long>(c)) / 2;
  bool negative = (product < 0) != (c < 0);
  long long magnitude = (std::llabs(product) + half) / std::llabs(static_cast<long long>(c));
  return static_cast<int>(negative ? -magnitude : magnitude);
}

DialogUnits DialogUnits::FromFont(const QFontMetrics& metrics) {
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  int width = metrics.horizontalAdvance(kLetters);
  // Average over 52 letters, rounded: (width / 26 + 1) / 2.
  int average = (width / 26 + 1) / 2;
  return DialogUnits(average > 0 ? average : 1, metrics.height() > 0 ? metrics.height() : 1);
}

int DialogUnits::ToPixelsX(int units) const { return MulDivRound(units, m_baseWidth, 4); }
int DialogUnits::ToPixelsY(int units) const { return MulDivRound(units, m_baseHeight, 8); }

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
  return QRect(ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height));
}
