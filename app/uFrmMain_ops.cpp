// The main window's operations: settings into the component, the
// compilation from the list, the speed list, image build, erase, close
// track, load, eject and abort.
#include "uFrmMain.h"

#include "CDSizer.h"
#include "ovSync.h"
#include "uFrmDiscInfo.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include <cmath>

namespace {

const QString kWarning = QStringLiteral("Warning");
const QString kConfirm = QStringLiteral("Confirm Action");

bool IsCDType(uint8_t discType) { return discType < 4; }

// The library's pictures use "." and ","; the list shows the user's separators.
QString LocaleSeparators(const std::string &s, const QLocale &locale) {
  QString out;
  for (const char c : s) {
    if (c == '.')
      out += locale.decimalPoint();
    else if (c == ',')
      out += locale.groupSeparator();
    else
      out += QLatin1Char(c);
  }
  return out;
}

} // namespace

QString TfrmMain::SpeedEntry(double kbPerSecond, uint8_t discType, const QLocale &locale) {
  const bool cd = IsCDType(discType);
  const double unit = cd ? 176.4 : 1385.0;
  return LocaleSeparators(ov::FormatFloat(cd ? "0X " : "0.0X ", kbPerSecond / unit), locale) +
         LocaleSeparators(ov::FormatFloat("(#,##0 KB/s)", kbPerSecond), locale);
}

uint16_t TfrmMain::SpeedFromText(const QString &text, uint8_t discType, const QLocale &locale) {
  const QString t = text.trimmed();
  if (t.isEmpty() || t == QLatin1String("Max"))
    return 0;
  const QString number = t.left(t.indexOf(QLatin1Char('X'))).trimmed();
  // The user's locale first; an entry written with a point reads as well.
  QLocale strict = locale;
  strict.setNumberOptions(QLocale::RejectGroupSeparator);
  bool ok = false;
  double x = strict.toDouble(number, &ok);
  if (!ok)
    x = QLocale::c().toDouble(number, &ok);
  if (!ok || !(x > 0))
    return 0;
  const double kb = std::round(x * (IsCDType(discType) ? 177.0 : 1385.0));
  return static_cast<uint16_t>(std::min(kb, 65535.0));
}

uint16_t TfrmMain::SpeedFromText(const QString &text, uint8_t discType) {
  return SpeedFromText(text, discType, QLocale());
}

// Rebuilt each time the list opens: every speed the drive accepts, read
// back after setting it, from the maximum down.
void TfrmMain::FillSpeedList() {
  if (Busy() || DriveJobRunning())
    return;
  const uint8_t type = orvBurn->GetDiscType();
  const bool cd = IsCDType(type);
  const int step = cd ? 176 : 700;
  const int remembered = cmbSpeed->currentIndex();
  const QSignalBlocker block(cmbSpeed);
  cmbSpeed->clear();
  cmbSpeed->addItem(QStringLiteral("Max"));
  const QLocale locale;
  for (int speed = orvBurn->GetMaxWriteSpeed(); speed > 0; speed -= step) {
    orvBurn->SetWriteSpeed(static_cast<uint16_t>(speed));
    const QString entry = SpeedEntry(orvBurn->GetCurrentWriteSpeed(), type, locale);
    if (cmbSpeed->findText(entry) < 0)
      cmbSpeed->addItem(entry);
  }
  cmbSpeed->setCurrentIndex(remembered >= 0 && remembered < cmbSpeed->count() ? remembered : 0);
}

