// The main window's operations: settings into the component, the
// compilation from the list, the speed list, image build, erase, close
// track, load, eject and abort.
#include "uFrmMain.h"

#include "CDSizer.h"
#include "ovLayoutNotes.h"
#include "ovSync.h"
#include "uFrmDiscInfo.h"

#include <QApplication>
#include <QCloseEvent>
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
  const double unit = SpeedUnit(discType);
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
  const double kb = std::round(x * (IsCDType(discType) ? 177.0 : SpeedUnit(discType)));
  return static_cast<uint16_t>(std::min(kb, 65535.0));
}

uint16_t TfrmMain::SpeedFromText(const QString &text, uint8_t discType) {
  return SpeedFromText(text, discType, QLocale());
}

// On the worker: every speed the drive accepts for the medium, read back
// after setting it, from the maximum down.
std::vector<double> TfrmMain::ReadSpeeds(uint8_t discType) {
  const int step = IsCDType(discType) ? 176 : 700;
  std::vector<double> speeds;
  for (int speed = orvBurn->GetMaxWriteSpeed(); speed > 0; speed -= step) {
    orvBurn->SetWriteSpeed(static_cast<uint16_t>(speed));
    speeds.push_back(orvBurn->GetCurrentWriteSpeed());
  }
  orvBurn->SetWriteSpeed(0);  // back to the drive's maximum, as before the probe
  return speeds;
}

