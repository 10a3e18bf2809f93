// The desktop window driven like an operator would: keys into the real
// window, the real dialog behind it, fakes for everything outside.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/BrickfixDlg.h"
#include "app/Log.h"
#include "app/Version.h"
#include "qt/QtHarness.h"
#include "ui/qt/AboutBox.h"
#include "ui/qt/MainWindow.h"

namespace {

const char* const kModelMenu =
    "请选择机型：\n"
    "1. Terno Lark（RX2001）\n"
    "2. Terno Wren（RX2002）\n"
    "3. Terno Finch（RX2003）\n"
    "4. Terno Kite（RX2004）\n"
    "5. 通用（recovery.bin）\n";

CAboutDlg* OpenAboutBox() { return dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget()); }

TEST(QtWindowTest, FirstScreenShowsTitleMenuAndAnEmptyFocusedAnswerBox) {
  QtWindowHarness h;
  int status = h.Run([](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return h.window()->windowTitle() == QString::fromUtf8(kWindowTitle); }));
    h.Ui([&] {
      CMainWindow* w = h.window();
      EXPECT_EQ(h.LogText(), kModelMenu);
      EXPECT_TRUE(w->input()->text().isEmpty());
      EXPECT_EQ(w->focusWidget(), w->input());
      EXPECT_TRUE(w->isVisible());
      EXPECT_FALSE(w->windowIcon().isNull());

      // Laid out in dialog units, fixed size, no minimise or maximise box.
      const DialogUnits& u = w->units();
      EXPECT_EQ(w->size(), QSize(u.ToPixelsX(319), u.ToPixelsY(175)));
      EXPECT_EQ(w->minimumSize(), w->maximumSize());
      EXPECT_EQ(w->log()->geometry(), u.ToPixels(7, 7, 305, 129));
      EXPECT_EQ(w->input()->geometry(), u.ToPixels(7, 154, 305, 14));
      EXPECT_FALSE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
      EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
      EXPECT_TRUE(w->windowFlags() & Qt::WindowCloseButtonHint);

      // Both controls green on black, at a 16-pixel cell height; the log
      // does not wrap and is not a tab stop.
      for (QWidget* control : {static_cast<QWidget*>(w->log()), static_cast<QWidget*>(w->input())}) {
        EXPECT_EQ(control->palette().color(QPalette::Text), QColor(0, 255, 0));
        EXPECT_EQ(control->palette().color(QPalette::Base), QColor(0, 0, 0));
        EXPECT_LE(QFontMetrics(control->font()).height(), 16);
        EXPECT_GE(QFontMetrics(control->font()).height(), 13);
      }
      EXPECT_EQ(w->log()->lineWrapMode(), QPlainTextEdit::NoWrap);
      EXPECT_TRUE(w->log()->isReadOnly());
      EXPECT_EQ(w->log()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
      EXPECT_FALSE(w->log()->focusPolicy() & Qt::TabFocus);
      EXPECT_FALSE(w->notice()->isVisible());
    });
  });
  EXPECT_EQ(status, 0);
}

TEST(QtWindowTest, AnswersTypedAndEnteredMoveTheWizardOn) {
  QtWindowHarness h;
  h.firmware.queryCode = 0;
  h.firmware.latest.version = "2.0";
  h.firmware.storedName = "RX2002-1.0";
  h.Run([](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    h.Post([&] { h.TypeAnswer("2"); });
    ASSERT_TRUE(h.WaitFor([&] { return h.LogText().find("是否联网下载最新固件：") != std::string::npos; }));
    h.Ui([&] {
      EXPECT_EQ(h.LogText(),
                "本地固件：RX2002-1.0\n最新固件：RX2002-2.0\n是否联网下载最新固件：\n1. 是\n2. 否\n");
      EXPECT_TRUE(h.window()->input()->text().isEmpty());
    });
    h.Post([&] { h.TypeAnswer("2"); });  // keep the stored firmware
    ASSERT_TRUE(h.WaitFor([&] { return h.LogText().empty(); }));
    // The window stays open after every answer.
    h.Ui([&] { EXPECT_TRUE(h.window()->isVisible()); });
  });
  EXPECT_EQ(h.dlg->m_strModel, "RX2002");
  EXPECT_EQ(h.firmware.localRuns, 1);
  EXPECT_EQ(h.firmware.downloadRuns, 0);
}

