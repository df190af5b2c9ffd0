// The main window's progress display (tmrProgress), the controls' states
// during operations, and the two completion handlers of the component's
// write and erase.
#include "uFrmMain.h"

#include "ovDateTime.h"
#include "ovSync.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMessageBox>

namespace {

const QString kTitle = QStringLiteral("Skarvo CD & DVD Burner");

QString Mb(double bytes) { return QString::fromStdString(ov::FormatFloat("#,##0.00", bytes / 1048576.0)); }

QString Duration(int64_t seconds) {
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

bool AbortedByUser(const std::string &error) { return error.find("ABORTED BY USER") != std::string::npos; }

} // namespace

void TfrmMain::BeginOperation(TOperation op, const QString &state) {
  operation_ = op;
  doneSeen_ = false;
  aborting_ = false;
  opSectors_ = -1;
  rateSamples_.clear();
  lblResult->clear();
  lblProgressInfo->clear();
  orvBurn->BytesWritten.store(0);
  prgProgress->setValue(0);
  lblBurnState->setText(state);
  opClock_.start();
  tmrProgress->start();
  UpdateControls();
}

// An aborted operation keeps its bar where it stopped; one that ended fills it.
void TfrmMain::EndOperation() {
  const bool aborted = aborting_;
  tmrProgress->stop();
  operation_ = TOperation::None;
  doneSeen_ = true;
  aborting_ = false;
  opSectors_ = -1;
  lblBurnState->setText(QStringLiteral("Ready"));
  lblProgressInfo->clear();
  if (!aborted)
    prgProgress->setValue(prgProgress->maximum());
  RestoreTitle();
  UpdateControls();
  if (quitAfterOp_ && !jobActive_)
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
}

void TfrmMain::UpdateControls() {
  const bool idle = CanStart();
  for (QWidget *w : std::initializer_list<QWidget *>{cmdBuildISO, cmdBurnISO, cmdQuickErase, cmdCompleteErase,
                                                     cmdDiscInfo, cmdCapabilities, cmdEject, cmdLoad, cmdCloseTrack,
                                                     cmdClearFiles, cmdAddFiles, cmdRemoveFiles, cmbDrives, cmbSpeed})
    w->setEnabled(idle);
  cmdBurn->setEnabled(idle && driveBurns_);
  cmdAbort->setEnabled(Busy() && !aborting_ && operation_ != TOperation::Erase);
}

void TfrmMain::RestoreTitle() { setWindowTitle(kTitle); }

void TfrmMain::PostMessage(const QString &text, const QString &caption, int icon) {
  // A posted call, not a zero timer: a call still pending when the window
  // goes is dropped with it, where a timer object would be left behind.
  QMetaObject::invokeMethod(
      this, [this, text, caption, icon] { ShowMessage(this, text, caption, icon); }, Qt::QueuedConnection);
}

double TfrmMain::RecentRate(TRateSamples &Samples, int64_t NowMs, int64_t Bytes) {
  Samples.emplace_back(NowMs, Bytes);
  // Keep the newest sample that is at least a window old as the base.
  while (Samples.size() > 2 && NowMs - Samples[1].first >= kRateWindowMs)
    Samples.pop_front();
  const auto [t0, b0] = Samples.front();
  if (NowMs - t0 < 500 || Bytes < b0)
    return 0;
  return static_cast<double>(Bytes - b0) * 1000.0 / static_cast<double>(NowMs - t0);
}

void TfrmMain::tmrProgressTimer() {
  if (orvBurn->Erasing()) {
    prgProgress->setMaximum(100);
    const int p = orvBurn->EraseProgress();
    if (p >= prgProgress->value())
      prgProgress->setValue(p);
    setWindowTitle(QStringLiteral("%1% - ").arg(prgProgress->value()) + kTitle);
    return;
  }
  if (operation_ == TOperation::Erase)
    return;
  // While the write is prepared on the worker, nothing is known yet.
  if (Busy() && opSectors_ < 0)
    return;
  const int64_t written = orvBurn->BytesWritten.load();
  const int64_t sectors = opSectors_ >= 0 ? opSectors_ : orvBurn->SessionSectors();
  const int64_t total = sectors * 2048;
  lblMBWritten->setText(QStringLiteral("MB Written: ") + Mb(written) + QLatin1Char('/') + Mb(total));
  const int max = static_cast<int>(std::min<int64_t>(sectors, INT32_MAX));
  prgProgress->setMaximum(max);
  if (written / 1048576.0 == total / 1048576.0 && !aborting_)
    lblBurnState->setText(QStringLiteral("Finalizing..."));
  // The bar stops at 90 % until the completion handler fills it.
  const int64_t position = std::min<int64_t>(written / 2048, static_cast<int64_t>(0.9 * max));
  prgProgress->setValue(static_cast<int>(position));
  const int percent = total > 0 ? static_cast<int>(written * 100 / total) : 0;
  setWindowTitle(QStringLiteral("%1% - ").arg(percent) + kTitle);

  // The speed over the last few seconds, and the time left at that speed.
  QStringList info;
  const double rate = RecentRate(rateSamples_, opClock_.elapsed(), written);
  if (rate > 0) {
    info << QString::fromStdString(ov::FormatFloat("#,##0 KB/s", rate / 1024.0));
    if (written < total)
      info << QStringLiteral("Time left: ") + Duration(static_cast<int64_t>((total - written) / rate + 0.5));
  }
  const uint32_t size = orvBurn->DeviceBufferSize.load();
  const uint32_t free = orvBurn->DeviceFreeBufferSize.load();
  if (operation_ != TOperation::BuildImage && size > 0 && free <= size)
    info << QStringLiteral("Buffer: %1%").arg(static_cast<int>((size - free) * 100.0 / size + 0.5));
  lblProgressInfo->setText(info.join(QStringLiteral("   ")));
}

void TfrmMain::NotifyEnd(const QString &Summary, const QString &Body) {
  if (isActiveWindow())
    return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString service = QStringLiteral("org.freedesktop.Notifications");
  if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service).value())
    return;
  QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                     service, QStringLiteral("Notify"));
  call << kTitle << uint(0) << QStringLiteral("skarvo-burner") << Summary << Body << QStringList()
       << QVariantMap() << int(-1);
  bus.send(call);  // no wait for the reply
}

