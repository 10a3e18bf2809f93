// Fonts for the console controls: the face the wizard asks for ("宋体") is
// rarely installed on Linux, so an installed CJK face stands in for it at the
// same cell height.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <string>

class CColorEdit;

// The face to draw `requested` with: itself when installed (compared without
// regard to case), otherwise the first installed face of a list of CJK faces
// (fixed-width ones first, as the requested face is), otherwise any installed
// face that covers Simplified Chinese, otherwise an empty string (the
// toolkit's default font then).
QString ChooseFace(const QString& requested, const QStringList& installed,
                   const QStringList& installedChinese);

// The largest pixel size of `font`'s face whose line height (ascent +
// descent) is at most `cellHeight`; never less than 1.
int PixelSizeForCell(QFont font, int cellHeight);

// The font of a console control: face, cell height, weight and the three
// flags of `style`.
QFont FontForStyle(const CColorEdit& style);