TEST(QtWindowTest, RefusedAnswersShowABoxAndLeaveTheAnswerSelected) {
  QtWindowHarness h;
  h.Run([](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    struct Case {
      const char* answer;
      const char* message;
    } cases[] = {
        {"9", "非法机型，请重新输入！"},
        {"abc", "输入不是整数，请重新输入！"},
        {"", "非法机型，请重新输入！"},  // Enter on an empty box answers, never closes
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.answer);
      h.Post([&h, answer = c.answer] { h.TypeAnswer(answer); });
      EXPECT_EQ(h.WaitForMessageBox(), c.message);
      h.Ui([&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().first()->text(), QStringLiteral("确定"));
        EXPECT_TRUE(box->isModal());
      });
      h.Ui(&QtWindowHarness::ConfirmMessageBox);
      // Once the box is gone the answer is selected, to be typed over.
      EXPECT_TRUE(h.WaitFor([&] {
        QLineEdit* input = h.window()->input();
        return QApplication::activeModalWidget() == h.window() &&
               input->selectedText() == input->text() && h.window()->focusWidget() == input;
      }));
      h.Ui([&] {
        EXPECT_EQ(h.window()->input()->text().toStdString(), c.answer);
        EXPECT_EQ(h.LogText(), kModelMenu);
      });
    }
    // The next keystroke replaces the refused answer.
    h.Ui([&] {
      QTest::keyClicks(h.window()->input(), "4");
      EXPECT_EQ(h.window()->input()->text(), QStringLiteral("4"));
    });
  });
}

TEST(QtWindowTest, EnterAnswersWhereverTheFocusIs) {
  QtWindowHarness h;
  h.Run([](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    h.Post([&] {
      h.window()->log()->setFocus();
      QTest::keyClick(h.window()->log(), Qt::Key_Return);
    });
    EXPECT_EQ(h.WaitForMessageBox(), "非法机型，请重新输入！");
    h.Ui(&QtWindowHarness::ConfirmMessageBox);
    EXPECT_TRUE(h.WaitFor([&] {
      return QApplication::activeModalWidget() == h.window() &&
             h.window()->focusWidget() == h.window()->input();
    }));
  });
}

TEST(QtWindowTest, NoticeSetBeforeTheRunIsShown) {
  QtWindowHarness h;
  h.frontend.SetNotice("需要 root 权限\x01");
  h.Run([](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    h.Ui([&] {
      EXPECT_TRUE(h.window()->notice()->isVisible());
      EXPECT_EQ(h.window()->notice()->text(), QStringLiteral("需要 root 权限\uFFFD"));
    });
  });
}

TEST(QtWindowTest, AboutBoxOpensFromAltAAndTheContextMenu) {
  QtWindowHarness h;
  int status = h.Run([](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    h.Post([&] { QTest::keyClick(h.window()->input(), Qt::Key_A, Qt::AltModifier); });
    ASSERT_TRUE(h.WaitFor([] { return OpenAboutBox() != nullptr; }));
    h.Ui([&] {
      CAboutDlg* about = OpenAboutBox();
      EXPECT_EQ(about->windowTitle(), QString::fromUtf8(kAboutTitle));
      DialogUnits u = DialogUnits::FromFont(QFontMetrics(about->font()));
      EXPECT_EQ(about->size(), QSize(u.ToPixelsX(247), u.ToPixelsY(60)));
      EXPECT_EQ(about->findChild<QLabel*>("name")->text(), QStringLiteral("Brickfix"));
      EXPECT_TRUE(about->findChild<QLabel*>("version")->text().contains(BRICKFIX_VERSION));
      EXPECT_FALSE(about->findChild<QLabel*>("icon")->pixmap().isNull());
      auto* ok = about->findChild<QPushButton*>("ok");
      EXPECT_EQ(ok->text(), QStringLiteral("确定"));
      EXPECT_TRUE(ok->isDefault());
      ok->click();
    });
    ASSERT_TRUE(h.WaitFor([&] { return QApplication::activeModalWidget() == h.window(); }));

    // Each context menu ends with a separator and the About entry.
    h.Post([&] {
      CMainWindow* w = h.window();
      for (QWidget* source : {static_cast<QWidget*>(w), static_cast<QWidget*>(w->log()),
                              static_cast<QWidget*>(w->input())}) {
        std::unique_ptr<QMenu> menu(w->CreateContextMenu(source, QPoint(5, 5)));
        QList<QAction*> actions = menu->actions();
        ASSERT_GE(actions.size(), 2);
        EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
        EXPECT_EQ(actions.last()->text(), QString::fromUtf8(kAboutMenuText));
        if (source == w->log()) actions.last()->trigger();
      }
    });
    ASSERT_TRUE(h.WaitFor([] { return OpenAboutBox() != nullptr; }));
    h.Ui([] { QTest::keyClick(OpenAboutBox(), Qt::Key_Escape); });
    ASSERT_TRUE(h.WaitFor([&] { return QApplication::activeModalWidget() == h.window(); }));
    h.Ui([&] { EXPECT_TRUE(h.window()->isVisible()); });
  });
  EXPECT_EQ(status, 0);
}