// The end of an operation for the user: the result line, the message (none
// when the window is quitting) and, for a window in the background, a
// desktop notification.
void TfrmMain::ShowOperationEnd(const QString &text, const QString &caption, bool notify) {
  if (quitAfterOp_)
    return;
  PostMessage(text, caption, QMessageBox::Information);
  if (notify)
    NotifyEnd(text.section(QLatin1Char('\n'), 0, 0), lblResult->text());
}

// Raised at the end of a burn, an image build or an image burn; a call
// from a worker is handed to the window's thread.
void TfrmMain::orvBurnWriteDone(TObject *Sender, const std::string &Error) {
  if (!ov::IsMainThread()) {
    ov::Synchronize([this, Sender, Error] { orvBurnWriteDone(Sender, Error); });
    return;
  }
  if (closing_)
    return;
  const TOperation op = operation_;
  const bool ok = Error.empty();
  const bool aborted = !ok && (aborting_ || AbortedByUser(Error));
  aborting_ = aborted;
  EndOperation();
  QString text = ok        ? QStringLiteral("Burn process completed.")
                 : aborted ? QStringLiteral("Burn process aborted.")
                           : QStringLiteral("Burn process completed with errors.");
  QString result = text;
  if (!ok && !aborted)
    result += QStringLiteral(" ") + QString::fromStdString(Error);
  else if (!orvBurn->VerifyText.empty() && op == TOperation::Burn)
    result += QStringLiteral(" ") + QString::fromStdString(orvBurn->VerifyText);
  // The layout's note stays on view with the result of a written compilation.
  if (ok && !layoutNote_.isEmpty() && (op == TOperation::Burn || op == TOperation::BuildImage))
    result += QStringLiteral(" Note: ") + layoutNote_ + QLatin1Char('.');
  layoutNote_.clear();
  lblResult->setText(result);
  const bool disc = op == TOperation::Burn || op == TOperation::BurnImage;
  ShowOperationEnd(ok || aborted ? text : text + QStringLiteral("\n\n") + QString::fromStdString(Error),
                   ok ? QStringLiteral("Ready") : aborted ? QStringLiteral("Aborted") : QStringLiteral("Error"),
                   disc || op == TOperation::BuildImage);
  // Files count as saved only once they are on the disc or in the image.
  if (ok && ArchiveOnly)
    orvBurn->ClearArchiveBits();
  orvBurn->ResetCompilation(600000, 20000);
  UpdateDiscSpace();
  // The medium changed: eject if asked, then read its space anew.
  if (disc && ok && EjectAfterWrite && !quitAfterOp_)
    EjectThenRefresh();
  else if (disc)
    RefreshDrive();
}

void TfrmMain::orvBurnEraseDone(TObject *Sender, bool WithError) {
  if (!ov::IsMainThread()) {
    ov::Synchronize([this, Sender, WithError] { orvBurnEraseDone(Sender, WithError); });
    return;
  }
  if (closing_)
    return;
  aborting_ = false;  // an erase keeps its bar either way
  EndOperation();
  const QString text =
      WithError ? QStringLiteral("Erase process completed with errors.") : QStringLiteral("Erase process completed.");
  lblResult->setText(WithError && !orvBurn->EraseErrorText.empty()
                         ? text + QStringLiteral(" ") + QString::fromStdString(orvBurn->EraseErrorText)
                         : text);
  ShowOperationEnd(text, WithError ? QStringLiteral("Error") : QStringLiteral("Ready"), true);
  UpdateDiscSpace();
  if (!WithError && EjectAfterWrite && !quitAfterOp_)
    EjectThenRefresh();
  else
    RefreshDrive();
}
