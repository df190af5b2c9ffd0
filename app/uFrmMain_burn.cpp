// The main window's two disc writes: the compilation ("Burn CD or DVD")
// and an image file ("Burn ISO"), and the import of an earlier session.
#include "uFrmMain.h"

#include "ovSync.h"

#include <QApplication>
#include <QMessageBox>

namespace {

void LetPendingEventsRun() { QApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

} // namespace

bool TfrmMain::ImportChosenSession() {
  orvBurn->ImportSessionNumber = 0;
  if (orvBurn->ImportSession(SessionToImport, orvBurn->Root()))
    return true;
  const QString which = SessionToImport == 255 ? QStringLiteral("The last session")
                                               : QStringLiteral("Session %1").arg(SessionToImport);
  ShowMessage(this, which + QStringLiteral(" of the disc could not be read, so it cannot be kept."),
              QStringLiteral("Warning"), QMessageBox::Warning);
  return false;
}

void TfrmMain::cmdBurnClick() {
  if (Busy() || !ApplyOptions())
    return;
  JoinDriveJob();
  uint32_t size = 0, free = 0;
  orvBurn->ReadBufferCapacity(size, free);
  if (cmbSpeed->currentIndex() < 0)
    cmbSpeed->setCurrentIndex(0);
  const uint8_t type = orvBurn->GetDiscType();
  orvBurn->SetWriteSpeed(SpeedFromText(cmbSpeed->currentText(), type));
  LetPendingEventsRun();
  if (orvBurn->TestWrite && !orvBurn->TestWritePossible(type)) {
    ShowMessage(this,
                QStringLiteral("A test write is not possible on %1 media: the drive would write for real.")
                    .arg(QString::fromLatin1(DiscTypeNames[type & 15])),
                QStringLiteral("Warning"), QMessageBox::Warning);
    return;
  }
  orvBurn->ResetCompilation(orvBurn->MaxFiles, orvBurn->MaxDirs);
  if (!FillCompilation())
    return;
  LetPendingEventsRun();
  orvBurn->PrepareLayout(false, orvBurn->Root());
  const int64_t sectors = orvBurn->SessionSectors();
  prgProgress->setMaximum(static_cast<int>(std::min<int64_t>(sectors, INT32_MAX)));
  const QString question = LeftOutText() + QStringLiteral("Do you want to write ") +
                           QString::fromStdString(ov::FormatFloat("#,##0.00", sectors * 2048 / 1048576.0)) +
                           QStringLiteral(" MB to the disc ?");
  if (!AskYesNo(this, question, QStringLiteral("Confirm Action")))
    return;
  BeginOperation(TOperation::Burn, QStringLiteral("Writing Data..."));
  cmdAbort->setEnabled(true);
  cmdBuildISO->setEnabled(false);
  cmdBurnISO->setEnabled(false);
  cmbDrives->setEnabled(false);
  if (!orvBurn->BurnCompilation() && !doneSeen_)
    orvBurnWriteDone(orvBurn.get(), orvBurn->ErrorText.empty() ? "THE BURN COULD NOT BE STARTED" : orvBurn->ErrorText);
}

void TfrmMain::cmdBurnISOClick() {
  if (Busy() || !ApplyOptions())
    return;
  const QString file = AskPath(this, QStringLiteral("OpenISO"), QString());
  if (file.isEmpty())
    return;
  JoinDriveJob();
  uint32_t size = 0, free = 0;
  orvBurn->ReadBufferCapacity(size, free);
  BeginOperation(TOperation::BurnImage, QStringLiteral("Writing ISO..."));
  cmdAbort->setEnabled(true);
  cmdBurnISO->setEnabled(false);
  cmdBurn->setEnabled(false);
  cmbDrives->setEnabled(false);
  orvBurn->SetWriteSpeed(SpeedFromText(cmbSpeed->currentText(), orvBurn->GetDiscType()));
  if (!orvBurn->BurnImageFile(file.toStdString()) && !doneSeen_) {
    orvBurnWriteDone(orvBurn.get(), orvBurn->ErrorText.empty() ? "THE BURN COULD NOT BE STARTED" : orvBurn->ErrorText);
    return;
  }
  if (Busy())
    prgProgress->setMaximum(static_cast<int>(std::min<int64_t>(orvBurn->SessionSectors(), INT32_MAX)));
}
