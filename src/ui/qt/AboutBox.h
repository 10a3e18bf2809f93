// The About box: the program icon, "Brickfix", the version line and "确定".
#pragma once

#include <QDialog>

class QIcon;

// Title of the About box.
extern const char* const kAboutTitle;  // "关于Terno 修复工具"

class CAboutDlg : public QDialog {
 public:
  CAboutDlg(QWidget* parent, const QIcon& icon);
};