bool TfrmMain::ApplyOptions() {
  TOrvBurner &b = *orvBurn;
  b.JolietFileSystem = chkJoliet->isChecked();
  b.IdVolume = VolumeLabelToUse().toStdString();
  b.FinalizeDisc = chkCloseDisc->isChecked();
  b.UnderrunProtection = chkUnderrunProtection->isChecked();
  b.TestWrite = chkTestWrite->isChecked();
  b.PerformOPC = chkOPC->isChecked();
  b.SetCacheSize(sldCacheSize->value() * 1048576);
  b.Bootable = chkBootable->isChecked();
  b.BootImage = lblBootable->text().toStdString();
  b.Verify = chkVerify->isChecked();
  ArchiveOnly = chkArchiveOnly->isChecked();
  EjectAfterWrite = chkEject->isChecked();
  QuickSave = chkQuickSaveISO->isChecked();
  SessionToImport = 0;
  if (!chkImportSession->isChecked())
    return true;
  const QString text = txtSession->text().trimmed();
  bool ok = false;
  const int n = text.toInt(&ok);
  if (ok && n == 0)
    ShowMessage(this, QStringLiteral("Session to import. Zero means not to import any session."), kWarning,
                QMessageBox::Warning);
  if (!ok || n < -1 || n > 255) {
    ShowMessage(this,
                QStringLiteral("The session to import must be a number from 1 to 255, or -1 for the last "
                               "session: \"%1\" is not.")
                    .arg(text),
                kWarning, QMessageBox::Warning);
    return false;
  }
  SessionToImport = static_cast<uint8_t>(n);  // -1 becomes 255: the last session
  return true;
}

bool TfrmMain::FillCompilation() {
  TOrvBurner &b = *orvBurn;
  leftOut_.clear();
  if (SessionToImport != 0 && !ImportChosenSession())
    return false;
  if (lvwFiles->topLevelItemCount() == 0) {
    ShowMessage(this, QStringLiteral("At least one file/directory should be selected."), kWarning,
                QMessageBox::Warning);
    return false;
  }
  const Qt::CheckState savePath = chkPathInfo->checkState();
  b.SavePathLastFolder = savePath == Qt::PartiallyChecked;
  const bool keepPath = savePath != Qt::Unchecked;
  for (int i = 0; i < lvwFiles->topLevelItemCount(); ++i) {
    const QTreeWidgetItem *row = lvwFiles->topLevelItem(i);
    const QString p = row->text(1);
    const std::string path = p.toStdString();
    if (QFileInfo(p).isDir()) {
      if (!b.InsertDir(b.Root(), path, ArchiveOnly, keepPath, row->checkState(0) == Qt::Checked)) {
        ShowMessage(this,
                    QStringLiteral("The compilation cannot take all of %1: too many files or folders.").arg(p),
                    kWarning, QMessageBox::Warning);
        return false;
      }
    } else if (b.InsertFile("\\", path, keepPath) != 1) {
      leftOut_ << p;
    }
  }
  for (const TInsertNote &n : b.InsertNotes)
    if (n.IsLoss())
      leftOut_ << QString::fromStdString(n.SourcePath + ": " + n.Detail);
  for (const std::string &f : b.RefusedFiles)
    leftOut_ << QString::fromStdString(f) + QStringLiteral(": 4 TiB or larger");
  b.RemoveEmptyDirs();
  if (b.DirCount() == 0 && b.FileCount() == 0) {
    ShowMessage(this, QStringLiteral("There is nothing to write: the selected entries hold no files."), kWarning,
                QMessageBox::Warning);
    return false;
  }
  return true;
}

QString TfrmMain::LeftOutText() const {
  if (leftOut_.isEmpty())
    return {};
  return QStringLiteral("These entries cannot be read and will be left out:\n") +
         leftOut_.join(QLatin1Char('\n')) + QStringLiteral("\n\n");
}

