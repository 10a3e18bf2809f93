#include "ui/qt/QtFrontend.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "console/Text.h"
#include "console/UiBridge.h"
#include "ui/qt/AboutBox.h"
#include "ui/qt/MainWindow.h"
#include "ui/qt/QtFrontendImpl.h"

const char* const kMessageBoxCaption = "Brickfix";

// Outside any namespace, as the resource initialiser requires.
static void InitIconResource() { Q_INIT_RESOURCE(brickfix); }

// Wakes the user-interface thread from any thread through an eventfd that the
// Qt event loop watches. Kept alive by every copy of the bridge's wake-up
// callback, so a worker that wakes just after the window closed writes to a
// descriptor that still exists; nobody reads it then, which does no harm.
class Waker {
 public:
  static std::shared_ptr<Waker> Create() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::shared_ptr<Waker>(new Waker(fd));
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  ~Waker() { close(m_fd); }

  int fd() const { return m_fd; }
  void Wake() const {
    std::uint64_t one = 1;
    // Fails only when the counter is full, and then a wake-up is pending.
    while (write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void Consume() const {
    std::uint64_t count;
    while (read(m_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }

 private:
  explicit Waker(int fd) : m_fd(fd) {}
  int m_fd;
};

namespace {

bool HasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

constexpr int kDiagnosticsLookMs = 500;

// Qt keeps a reference to argc and the argv array for the application's life.
int g_argc = 1;
char g_arg0[] = "brickfix";
char* g_argv[] = {g_arg0, nullptr};

}  // namespace

QIcon ProgramIcon() {
  InitIconResource();
  return QIcon(QStringLiteral(":/brickfix/brickfix-128.png"));
}

IFrontend* CreateQtFrontend(std::string& error) {
  if (!HasDisplay()) {
    error = "the desktop window needs a display, but neither DISPLAY nor WAYLAND_DISPLAY is set";
    return nullptr;
  }
  return new QtFrontend;
}

int QtFrontend::Run(UiBridge& bridge, const FrontendCallbacks& callbacks) {
  std::unique_ptr<QApplication> ownApp;
  if (!QCoreApplication::instance()) {
    ownApp = std::make_unique<QApplication>(g_argc, g_argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("brickfix"));
  }
  int status = qobject_cast<QApplication*>(QCoreApplication::instance())
                   ? RunWindow(bridge, callbacks)
                   : 1;
  // The window is gone: waiting workers go on, later calls return at once.
  bridge.Close();
  bridge.SetWakeup(nullptr);
  return status;
}

int QtFrontend::RunWindow(UiBridge& bridge, const FrontendCallbacks& callbacks) {
  std::shared_ptr<Waker> waker = Waker::Create();
  if (!waker) return 1;
  QIcon icon = ProgramIcon();
  QApplication::setWindowIcon(icon);

  CMainWindow window(callbacks, icon);
  window.SetNotice(m_notice);
  QSocketNotifier notifier(waker->fd(), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &window, [&bridge, waker] {
    waker->Consume();
    bridge.Drain();
  });
  bridge.SetWakeup([waker] { waker->Wake(); });
  bridge.AttachUiThread();

  m_waker = waker;
  m_window = &window;
  // Modal from the start: exec() below finds it already shown.
  window.setWindowModality(Qt::ApplicationModal);
  window.show();
  window.activateWindow();
  if (callbacks.onInit) callbacks.onInit();
  waker->Wake();  // serve any call that was queued before the wake-up was set
  // What libraries and commands write goes to the diagnostics file; the
  // notice line names it once something is there.
  QTimer diagnostics;
  if (m_diag) {
    m_diag->Capture(true);
    QObject::connect(&diagnostics, &QTimer::timeout, &window, [&] {
      if (!m_diag->Written()) return;
      diagnostics.stop();
      QString path = QString::fromStdString(SanitizeForDisplay(m_diag->Path()));
      window.SetNotice((m_notice.isEmpty() ? QString() : m_notice + QStringLiteral("  ")) +
                       QStringLiteral("诊断信息 diagnostics: ") + path);
    });
    diagnostics.start(kDiagnosticsLookMs);
  }
  window.exec();
  if (m_diag) m_diag->Release();
  m_window = nullptr;
  m_waker.reset();
  return 0;
}

void QtFrontend::RunModal(QDialog& dialog) {
  // This call may itself be one that a drain runs, and the drain's wake-up
  // may have stood for calls still queued behind it: wake again, so that the
  // dialog's own event loop serves them instead of leaving them waiting
  // until it closes.
  if (m_waker) m_waker->Wake();
  dialog.exec();
}

void QtFrontend::SetNotice(const std::string& notice) {
  m_notice = QString::fromStdString(SanitizeForDisplay(notice));
  if (m_window) m_window->SetNotice(m_notice);
}

void QtFrontend::SetStatus(const std::string& text) {
  if (m_window) m_window->SetStatus(QString::fromStdString(SanitizeForDisplay(text)));
}

void QtFrontend::AppendLog(std::string_view text) {
  if (m_window) m_window->AppendLog(text);
}

void QtFrontend::ClearLog() {
  if (m_window) m_window->ClearLog();
}

void QtFrontend::SelectInput() {
  if (m_window) m_window->SelectInput();
}

void QtFrontend::ClearInput() {
  if (m_window) m_window->ClearInput();
}

std::string QtFrontend::GetInputText() {
  return m_window ? m_window->InputText().toStdString() : std::string();
}

void QtFrontend::MessageBox(const std::string& text) {
  if (!m_window) return;
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kMessageBoxCaption),
                  QString::fromStdString(text), QMessageBox::NoButton, m_window);
  box.setWindowFlags(BoxWindowFlags());
  box.setTextFormat(Qt::PlainText);  // texts may carry names from the network
  QPushButton* ok = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(ok);
  RunModal(box);
}

void QtFrontend::SetTitle(const std::string& title) {
  if (m_window) m_window->setWindowTitle(QString::fromStdString(SanitizeForDisplay(title)));
}

void QtFrontend::ApplyStyle(int controlId, const CColorEdit& style) {
  if (m_window) m_window->ApplyStyle(controlId, style);
}

void QtFrontend::ShowAbout() {
  if (!m_window) return;
  CAboutDlg about(m_window, m_window->windowIcon());
  RunModal(about);
}

// Standard output and error go back to where they were; the window changes
// nothing else outside itself that would need restoring.
void QtFrontend::Shutdown() {
  if (m_diag) m_diag->Release();
}
