// The main window's progress display (tmrProgress) and the two completion
// handlers of the component's write and erase.
#include "uFrmMain.h"

#include "ovDateTime.h"

#include <QMessageBox>

namespace {

const QString kTitle = QStringLiteral("Skarvo CD & DVD Burner");

QString Mb(double bytes) { return QString::fromStdString(ov::FormatFloat("#,##0.00", bytes / 1048576.0)); }

QString Duration(int64_t seconds) {
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void TfrmMain::BeginOperation(TOperation op, const QString &state) {
  operation_ = op;
  doneSeen_ = false;
  lblResult->clear();
  lblProgressInfo->clear();
  orvBurn->BytesWritten.store(0);
  prgProgress->setValue(0);
  lblBurnState->setText(state);
  opClock_.start();
  tmrProgress->start();
}

void TfrmMain::EndOperation() {
  tmrProgress->stop();
  operation_ = TOperation::None;
  doneSeen_ = true;
  lblBurnState->setText(QStringLiteral("Ready"));
  lblProgressInfo->clear();
  prgProgress->setValue(prgProgress->maximum());
  cmdBuildISO->setEnabled(true);
  cmdBurnISO->setEnabled(true);
  cmbDrives->setEnabled(true);
  RestoreTitle();
}

void TfrmMain::RestoreTitle() { setWindowTitle(kTitle); }

void TfrmMain::PostMessage(const QString &text, const QString &caption, int icon) {
  // A posted call, not a zero timer: a call still pending when the window
  // goes is dropped with it, where a timer object would be left behind.
  QMetaObject::invokeMethod(
      this, [this, text, caption, icon] { ShowMessage(this, text, caption, icon); }, Qt::QueuedConnection);
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
  const int64_t written = orvBurn->BytesWritten.load();
  const int64_t sectors = orvBurn->SessionSectors();
  const int64_t total = sectors * 2048;
  lblMBWritten->setText(QStringLiteral("MB Written: ") + Mb(written) + QLatin1Char('/') + Mb(total));
  const int max = static_cast<int>(std::min<int64_t>(sectors, INT32_MAX));
  prgProgress->setMaximum(max);
  if (written / 1048576.0 == total / 1048576.0)
    lblBurnState->setText(QStringLiteral("Finalizing..."));
  // The bar stops at 90 % until the completion handler fills it.
  const int64_t position = std::min<int64_t>(written / 2048, static_cast<int64_t>(0.9 * max));
  prgProgress->setValue(static_cast<int>(position));
  const int percent = total > 0 ? static_cast<int>(written * 100 / total) : 0;
  setWindowTitle(QStringLiteral("%1% - ").arg(percent) + kTitle);

  // Speed as the average since the start, and the time left at that speed.
  QStringList info;
  const double seconds = opClock_.elapsed() / 1000.0;
  if (seconds > 0.5 && written > 0) {
    const double rate = written / seconds;
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

// Raised on the window's thread at the end of a burn, an image build or an
// image burn.
void TfrmMain::orvBurnWriteDone(TObject *, const std::string &Error) {
  if (closing_)
    return;
  const TOperation op = operation_;
  EndOperation();
  const bool ok = Error.empty();
  const QString text = ok ? QStringLiteral("Burn process completed.") : QStringLiteral("Burn process completed with errors.");
  QString result = text;
  if (!ok)
    result += QStringLiteral(" ") + QString::fromStdString(Error);
  else if (!orvBurn->VerifyText.empty() && op == TOperation::Burn)
    result += QStringLiteral(" ") + QString::fromStdString(orvBurn->VerifyText);
  lblResult->setText(result);
  PostMessage(ok ? text : text + QStringLiteral("\n\n") + QString::fromStdString(Error),
              ok ? QStringLiteral("Ready") : QStringLiteral("Error"), QMessageBox::Information);
  // Files count as saved only once they are on the disc or in the image.
  if (ok && ArchiveOnly)
    orvBurn->ClearArchiveBits();
  const bool disc = op == TOperation::Burn || op == TOperation::BurnImage;
  if (ok && EjectAfterWrite && disc)
    EjectDrive();
  orvBurn->ResetCompilation(600000, 20000);
  cmdAbort->setEnabled(false);
  UpdateDiscSpace();
  // The medium changed: read its space anew.
  if (disc)
    RefreshDrive();
}

void TfrmMain::orvBurnEraseDone(TObject *, bool WithError) {
  if (closing_)
    return;
  EndOperation();
  const QString text =
      WithError ? QStringLiteral("Erase process completed with errors.") : QStringLiteral("Erase process completed.");
  lblResult->setText(WithError && !orvBurn->EraseErrorText.empty()
                         ? text + QStringLiteral(" ") + QString::fromStdString(orvBurn->EraseErrorText)
                         : text);
  PostMessage(text, WithError ? QStringLiteral("Error") : QStringLiteral("Ready"), QMessageBox::Information);
  if (!WithError && EjectAfterWrite)
    EjectDrive();
  UpdateDiscSpace();
  RefreshDrive();
}
