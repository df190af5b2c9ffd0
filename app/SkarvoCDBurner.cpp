// The program: one instance, the splash for two seconds while the main
// window is made hidden, the event loop, and the settings saved at the end.
#include "ovSync.h"
#include "uAppStart.h"
#include "uFrmMain.h"
#include "uFrmSplash.h"
#include "uTOptions.h"
#include "uTestProbe.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// An exception that escapes an event handler ends that handler silently;
// controls it changed keep their new state.
class TApplication : public QApplication {
public:
  using QApplication::QApplication;
  bool notify(QObject *receiver, QEvent *event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      return false;
    }
  }
};

// SIGTERM and SIGINT become a close of the main window on its own thread
// (which asks first while a disc is written): the handler only writes a
// byte to a socket the event loop watches.
int gSignalSocket[2] = {-1, -1};

void OnSignal(int) {
  const char b = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalSocket[0], &b, 1);
}

void RouteSignalsTo(QWidget *window) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalSocket) != 0)
    return;
  auto *notifier = new QSocketNotifier(gSignalSocket[1], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
    char b;
    [[maybe_unused]] const ssize_t n = ::read(gSignalSocket[1], &b, 1);
    window->close();
  });
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
}

} // namespace

int main(int argc, char **argv) {
  TApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Skarvo CD & DVD Burner"));
  QApplication::setDesktopFileName(QStringLiteral("skarvo-burner"));
  InstallSyncDispatcher();
  TTestProbe *probe = TTestProbe::Install(&app);

  auto options = std::make_unique<TOptions>();
  options->LoadOptions(kOptionsBasePath);
  auto splash = std::make_unique<TfrmSplash>();
  const bool runs = TakeInstanceLock() == TInstance::First;
  if (!runs) {
    std::fprintf(stderr, "Skarvo CD & DVD Burner is already running\n");
    TfrmMain::ShowMessage(nullptr, QStringLiteral("Skarvo CD & DVD Burner is already running"),
                          QStringLiteral("Information"), QMessageBox::Information);
  }
  EnsureExtractFolder(options->ExtractFolder);

  int rc = 0;
  if (runs) {
    splash->lblInfo->setText(QStringLiteral("Version 2.1.1"));
    splash->show();
    splash->repaint();
    // Counted from when it is on the screen: mapping the first window can
    // take a noticeable part of the two seconds on a busy machine.
    splash->tmrClose->start();
    auto frmMain = std::make_unique<TfrmMain>(*options);
    if (probe)
      probe->SetMainWindow(frmMain.get());
    QApplication::setWindowIcon(QIcon(SkarvoIcon(64)));
    splash->OnTimer = [&frmMain] { frmMain->show(); };
    RouteSignalsTo(frmMain.get());
    rc = QApplication::exec();
    if (probe)
      probe->SetMainWindow(nullptr);
    // Signals from here on end the program as before.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    frmMain.reset();
  }
  RemoveSyncDispatcher();
  options->SaveOptions(kOptionsBasePath);
  return rc;
}