void TfrmMain::cmdBuildISOClick() {
  if (Busy() || !ApplyOptions())
    return;
  const QString name = AskPath(this, QStringLiteral("SaveISO"), QString::fromStdString(orvBurn->ISOFileName));
  if (name.isEmpty())
    return;
  orvBurn->ResetCompilation(orvBurn->MaxFiles, orvBurn->MaxDirs);
  if (!FillCompilation())
    return;
  if (!leftOut_.isEmpty() &&
      !AskYesNo(this, LeftOutText() + QStringLiteral("Do you want to build the image without them ?"), kConfirm))
    return;
  QApplication::processEvents();
  cmdBurnISO->setEnabled(false);
  cmdBurn->setEnabled(false);
  cmbDrives->setEnabled(false);
  orvBurn->PrepareLayout(true, orvBurn->Root());
  const int64_t sectors = orvBurn->SessionSectors();
  prgProgress->setMaximum(static_cast<int>(std::min<int64_t>(sectors, INT32_MAX)));
  lblMBWritten->setText(QStringLiteral("MB Written: ") +
                        QString::fromStdString(ov::FormatFloat("#,##0.00", sectors * 2048 / 1048576.0)));
  BeginOperation(TOperation::BuildImage, QStringLiteral("Building ISO..."));
  orvBurn->ISOFileName = name.toStdString();
  if (!orvBurn->SaveImageFile(name.toStdString(), QuickSave) && !doneSeen_)
    orvBurnWriteDone(orvBurn.get(), orvBurn->ErrorText.empty() ? "THE IMAGE COULD NOT BE STARTED" : orvBurn->ErrorText);
}

bool TfrmMain::StartErase(bool quick) {
  if (Busy() || !ApplyOptions())
    return false;
  JoinDriveJob();
  const uint8_t type = orvBurn->GetDiscType();
  const bool erasable = orvBurn->IsRewritable() || (quick && type == dtDVDRAM);
  if (!erasable) {
    ShowMessage(this, QStringLiteral("This disc is not erasable."), kWarning, QMessageBox::Warning);
    return false;
  }
  const QString question =
      quick ? QStringLiteral("All data on the disc will be lost.\nDo you want to quick erase the disc ?")
            : QStringLiteral("All data on the disc will be lost\nDo you want to completely erase the disc ?\n"
                             "This may take 10-70 minutes.");
  if (!AskYesNo(this, question, kConfirm, true))
    return false;
  orvBurn->SetWriteSpeed(SpeedFromText(cmbSpeed->currentText(), type));
  prgProgress->setMaximum(100);
  prgProgress->setValue(0);
  BeginOperation(TOperation::Erase, QStringLiteral("Erasing Data..."));
  if (!orvBurn->EraseDisc(quick ? 1 : 0) && !doneSeen_)
    orvBurnEraseDone(orvBurn.get(), true);
  return true;
}

void TfrmMain::cmdQuickEraseClick() { StartErase(true); }
void TfrmMain::cmdCompleteEraseClick() { StartErase(false); }

// Closes the open session; the disc stays appendable unless finalising.
void TfrmMain::cmdCloseTrackClick() {
  if (Busy())
    return;
  JoinDriveJob();
  orvBurn->CloseSession(false);
}

bool TfrmMain::EjectDrive() {
  orvBurn->SynchronizeCache(300000, false);
  orvBurn->AllowMediumRemoval(true);
  if (orvBurn->LoadEject(true))
    return true;
  ShowMessage(this, QStringLiteral("Unable to eject the device."), kWarning, QMessageBox::Warning);
  return false;
}

void TfrmMain::cmdEjectClick() {
  if (Busy())
    return;
  JoinDriveJob();
  if (EjectDrive())
    RefreshDrive();
}

void TfrmMain::cmdLoadClick() {
  if (Busy())
    return;
  JoinDriveJob();
  if (!orvBurn->LoadEject(false)) {
    ShowMessage(this, QStringLiteral("Unable to load the device."), kWarning, QMessageBox::Warning);
    return;
  }
  RefreshDrive();
}

void TfrmMain::cmdAbortClick() {
  orvBurn->AbortWrite();
  cmdAbort->setEnabled(false);
}

void TfrmMain::cmdDiscInfoClick() {
  if (Busy())
    return;
  JoinDriveJob();
  ShowDiscInfo();
}
