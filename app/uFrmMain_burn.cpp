// The main window's two disc writes: the compilation ("Burn CD or DVD")
// and an image file ("Burn ISO"), and the import of an earlier session.
#include "uFrmMain.h"

#include "ovLayoutNotes.h"
#include "ovSync.h"

#include <QApplication>
#include <QMessageBox>

namespace {

const QString kWarning = QStringLiteral("Warning");
const QString kConfirm = QStringLiteral("Confirm Action");

} // namespace

QString TfrmMain::ImportText() {
  orvBurn->ImportSessionNumber = 0;
  if (orvBurn->ImportSession(SessionToImport, orvBurn->Root()))
    return {};
  const QString which = SessionToImport == 255 ? QStringLiteral("The last session")
                                               : QStringLiteral("Session %1").arg(SessionToImport);
  return which + QStringLiteral(" of the disc could not be read, so it cannot be kept.");
}

bool TfrmMain::ImportChosenSession() {
  const QString why = ImportText();
  if (why.isEmpty())
    return true;
  ShowMessage(this, why, kWarning, QMessageBox::Warning);
  return false;
}

QString TfrmMain::BurnRefusalText(const std::string &LibraryText) {
  return QStringLiteral("The disc cannot take this burn: ") + QString::fromStdString(LibraryText) +
         QStringLiteral(".\nNothing was written.");
}

// The checks, the fill and the layout run on the worker; the question is
// asked only when the burn can happen, and the write starts on the worker.
void TfrmMain::cmdBurnClick() {
  if (!CanStart() || !ApplyOptions())
    return;
  if (cmbSpeed->currentIndex() < 0)
    cmbSpeed->setCurrentIndex(0);
  const std::shared_ptr<TPrepared> p = GatherRows();
  BeginOperation(TOperation::Burn, QStringLiteral("Preparing the compilation..."));
  RunJob(
      [this, p] {
        TOrvBurner &b = *orvBurn;
        uint32_t size = 0, free = 0;
        b.ReadBufferCapacity(size, free);
        const uint8_t type = b.GetDiscType();
        b.SetWriteSpeed(SpeedFromText(p->SpeedText, type));
        if (b.TestWrite && !b.TestWritePossible(type)) {
          p->Error = QStringLiteral("A test write is not possible on %1 media: the drive would write for real.")
                         .arg(QString::fromLatin1(DiscTypeName(type)));
          return;
        }
        b.ResetCompilation(b.MaxFiles, b.MaxDirs);
        p->Error = FillFrom(*p);
        if (!p->Error.isEmpty())
          return;
        if (const std::string why = b.BurnRefusal(b.Root()); !why.empty()) {
          p->Error = BurnRefusalText(why);
          return;
        }
        p->Sectors = b.SessionSectors();
        p->Note = QString::fromStdString(CompilationNote(b));
      },
      [this, p] {
        if (!PreparedOk(*p))
          return;
        prgProgress->setMaximum(static_cast<int>(std::min<int64_t>(p->Sectors, INT32_MAX)));
        const QString question = LeftOutText() + LayoutNoteText() + QStringLiteral("Do you want to write ") +
                                 QString::fromStdString(ov::FormatFloat("#,##0.00", p->Sectors * 2048 / 1048576.0)) +
                                 QStringLiteral(" MB to the disc ?");
        if (!AskYesNo(this, question, kConfirm) || aborting_ || quitAfterOp_)
          return EndUnstarted();
        lblBurnState->setText(QStringLiteral("Writing Data..."));
        opSectors_ = p->Sectors;
        StartWriteJob([this] { return orvBurn->BurnCompilation(); }, "THE BURN COULD NOT BE STARTED");
      });
}

void TfrmMain::cmdBurnISOClick() {
  if (!CanStart() || !ApplyOptions())
    return;
  const QString file = AskPath(this, QStringLiteral("OpenISO"), QString());
  if (file.isEmpty())
    return;
  const QString speed = cmbSpeed->currentText();
  BeginOperation(TOperation::BurnImage, QStringLiteral("Writing ISO..."));
  StartWriteJob(
      [this, file, speed] {
        TOrvBurner &b = *orvBurn;
        uint32_t size = 0, free = 0;
        b.ReadBufferCapacity(size, free);
        b.SetWriteSpeed(SpeedFromText(speed, b.GetDiscType()));
        if (!b.BurnImageFile(file.toStdString()))
          return false;
        const int64_t sectors = b.SessionSectors();
        ov::Synchronize([this, sectors] {
          if (Busy() && !doneSeen_) {
            opSectors_ = sectors;
            prgProgress->setMaximum(static_cast<int>(std::min<int64_t>(sectors, INT32_MAX)));
          }
        });
        return true;
      },
      "THE BURN COULD NOT BE STARTED");
}
