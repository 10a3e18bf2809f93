#include "ui/qt/AboutBox.h"

#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/Version.h"
#include "ui/qt/DialogUnits.h"
#include "ui/qt/MainWindow.h"

const char* const kAboutTitle = "关于Terno 修复工具";

namespace {

QLabel* AddText(QWidget* parent, const QString& text, const QRect& geometry, const char* name) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);  // ampersands are shown as they are
  label->setGeometry(geometry);
  return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent, const QIcon& icon)
    : QDialog(parent, BoxWindowFlags()) {
  setFont(DialogFont());
  DialogUnits units = DialogUnits::FromFont(QFontMetrics(font()));
  setWindowTitle(QString::fromUtf8(kAboutTitle));
  setFixedSize(units.ToPixelsX(247), units.ToPixelsY(60));

  QRect iconRect = units.ToPixels(14, 14, 20, 20);
  int side = std::min(iconRect.width(), iconRect.height());
  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("icon"));
  picture->setGeometry(iconRect.x(), iconRect.y(), side, side);
  picture->setPixmap(icon.pixmap(side, side));

  AddText(this, QStringLiteral("Brickfix"), units.ToPixels(42, 14, 114, 8), "name");
  AddText(this, QStringLiteral("版本 ") + QStringLiteral(BRICKFIX_VERSION),
          units.ToPixels(42, 25, 197, 8), "version");

  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(units.ToPixels(190, 39, 50, 14));
  ok->setDefault(true);
  ok->setFocus();
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
