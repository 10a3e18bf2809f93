#include "ui/qt/Fonts.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <algorithm>

#include "console/ColorEdit.h"

namespace {

// Installed stand-ins for the requested face, best first. Debian ships them in
// fonts-wqy-zenhei, fonts-noto-cjk, fonts-arphic-uming and fonts-droid-fallback.
const char* const kCjkFaces[] = {
    "SimSun", "NSimSun", "WenQuanYi Zen Hei Mono", "Noto Sans Mono CJK SC",
    "WenQuanYi Zen Hei", "Noto Sans CJK SC", "WenQuanYi Micro Hei", "AR PL UMing CN",
    "Droid Sans Fallback",
};

QString FindInstalled(const QString& face, const QStringList& installed) {
  for (const QString& family : installed) {
    if (family.compare(face, Qt::CaseInsensitive) == 0) return family;
  }
  return QString();
}

}  // namespace

QString ChooseFace(const QString& requested, const QStringList& installed,
                   const QStringList& installedChinese) {
  if (QString found = FindInstalled(requested, installed); !found.isEmpty()) return found;
  for (const char* face : kCjkFaces) {
    if (QString found = FindInstalled(QString::fromUtf8(face), installed); !found.isEmpty()) {
      return found;
    }
  }
  return installedChinese.isEmpty() ? QString() : installedChinese.first();
}

int PixelSizeForCell(QFont font, int cellHeight) {
  int size = cellHeight > 1 ? cellHeight : 1;
  for (; size > 1; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).height() <= cellHeight) break;
  }
  return size;
}

QFont FontForStyle(const CColorEdit& style) {
  QString face = ChooseFace(QString::fromStdString(style.m_strFaceName), QFontDatabase::families(),
                            QFontDatabase::families(QFontDatabase::SimplifiedChinese));
  QFont font;
  if (!face.isEmpty()) font.setFamily(face);
  // Weights share the 1..1000 scale; 0 means "don't care", that is normal.
  int weight = style.m_nWeight > 0 ? std::min(style.m_nWeight, 1000) : 400;
  font.setWeight(static_cast<QFont::Weight>(weight));
  font.setItalic(style.m_bItalic != 0);
  font.setUnderline(style.m_bUnderline != 0);
  font.setStrikeOut(style.m_bStrikeOut != 0);
  font.setPixelSize(PixelSizeForCell(font, style.m_nFontHeight));
  return font;
}