TEST(QtWindowTest, EscapeAndTheCloseBoxEndTheRun) {
  for (bool closeBox : {false, true}) {
    SCOPED_TRACE(closeBox ? "close box" : "Escape");
    QtWindowHarness h;
    std::atomic<bool> closedByOperator{false};
    int status = h.Run([&](QtWindowHarness& h) {
      ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
      h.Post([&h, closeBox] {
        if (closeBox) h.window()->close();
        else QTest::keyClick(h.window()->input(), Qt::Key_Escape);
      });
      // The window goes away without the harness closing it.
      while (h.Ui([] {})) std::this_thread::yield();
      closedByOperator = true;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(closedByOperator);
    EXPECT_EQ(h.frontend.window(), nullptr);
  }
}

TEST(QtWindowTest, EscapeEndsTheRunWhileAWorkerIsBusy) {
  QtWindowHarness h;
  h.firmware.queryCode = 0;
  h.firmware.latest.version = "1.0";
  h.firmware.storedName = "RX2001-1.0";
  std::atomic<bool> release{false};
  h.firmware.onLocal = [&](CBrickfixDlg* dlg) {
    dlg->PrintInline("#");
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    dlg->Print("done");  // after the window closed: returns at once
  };
  int status = h.Run([&](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    h.Post([&] { h.TypeAnswer("1"); });
    ASSERT_TRUE(h.WaitFor([&] { return h.LogText().ends_with("#"); }));
    h.Post([&] { QTest::keyClick(h.window()->input(), Qt::Key_Escape); });
    while (h.Ui([] {})) std::this_thread::yield();
    release = true;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(h.dlg->m_bBusy.load(), 1);
}

TEST(QtWindowTest, WorkersAppendWhileAMessageBoxIsOpen) {
  QtWindowHarness h;
  std::atomic<bool> confirmed{false};
  std::atomic<bool> returnedAfterConfirm{false};
  h.Run([&](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    CBrickfixDlg* dlg = h.dlg.get();
    // One worker raises a box and waits for the operator ...
    h.platform.BeginThread([&, dlg] {
      dlg->MessageBox("<b>固件下载失败</b>");
      returnedAfterConfirm = confirmed.load();
    });
    EXPECT_EQ(h.WaitForMessageBox(), "<b>固件下载失败</b>");
    h.Ui([] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      EXPECT_EQ(box->textFormat(), Qt::PlainText);  // shown as it is, not as markup
    });
    // ... while others keep appending; each append is in the log on return.
    std::atomic<int> done{0};
    for (int t = 0; t < 2; ++t) {
      h.platform.BeginThread([&, dlg, t] {
        for (int i = 0; i < 50; ++i) {
          if (t == 0) dlg->Print("worker line %d", i);
          else LogPrint("%s", "100%d");
        }
        ++done;
      });
    }
    ASSERT_TRUE(h.WaitFor([&] { return done == 2; }));
    h.Ui([&] {
      std::string log = h.LogText();
      EXPECT_NE(log.find("worker line 49\n"), std::string::npos);
      EXPECT_NE(log.find("100%d\n"), std::string::npos);
      EXPECT_NE(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()), nullptr);
      EXPECT_FALSE(returnedAfterConfirm);
    });
    confirmed = true;
    h.Ui(&QtWindowHarness::ConfirmMessageBox);
    h.platform.JoinAll();
  });
  EXPECT_TRUE(returnedAfterConfirm);
}

TEST(QtWindowTest, MessageBoxesFromTwoWorkersStackAndBothWait) {
  QtWindowHarness h;
  std::atomic<int> returned{0};
  h.Run([&](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    CBrickfixDlg* dlg = h.dlg.get();
    h.platform.BeginThread([&, dlg] {
      dlg->MessageBox("first");
      ++returned;
    });
    EXPECT_EQ(h.WaitForMessageBox(), "first");
    h.platform.BeginThread([&, dlg] {
      dlg->MessageBox("second");
      ++returned;
    });
    // The second box opens on top of the first, from inside its event loop.
    EXPECT_TRUE(h.WaitFor([] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      return box && box->text() == QStringLiteral("second");
    }));
    EXPECT_EQ(returned, 0);
    h.Ui(&QtWindowHarness::ConfirmMessageBox);
    EXPECT_EQ(h.WaitForMessageBox(), "first");
    h.Ui(&QtWindowHarness::ConfirmMessageBox);
    EXPECT_TRUE(h.WaitFor([&] { return returned == 2; }));
    h.Ui([&] { EXPECT_EQ(QApplication::activeModalWidget(), h.window()); });
  });
  EXPECT_EQ(returned, 2);
}

TEST(QtWindowTest, ClosingWhileWorkersAppendDoesNotHang) {
  QtWindowHarness h;
  std::atomic<int> finished{0};
  int status = h.Run([&](QtWindowHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return !h.LogText().empty(); }));
    CBrickfixDlg* dlg = h.dlg.get();
    for (int t = 0; t < 3; ++t) {
      // Appends until the window has gone, so some are under way at the close.
      h.platform.BeginThread([&, dlg] {
        for (int i = 0; !h.bridge.IsClosed(); ++i) {
          if (i % 2) dlg->PrintInline("#");
          else LogPrint("line %d", i);
        }
        ++finished;
      });
    }
    ASSERT_TRUE(h.WaitFor([&] { return h.LogText().find("line 20") != std::string::npos; }));
    h.Post([&] { QTest::keyClick(h.window()->input(), Qt::Key_Escape); });
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(finished, 3);  // every worker got through its appends after the close
}

}  // namespace