// Rebuilt each time the list opens, from the speeds read when the drive
// was selected: opening the list sends nothing to the drive.
void TfrmMain::FillSpeedList() {
  if (!CanStart())
    return;
  const int remembered = cmbSpeed->currentIndex();
  const QSignalBlocker block(cmbSpeed);
  cmbSpeed->clear();
  cmbSpeed->addItem(QStringLiteral("Max"));
  const QLocale locale;
  for (const double kb : speeds_) {
    const QString entry = SpeedEntry(kb, speedsType_, locale);
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

std::shared_ptr<TfrmMain::TPrepared> TfrmMain::GatherRows() const {
  auto p = std::make_shared<TPrepared>();
  p->Rows.reserve(static_cast<size_t>(lvwFiles->topLevelItemCount()));
  for (int i = 0; i < lvwFiles->topLevelItemCount(); ++i) {
    const QTreeWidgetItem *row = lvwFiles->topLevelItem(i);
    p->Rows.push_back({row->text(1), row->checkState(0) == Qt::Checked});
  }
  const Qt::CheckState savePath = chkPathInfo->checkState();
  p->LastFolder = savePath == Qt::PartiallyChecked;
  p->KeepPath = savePath != Qt::Unchecked;
  p->SpeedText = cmbSpeed->currentText();
  return p;
}

QString TfrmMain::FillFrom(TPrepared &p) {
  TOrvBurner &b = *orvBurn;
  p.LeftOut.clear();
  if (SessionToImport != 0)
    if (const QString why = ImportText(); !why.isEmpty())
      return why;
  if (p.Rows.empty())
    return QStringLiteral("At least one file/directory should be selected.");
  b.SavePathLastFolder = p.LastFolder;
  for (const TPrepared::TRow &row : p.Rows) {
    const std::string path = row.Path.toStdString();
    if (QFileInfo(row.Path).isDir()) {
      if (!b.InsertDir(b.Root(), path, ArchiveOnly, p.KeepPath, row.Checked))
        return QStringLiteral("The compilation cannot take all of %1: too many files or folders.").arg(row.Path);
    } else if (b.InsertFile("\\", path, p.KeepPath) != 1) {
      p.LeftOut << row.Path;
    }
  }
  for (const TInsertNote &n : b.InsertNotes)
    if (n.IsLoss())
      p.LeftOut << QString::fromStdString(n.SourcePath + ": " + n.Detail);
  for (const std::string &f : b.RefusedFiles)
    p.LeftOut << QString::fromStdString(f) + QStringLiteral(": 4 TiB or larger");
  b.RemoveEmptyDirs();
  if (b.DirCount() == 0 && b.FileCount() == 0)
    return QStringLiteral("There is nothing to write: the selected entries hold no files.");
  return {};
}

bool TfrmMain::FillCompilation() {
  const std::shared_ptr<TPrepared> p = GatherRows();
  const QString why = FillFrom(*p);
  leftOut_ = p->LeftOut;
  if (why.isEmpty())
    return true;
  ShowMessage(this, why, kWarning, QMessageBox::Warning);
  return false;
}

QString TfrmMain::LeftOutText() const {
  if (leftOut_.isEmpty())
    return {};
  return QStringLiteral("These entries cannot be read and will be left out:\n") +
         leftOut_.join(QLatin1Char('\n')) + QStringLiteral("\n\n");
}

QString TfrmMain::LayoutNoteText() const {
  return layoutNote_.isEmpty() ? QString() : QStringLiteral("Note: ") + layoutNote_ + QStringLiteral(".\n\n");
}

void TfrmMain::EndUnstarted() {
  const bool aborted = aborting_;
  EndOperation();
  prgProgress->setValue(0);
  if (aborted)
    lblResult->setText(QStringLiteral("Burn process aborted."));
}

bool TfrmMain::PreparedOk(const TPrepared &p) {
  leftOut_ = p.LeftOut;
  layoutNote_ = p.Note;
  if (aborting_ || quitAfterOp_) {
    EndUnstarted();
    return false;
  }
  if (p.Error.isEmpty())
    return true;
  EndUnstarted();
  ShowMessage(this, p.Error, kWarning, QMessageBox::Warning);
  return false;
}

// Starts a write on the worker; a start that fails without raising the
// completion event ends the operation with the library's reason.
void TfrmMain::StartWriteJob(std::function<bool()> start, const char *failText) {
  const std::string fallback = failText;
  const bool started = RunJob([this, start = std::move(start), fallback] {
    if (start())
      return;
    const std::string error = orvBurn->ErrorText.empty() ? fallback : orvBurn->ErrorText;
    ov::Synchronize([this, error] {
      if (!doneSeen_ && !closing_)
        orvBurnWriteDone(orvBurn.get(), error);
    });
  });
  if (!started)
    orvBurnWriteDone(orvBurn.get(), fallback);
}

void TfrmMain::cmdBuildISOClick() {
  if (!CanStart() || !ApplyOptions())
    return;
  const QString name = AskPath(this, QStringLiteral("SaveISO"), QString::fromStdString(orvBurn->ISOFileName));
  if (name.isEmpty())
    return;
  const std::shared_ptr<TPrepared> p = GatherRows();
  BeginOperation(TOperation::BuildImage, QStringLiteral("Preparing the compilation..."));
  RunJob(
      [this, p] {
        orvBurn->ResetCompilation(orvBurn->MaxFiles, orvBurn->MaxDirs);
        p->Error = FillFrom(*p);
        if (!p->Error.isEmpty())
          return;
        orvBurn->PrepareLayout(true, orvBurn->Root());
        p->Sectors = orvBurn->SessionSectors();
        p->Note = QString::fromStdString(CompilationNote(*orvBurn));
      },
      [this, p, name] {
        if (!PreparedOk(*p))
          return;
        if (!leftOut_.isEmpty() &&
            !AskYesNo(this, LeftOutText() + QStringLiteral("Do you want to build the image without them ?"), kConfirm))
          return EndUnstarted();
        prgProgress->setMaximum(static_cast<int>(std::min<int64_t>(p->Sectors, INT32_MAX)));
        lblMBWritten->setText(QStringLiteral("MB Written: ") +
                              QString::fromStdString(ov::FormatFloat("#,##0.00", p->Sectors * 2048 / 1048576.0)));
        lblBurnState->setText(QStringLiteral("Building ISO..."));
        opSectors_ = p->Sectors;
        orvBurn->ISOFileName = name.toStdString();
        const bool quick = QuickSave;
        StartWriteJob([this, name, quick] { return orvBurn->SaveImageFile(name.toStdString(), quick); },
                      "THE IMAGE COULD NOT BE STARTED");
      });
}

bool TfrmMain::StartErase(bool quick) {
  if (!CanStart() || !ApplyOptions())
    return false;
  struct TState {
    uint8_t Type = 0;
    bool Erasable = false;
  };
  auto st = std::make_shared<TState>();
  const QString speed = cmbSpeed->currentText();
  return RunJob(
      [this, st, quick] {
        st->Type = orvBurn->GetDiscType();
        st->Erasable = orvBurn->IsRewritable() || (quick && st->Type == dtDVDRAM);
      },
      [this, st, quick, speed] {
        if (!st->Erasable) {
          ShowMessage(this, QStringLiteral("This disc is not erasable."), kWarning, QMessageBox::Warning);
          return;
        }
        const QString question =
            quick ? QStringLiteral("All data on the disc will be lost.\nDo you want to quick erase the disc ?")
                  : QStringLiteral("All data on the disc will be lost\nDo you want to completely erase the disc ?\n"
                                   "This may take 10-70 minutes.");
        if (!AskYesNo(this, question, kConfirm, true) || !CanStart())
          return;
        prgProgress->setMaximum(100);
        prgProgress->setValue(0);
        BeginOperation(TOperation::Erase, QStringLiteral("Erasing Data..."));
        const uint8_t type = st->Type;
        RunJob([this, quick, speed, type] {
          orvBurn->SetWriteSpeed(SpeedFromText(speed, type));
          if (!orvBurn->EraseDisc(quick ? 1 : 0))
            ov::Synchronize([this] {
              if (!doneSeen_ && !closing_)
                orvBurnEraseDone(orvBurn.get(), true);
            });
        });
      });
}

void TfrmMain::cmdQuickEraseClick() { StartErase(true); }
void TfrmMain::cmdCompleteEraseClick() { StartErase(false); }

// Closes the open session; the disc stays appendable unless finalising.
// The medium is read again afterwards.
void TfrmMain::cmdCloseTrackClick() {
  if (CanStart())
    RunJob([this] { orvBurn->CloseSession(false); }, [this] { RefreshDrive(); });
}

bool TfrmMain::EjectCommands() {
  orvBurn->SynchronizeCache(300000, false);
  orvBurn->AllowMediumRemoval(true);
  return orvBurn->LoadEject(true);
}

void TfrmMain::EjectThenRefresh() {
  if (!RunJob([this] { EjectCommands(); }, [this] { RefreshDrive(); }))
    ejectPending_ = true;
}

void TfrmMain::cmdEjectClick() {
  if (!CanStart())
    return;
  auto ok = std::make_shared<bool>(false);
  RunJob([this, ok] { *ok = EjectCommands(); },
         [this, ok] {
           if (!*ok)
             ShowMessage(this, QStringLiteral("Unable to eject the device."), kWarning, QMessageBox::Warning);
           RefreshDrive();
         });
}

void TfrmMain::cmdLoadClick() {
  if (!CanStart())
    return;
  auto ok = std::make_shared<bool>(false);
  RunJob([this, ok] { *ok = orvBurn->LoadEject(false); },
         [this, ok] {
           if (!*ok)
             ShowMessage(this, QStringLiteral("Unable to load the device."), kWarning, QMessageBox::Warning);
           RefreshDrive();
         });
}

// Abort answers at once: the state says so and the button goes off; the
// operation ends as aborted when the write thread has stopped.
void TfrmMain::cmdAbortClick() {
  if (!Busy() || aborting_)
    return;
  aborting_ = true;
  orvBurn->AbortWrite();
  if (operation_ == TOperation::Erase)
    orvBurn->AbortErase();
  lblBurnState->setText(QStringLiteral("Aborting..."));
  UpdateControls();
}

void TfrmMain::closeEvent(QCloseEvent *event) {
  if (!Busy()) {
    event->accept();
    return;
  }
  event->ignore();
  if (quitAfterOp_)
    return;
  const QString question = operation_ == TOperation::BuildImage
                               ? QStringLiteral("An image is being built. Stop it and quit?")
                               : QStringLiteral("A disc is being written. Stop it and quit?");
  if (!AskYesNo(this, question, kConfirm, true))
    return;
  if (!Busy()) {  // it ended while the question was open
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    return;
  }
  quitAfterOp_ = true;
  cmdAbortClick();
}

void TfrmMain::cmdDiscInfoClick() {
  if (CanStart())
    ShowDiscInfo();
}
