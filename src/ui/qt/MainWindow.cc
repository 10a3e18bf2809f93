#include "ui/qt/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTextCursor>
#include <memory>

#include "app/BrickfixDlg.h"
#include "console/ColorEdit.h"
#include "console/LogBuffer.h"
#include "console/Text.h"
#include "ui/qt/Fonts.h"

QStringList LogPieces(std::string_view text) {
  QStringList pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    std::string_view piece = text.substr(start, end == std::string_view::npos ? end : end - start);
    std::string kept;
    kept.reserve(piece.size());
    for (char c : piece) {
      if (c != '\r') kept += c;
    }
    pieces.append(QString::fromStdString(SanitizeForDisplay(kept)));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

QFont DialogFont() {
  QFont font = QApplication::font();
  font.setPointSize(9);
  return font;
}

Qt::WindowFlags BoxWindowFlags() {
  return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
         Qt::WindowCloseButtonHint;
}

namespace {

QColor ToQColor(COLORREF colour) {
  return QColor(GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

// Window decorations of the dialog: title bar with the window menu and a close
// box, no minimise or maximise box.
constexpr Qt::WindowFlags kWindowFlags = Qt::Window | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowCloseButtonHint;

}  // namespace

CMainWindow::CMainWindow(const FrontendCallbacks& callbacks, const QIcon& icon)
    : QDialog(nullptr, kWindowFlags),
      m_callbacks(callbacks),
      m_units(DialogUnits::FromFont(QFontMetrics(DialogFont()))),
      m_log(new QPlainTextEdit(this)),
      m_input(new QLineEdit(this)),
      m_notice(new QLabel(this)) {
  setFont(DialogFont());
  setWindowTitle(QStringLiteral("Brickfix"));
  setWindowIcon(icon);
  setFixedSize(m_units.ToPixelsX(319), m_units.ToPixelsY(175));

  m_log->setObjectName(QStringLiteral("log"));
  m_log->setGeometry(m_units.ToPixels(7, 7, 305, 129));
  m_log->setReadOnly(true);
  m_log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_log->setMaximumBlockCount(static_cast<int>(LogBuffer::kDefaultMaxLines));
  m_log->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  m_log->setUndoRedoEnabled(false);

  m_notice->setObjectName(QStringLiteral("notice"));
  m_notice->setGeometry(m_units.ToPixels(7, 139, 305, 12));
  m_notice->setTextFormat(Qt::PlainText);
  m_notice->hide();

  m_input->setObjectName(QStringLiteral("input"));
  m_input->setGeometry(m_units.ToPixels(7, 154, 305, 14));
  m_input->setFocus();

  for (QWidget* control : {static_cast<QWidget*>(m_log), static_cast<QWidget*>(m_input)}) {
    control->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(control, &QWidget::customContextMenuRequested, this,
            [this, control](const QPoint& pos) { ShowContextMenu(control, pos); });
  }
  auto* about = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_A), this);
  connect(about, &QShortcut::activated, this, [this] { OpenAbout(); });
}

void CMainWindow::AppendLog(std::string_view text) {
  QStringList pieces = LogPieces(text);
  QTextCursor cursor(m_log->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(pieces.first());
  for (qsizetype i = 1; i < pieces.size(); ++i) {
    cursor.insertBlock();
    cursor.insertText(pieces[i]);
  }
  // The caret goes after the new text, whatever the operator had selected,
  // and the view follows it.
  m_log->setTextCursor(cursor);
  m_log->ensureCursorVisible();
}

void CMainWindow::ClearLog() { m_log->clear(); }

void CMainWindow::SelectInput() {
  m_input->setFocus(Qt::OtherFocusReason);
  m_input->selectAll();
}

void CMainWindow::ClearInput() {
  m_input->setFocus(Qt::OtherFocusReason);
  m_input->clear();
}

QString CMainWindow::InputText() const { return m_input->text(); }

void CMainWindow::ApplyStyle(int controlId, const CColorEdit& style) {
  QWidget* control = controlId == IDC_LOG ? static_cast<QWidget*>(m_log)
                     : controlId == IDC_INPUT ? static_cast<QWidget*>(m_input)
                                              : nullptr;
  if (!control) return;
  control->setFont(FontForStyle(style));
  QPalette palette = control->palette();
  palette.setColor(QPalette::Base, ToQColor(style.m_crBack));
  palette.setColor(QPalette::Window, ToQColor(style.m_crBack));
  palette.setColor(QPalette::Text, ToQColor(style.m_crText));
  palette.setColor(QPalette::PlaceholderText, ToQColor(style.m_crText));
  control->setPalette(palette);
}

void CMainWindow::SetNotice(const QString& notice) {
  m_noticeText = notice;
  ShowStrip();
}

void CMainWindow::SetStatus(const QString& status) {
  m_statusText = status;
  ShowStrip();
}

void CMainWindow::ShowStrip() {
  QString text = m_statusText;
  if (!m_noticeText.isEmpty()) text += (text.isEmpty() ? QString() : QStringLiteral("  ")) + m_noticeText;
  m_notice->setText(text);
  m_notice->setToolTip(text);
  m_notice->setVisible(!text.isEmpty());
}

QMenu* CMainWindow::CreateContextMenu(QWidget* source, const QPoint& localPos) {
  QMenu* menu = nullptr;
  if (source == m_log) {
    menu = m_log->createStandardContextMenu(localPos);
  } else if (source == m_input) {
    menu = m_input->createStandardContextMenu();
  } else {
    menu = new QMenu(this);
  }
  menu->addSeparator();
  QAction* about = menu->addAction(QString::fromUtf8(kAboutMenuText));
  about->setObjectName(QStringLiteral("about"));
  connect(about, &QAction::triggered, this, [this] { OpenAbout(); }, Qt::QueuedConnection);
  return menu;
}

void CMainWindow::ShowContextMenu(QWidget* source, const QPoint& localPos) {
  std::unique_ptr<QMenu> menu(CreateContextMenu(source, localPos));
  menu->exec(source->mapToGlobal(localPos));
}

void CMainWindow::contextMenuEvent(QContextMenuEvent* event) {
  ShowContextMenu(this, event->pos());
}

void CMainWindow::OpenAbout() {
  if (m_callbacks.onSysCommand) m_callbacks.onSysCommand(IDM_ABOUTBOX);
}

void CMainWindow::keyPressEvent(QKeyEvent* event) {
  // Enter is the OK command: it answers and never closes the window. Escape
  // (the cancel command) is left to the dialog, which closes.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    if (m_callbacks.onEnter) m_callbacks.onEnter();
    return;
  }
  QDialog::keyPressEvent(event);
}
