#include "qt/QtHarness.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "ui/qt/MainWindow.h"

void EnsureQtApplication() {
  if (QApplication::instance()) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char arg0[] = "brickfix_tests";
  static char* argv[] = {arg0, nullptr};
  // Kept until the process ends: Qt does not like a second application.
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
}

QtWindowHarness::QtWindowHarness() {
  EnsureQtApplication();
  dlg = std::make_unique<CBrickfixDlg>(
      MakeServices(frontend, bridge, platform, firmware, net, tftp));
}

QtWindowHarness::~QtWindowHarness() { platform.JoinAll(); }

int QtWindowHarness::Run(const std::function<void(QtWindowHarness&)>& script) {
  // The driver's calls must wait for the window's thread, even those it makes
  // before the window is up.
  bridge.AttachUiThread();
  std::thread driver([this, &script] {
    script(*this);
    CloseEverything();
  });
  FrontendCallbacks callbacks;
  CBrickfixDlg* dialog = dlg.get();
  callbacks.onInit = [dialog] { dialog->OnInitDialog(); };
  callbacks.onEnter = [dialog] { dialog->OnInputEnter(); };
  callbacks.onSysCommand = [dialog](unsigned id) { dialog->OnSysCommand(id, 0); };
  int status = frontend.Run(bridge, callbacks);
  driver.join();
  platform.JoinAll();
  return status;
}

bool QtWindowHarness::Ui(const std::function<void()>& fn) { return bridge.Invoke(fn); }

bool QtWindowHarness::Post(std::function<void()> fn) {
  return Ui([fn = std::move(fn)] { QTimer::singleShot(0, qApp, fn); });
}

bool QtWindowHarness::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool holds = false;
    if (!Ui([&] { holds = pred(); })) return false;
    if (holds) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string QtWindowHarness::WaitForMessageBox() {
  std::string text;
  WaitFor([&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box) text = box->text().toStdString();
    return box != nullptr;
  });
  return text;
}

void QtWindowHarness::ConfirmMessageBox() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box && box->buttons().size() == 1) box->buttons().first()->click();
}

void QtWindowHarness::TypeAnswer(const std::string& text) {
  QLineEdit* input = window()->input();
  input->clear();
  QTest::keyClicks(input, QString::fromStdString(text));
  QTest::keyClick(input, Qt::Key_Return);
}

std::string QtWindowHarness::LogText() const {
  return window()->log()->toPlainText().toStdString();
}

void QtWindowHarness::CloseEverything() {
  // Close the topmost modal box first; the main window closes last.
  for (int round = 0; round < 100; ++round) {
    bool open = Ui([this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal && modal != window()) modal->close();
      else if (window()) window()->reject();
    });
    if (!open) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
