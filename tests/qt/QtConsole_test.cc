// The pieces of the desktop window that need no event loop: the log's append
// rules, dialog units, fonts and the frontend's start-up checks.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <cstdlib>
#include <memory>
#include <string>

#include "console/ColorEdit.h"
#include "console/ConsoleView.h"
#include "qt/QtHarness.h"
#include "ui/qt/DialogUnits.h"
#include "ui/qt/Fonts.h"
#include "ui/qt/MainWindow.h"
#include "ui/qt/QtFrontend.h"

namespace {

class QtLogTest : public ::testing::Test {
 protected:
  QtLogTest() {
    EnsureQtApplication();
    window = std::make_unique<CMainWindow>(FrontendCallbacks{}, QIcon());
  }
  std::string Log() const { return window->log()->toPlainText().toStdString(); }

  std::unique_ptr<CMainWindow> window;
};

TEST(QtLogPiecesTest, SplitsAtLineEndsAndKeepsTheTextSafe) {
  struct Case {
    std::string text;
    QStringList pieces;
  } cases[] = {
      {"", {""}},
      {"abc", {"abc"}},
      {"\r\n", {"", ""}},
      {"a\r\nb\r\n", {"a", "b", ""}},
      {"a\nb", {"a", "b"}},
      {"a\rb", {"ab"}},                      // a lone CR is dropped
      {"tab\there", {"tab\uFFFDhere"}},      // control characters are replaced
      {"bad\xFF\xFEutf8", {"bad\uFFFD\uFFFDutf8"}},
      {"上电初始化中", {"上电初始化中"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(LogPieces(c.text), c.pieces);
  }
}

TEST_F(QtLogTest, InlineMarksContinueTheLineAndPrintEndsIt) {
  window->AppendLog("请选择：\r\n");
  for (int i = 0; i < 5; ++i) window->AppendLog(".");
  window->AppendLog("上电初始化中\r\n");
  window->AppendLog("\r\n");  // an empty line
  window->AppendLog("#");
  window->AppendLog("\r");    // a line end split over two appends
  window->AppendLog("\nnext");
  EXPECT_EQ(Log(), "请选择：\n.....上电初始化中\n\n#\nnext");
}

TEST_F(QtLogTest, ClearLeavesOnlyWhatFollows) {
  window->ClearLog();
  EXPECT_EQ(Log(), "");
  window->AppendLog("old\r\nlines\r\n");
  window->ClearLog();
  window->AppendLog("only\r\n");
  EXPECT_EQ(Log(), "only\n");
}

TEST_F(QtLogTest, AppendGoesToTheEndWhateverTheOperatorSelected) {
  window->show();
  for (int i = 0; i < 200; ++i) window->AppendLog("line " + std::to_string(i) + "\r\n");
  QTextCursor selection(window->log()->document());
  selection.setPosition(10);
  selection.setPosition(40, QTextCursor::KeepAnchor);
  window->log()->setTextCursor(selection);
  window->log()->verticalScrollBar()->setValue(0);

  window->AppendLog("last");
  EXPECT_TRUE(Log().ends_with("line 199\nlast"));
  EXPECT_NE(Log().find("line 1\nline 2"), std::string::npos);  // the selection stayed in place
  QTextCursor caret = window->log()->textCursor();
  EXPECT_FALSE(caret.hasSelection());
  EXPECT_TRUE(caret.atEnd());
  EXPECT_GT(window->log()->verticalScrollBar()->value(), 150);
  EXPECT_TRUE(window->log()->viewport()->rect().contains(window->log()->cursorRect()));
}

TEST_F(QtLogTest, KeepsTheNewestTenThousandLines) {
  for (int i = 0; i < 10050; ++i) window->AppendLog("line " + std::to_string(i) + "\r\n");
  EXPECT_EQ(window->log()->document()->blockCount(), 10000);
  EXPECT_TRUE(Log().ends_with("line 10049\n"));
}

TEST_F(QtLogTest, InputSelectionAndClearing) {
  window->input()->setText("12");
  window->SelectInput();
  EXPECT_EQ(window->input()->selectedText(), QStringLiteral("12"));
  EXPECT_EQ(window->focusWidget(), window->input());
  window->ClearInput();
  EXPECT_TRUE(window->input()->text().isEmpty());
  EXPECT_EQ(window->focusWidget(), window->input());
}

TEST_F(QtLogTest, NoticeShowsBetweenLogAndAnswerBox) {
  window->show();
  window->SetNotice(QStringLiteral("需要 root 权限"));
  EXPECT_TRUE(window->notice()->isVisible());
  EXPECT_GE(window->notice()->y(), window->log()->geometry().bottom());
  EXPECT_LE(window->notice()->geometry().bottom(), window->input()->y());
  window->SetNotice(QString());
  EXPECT_FALSE(window->notice()->isVisible());
}

TEST_F(QtLogTest, StylesApplyToTheirControlOnly) {
  CColorEdit style;
  style.SetFaceName("宋体");
  style.SetTextColor(RGB(1, 2, 3));
  style.SetBackColor(RGB(4, 5, 6));
  QColor inputText = window->input()->palette().color(QPalette::Text);
  window->ApplyStyle(IDC_LOG, style);
  window->ApplyStyle(4711, style);  // no such control: ignored
  EXPECT_EQ(window->log()->palette().color(QPalette::Text), QColor(1, 2, 3));
  EXPECT_EQ(window->log()->palette().color(QPalette::Base), QColor(4, 5, 6));
  EXPECT_EQ(window->input()->palette().color(QPalette::Text), inputText);
}

TEST(QtDialogUnitsTest, MapsUnitsWithRounding) {
  struct Case {
    int a, b, c, expected;
  } cases[] = {
      {319, 6, 4, 479},   // 478.5 rounds up
      {175, 13, 8, 284},  // 284.375 rounds down
      {7, 7, 4, 12},      // 12.25
      {0, 9, 4, 0},
      {-6, 5, 4, -8},     // -7.5 rounds away from zero
      {5, 5, 0, 0},       // no divisor
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MulDivRound(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
  }
  DialogUnits units(6, 13);
  EXPECT_EQ(units.ToPixels(7, 154, 305, 14), QRect(11, 250, 458, 23));
}

TEST(QtDialogUnitsTest, BaseUnitsComeFromTheFont) {
  EnsureQtApplication();
  QFont font = DialogFont();
  QFontMetrics metrics(font);
  DialogUnits units = DialogUnits::FromFont(metrics);
  int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  EXPECT_NEAR(units.baseWidth(), letters / 52.0, 1.0);
  EXPECT_EQ(units.baseHeight(), metrics.height());
  // A larger font makes a larger window.
  font.setPointSize(18);
  EXPECT_GT(DialogUnits::FromFont(QFontMetrics(font)).ToPixelsX(319), units.ToPixelsX(319));
}

TEST(QtFontTest, ChoosesTheRequestedFaceOrAnInstalledCjkFace) {
  struct Case {
    const char* name;
    QStringList installed, chinese;
    QString expected;
  } cases[] = {
      {"requested installed", {"DejaVu Sans", "宋体"}, {"宋体"}, "宋体"},
      {"case differs", {"simsun"}, {}, "simsun"},
      {"fixed-width first", {"WenQuanYi Zen Hei", "WenQuanYi Zen Hei Mono"}, {}, "WenQuanYi Zen Hei Mono"},
      {"noto", {"DejaVu Sans", "Noto Sans CJK SC"}, {"Noto Sans CJK SC"}, "Noto Sans CJK SC"},
      {"any chinese face", {"DejaVu Sans", "Some Kai"}, {"Some Kai"}, "Some Kai"},
      {"nothing", {"DejaVu Sans"}, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChooseFace(QStringLiteral("宋体"), c.installed, c.chinese), c.expected);
  }
}

TEST(QtFontTest, KeepsTheCellHeight) {
  EnsureQtApplication();
  CColorEdit style;
  style.SetFaceName("宋体");
  QFont font = FontForStyle(style);
  EXPECT_LE(QFontMetrics(font).height(), 16);
  QFont larger = font;
  larger.setPixelSize(font.pixelSize() + 1);
  EXPECT_GT(QFontMetrics(larger).height(), 16);  // the largest size that fits
  EXPECT_EQ(font.weight(), QFont::Normal);
  if (!QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty()) {
    EXPECT_TRUE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).contains(font.family()))
        << font.family().toStdString();
  }
  EXPECT_EQ(PixelSizeForCell(font, 0), 1);
}

TEST(QtFrontendTest, SaysPlainlyWhenThereIsNoDisplay) {
  const char* names[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
  std::string saved[3];
  bool had[3];
  for (int i = 0; i < 3; ++i) {
    const char* value = std::getenv(names[i]);
    had[i] = value != nullptr;
    if (value) saved[i] = value;
    unsetenv(names[i]);
  }
  std::string error;
  std::unique_ptr<IFrontend> frontend(CreateQtFrontend(error));
  EXPECT_EQ(frontend, nullptr);
  EXPECT_NE(error.find("DISPLAY"), std::string::npos);

  setenv("DISPLAY", ":99", 1);
  error.clear();
  frontend.reset(CreateQtFrontend(error));
  EXPECT_NE(frontend, nullptr);
  EXPECT_TRUE(error.empty());

  for (int i = 0; i < 3; ++i) {
    if (had[i]) setenv(names[i], saved[i].c_str(), 1);
    else unsetenv(names[i]);
  }
}

TEST(QtFrontendTest, ViewCallsOutsideTheRunDoNothing) {
  std::string error;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::unique_ptr<IFrontend> frontend(CreateQtFrontend(error));
  ASSERT_NE(frontend, nullptr);
  frontend->AppendLog("text\r\n");
  frontend->MessageBox("returns at once");
  frontend->ShowAbout();
  EXPECT_EQ(frontend->GetInputText(), "");
  frontend->Shutdown();
  frontend->Shutdown();
}

}  // namespace
