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

#include <cstdio>
#include <memory>

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
    splash->tmrClose->start();
    splash->show();
    splash->repaint();
    auto frmMain = std::make_unique<TfrmMain>(*options);
    if (probe)
      probe->SetMainWindow(frmMain.get());
    QApplication::setWindowIcon(QIcon(SkarvoIcon(64)));
    splash->OnTimer = [&frmMain] { frmMain->show(); };
    rc = QApplication::exec();
    if (probe)
      probe->SetMainWindow(nullptr);
    frmMain.reset();
  }
  RemoveSyncDispatcher();
  options->SaveOptions(kOptionsBasePath);
  return rc;
}
