// The main dialog window: the log (control 1000) above, the answer box
// (control 1001) below, laid out in dialog units of the dialog font.
#pragma once

#include <QDialog>
#include <QStringList>
#include <string_view>

#include "console/Frontend.h"
#include "ui/qt/DialogUnits.h"

class CColorEdit;
class QIcon;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;

// The pieces of an appended text between its line ends ("\r\n" or "\n"; a
// lone "\r" is dropped), each made safe to display. One piece more than
// there are line ends.
QStringList LogPieces(std::string_view text);

// The dialog font: the desktop's font at 9 points.
QFont DialogFont();
// Window decorations of the About box and message boxes: a title bar with a
// close box only.
Qt::WindowFlags BoxWindowFlags();

class CMainWindow : public QDialog {
 public:
  CMainWindow(const FrontendCallbacks& callbacks, const QIcon& icon);

  void AppendLog(std::string_view text);
  void ClearLog();
  void SelectInput();
  void ClearInput();
  QString InputText() const;
  void ApplyStyle(int controlId, const CColorEdit& style);
  // A one-line strip between the log and the answer box: the current
  // diagnosis (the status), then the notice; hidden when both are empty.
  void SetNotice(const QString& notice);
  void SetStatus(const QString& status);

  // The context menu of `source` (the window, the log or the answer box): its
  // standard entries, then a separator and the About entry.
  QMenu* CreateContextMenu(QWidget* source, const QPoint& localPos);

  QPlainTextEdit* log() const { return m_log; }
  QLineEdit* input() const { return m_input; }
  QLabel* notice() const { return m_notice; }
  const DialogUnits& units() const { return m_units; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ShowContextMenu(QWidget* source, const QPoint& localPos);
  void ShowStrip();
  void OpenAbout();

  FrontendCallbacks m_callbacks;
  DialogUnits m_units;
  QPlainTextEdit* m_log;
  QLineEdit* m_input;
  QLabel* m_notice;
  QString m_noticeText;
  QString m_statusText;
};
