// The main window's operations offscreen against the virtual recorder: the
// speed list, the settings copied into the component, the compilation from
// the list, image builds, erases, the tray, the progress display and the
// completion messages with their captions and icons.
#include "WindowFixture.h"
#include "ovFiles.h"
#include "ovSectorSource.h"
#include "uFrmDiscInfo.h"
#include "uFrmExtract.h"

#include <QMessageBox>

#include <atomic>
#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// An image file whose reads, once armed, are counted; the third one waits
// until the test lets it go, so a cancel can be given in the middle of a file.
class THeldSource : public TSectorSource {
public:
  TFileSectorSource File;
  std::atomic<bool> Armed{false}, Holding{false}, Release{false};
  std::atomic<int> Reads{0};
  uint64_t SectorCount() const override { return File.SectorCount(); }
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override {
    if (Armed.load() && ++Reads == 3) {
      Holding.store(true);
      while (!Release.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return File.ReadSectors(Lba, Count, Buffer, Error);
  }
};

} // namespace

class OperationsTest : public QObject {
  Q_OBJECT
  TWindowFixture fx_;
  QList<TShown> &messages_ = fx_.Messages;
  QStringList &questions_ = fx_.Questions;
  bool &answer_ = fx_.Answer;
  QString &path_ = fx_.Path;
  TOptions &options_ = fx_.Options;

  QString Scratch(const QString &name) const { return fx_.Scratch(name); }
  static bool Vdrive(const QStringList &args) { return TWindowFixture::Vdrive(args); }
  static QString DriveSetting(const QString &d, const QString &k) { return TWindowFixture::DriveSetting(d, k); }
  std::unique_ptr<TfrmMain> Window(const QString &name, const QString &model, const QString &media) {
    return fx_.Window(name, model, media);
  }
  static void WaitIdle(TfrmMain *w) { TWindowFixture::WaitIdle(w); }
  QString LastMessage() const { return fx_.LastMessage(); }

private slots:
  void initTestCase() {
    fx_.Setup();
    TWindowFixture::MakeTree(Scratch("src"));
  }
  void cleanupTestCase() { RemoveSyncDispatcher(); }
  void init() { fx_.Reset(); }

  void speedTextInTwoLocales() {
    const QLocale c = QLocale::c(), de(QLocale::German, QLocale::Germany);
    QCOMPARE(TfrmMain::SpeedFromText("48X (8,467 KB/s)", dtCDR, c), uint16_t(8496));
    QCOMPARE(TfrmMain::SpeedFromText("48X (8.467 KB/s)", dtCDR, de), uint16_t(8496));
    QCOMPARE(TfrmMain::SpeedFromText("Max", dtCDR, c), uint16_t(0));
    QCOMPARE(TfrmMain::SpeedFromText("", dtDVDPlusR, de), uint16_t(0));
    QCOMPARE(TfrmMain::SpeedFromText("4.0X (5,540 KB/s)", dtDVDPlusR, c), uint16_t(5540));
    QCOMPARE(TfrmMain::SpeedFromText("2,4X (3.324 KB/s)", dtDVDPlusRW, de), uint16_t(3324));
    // An entry written with a point still reads in a comma locale.
    QCOMPARE(TfrmMain::SpeedFromText("2.4X (3,324 KB/s)", dtDVDPlusRW, de), uint16_t(3324));
    QCOMPARE(TfrmMain::SpeedEntry(5540, dtDVDPlusR, c), QString("4.0X (5,540 KB/s)"));
    QCOMPARE(TfrmMain::SpeedEntry(5540, dtDVDPlusR, de), QString("4,0X (5.540 KB/s)"));
    QCOMPARE(TfrmMain::SpeedEntry(8467, dtCDR, c), QString("48X (8,467 KB/s)"));
    // What the list shows reads back as the speed it stands for.
    for (const QLocale &l : {c, de})
      QCOMPARE(TfrmMain::SpeedFromText(TfrmMain::SpeedEntry(11080, dtDVDPlusRW, l), dtDVDPlusRW, l), uint16_t(11080));
  }

  void speedListForCDAndDVD() {
    struct TCase {
      QString Name, Model, Media, Expected;
    };
    for (const TCase &k : {TCase{"spcd", "cdrw-writer", "CD-R", "48X (8,467 KB/s)"},
                           TCase{"spdvd", "dvd-writer", "DVD+R", "4.0X (5,540 KB/s)"}}) {
      auto w = Window(k.Name, k.Model, k.Media);
      w->FillSpeedList();
      QStringList items;
      for (int i = 0; i < w->cmbSpeed->count(); ++i)
        items << w->cmbSpeed->itemText(i);
      QCOMPARE(items.first(), QString("Max"));
      QVERIFY2(items.contains(k.Expected), qPrintable(items.join(" | ")));
      QCOMPARE(items.removeDuplicates(), qsizetype(0));
      QVERIFY(items.size() >= 4);
      QCOMPARE(w->cmbSpeed->currentIndex(), 0);
      // The chosen entry stays chosen when the list is built again.
      w->cmbSpeed->setCurrentIndex(2);
      const QString chosen = w->cmbSpeed->currentText();
      w->FillSpeedList();
      QCOMPARE(w->cmbSpeed->currentText(), chosen);
    }
  }

  void applyOptionsCopiesEverySetting() {
    auto w = Window("opts", "dvd-writer", "DVD+RW");
    for (const bool on : {true, false}) {
      w->chkJoliet->setChecked(on);
      w->txtVolumeLabel->setText(on ? "  LABEL ONE " : "TWO");
      w->chkCloseDisc->setChecked(on);
      w->chkUnderrunProtection->setChecked(on);
      w->chkTestWrite->setChecked(on);
      w->chkOPC->setChecked(on);
      w->sldCacheSize->setValue(on ? 17 : 3);
      {
        const QSignalBlocker b(w->chkBootable);  // no file chooser
        w->chkBootable->setChecked(on);
      }
      w->lblBootable->setText(on ? "/boot/one.img" : "/boot/two.img");
      w->chkArchiveOnly->setChecked(on);
      w->chkEject->setChecked(on);
      w->chkQuickSaveISO->setChecked(on);
      w->chkVerify->setChecked(on);
      w->chkImportSession->setChecked(on);
      w->txtSession->setText("3");
      QVERIFY(w->ApplyOptions());
      TOrvBurner &b = *w->orvBurn;
      QCOMPARE(b.JolietFileSystem, on);
      QCOMPARE(QString::fromStdString(b.IdVolume), on ? QString("LABEL ONE") : QString("TWO"));
      QCOMPARE(b.FinalizeDisc, on);
      QCOMPARE(b.UnderrunProtection, on);
      QCOMPARE(b.TestWrite, on);
      QCOMPARE(b.PerformOPC, on);
      QCOMPARE(b.CacheSize(), (on ? 17 : 3) * 1048576);
      QCOMPARE(b.Bootable, on);
      QCOMPARE(QString::fromStdString(b.BootImage), on ? QString("/boot/one.img") : QString("/boot/two.img"));
      QCOMPARE(b.Verify, on);
      QCOMPARE(w->ArchiveOnly, on);
      QCOMPARE(w->EjectAfterWrite, on);
      QCOMPARE(w->QuickSave, on);
      QCOMPARE(w->SessionToImport, uint8_t(on ? 3 : 0));
    }
    QVERIFY(messages_.isEmpty());
    // The verify box is a stored setting.
    QCOMPARE(options_.VerifyAfterBurn, false);
    w->chkVerify->setChecked(true);
    QCOMPARE(options_.VerifyAfterBurn, true);
    options_.VerifyAfterBurn = false;

    // The session text: -1 is the last session (255), 0 warns and imports
    // nothing, anything else than a number is refused with a message.
    w->chkImportSession->setChecked(true);
    w->txtSession->setText("-1");
    QVERIFY(w->ApplyOptions());
    QCOMPARE(w->SessionToImport, uint8_t(255));
    w->txtSession->setText(" 0 ");
    QVERIFY(w->ApplyOptions());
    QCOMPARE(w->SessionToImport, uint8_t(0));
    QCOMPARE(LastMessage(), QString("Session to import. Zero means not to import any session."));
    QCOMPARE(messages_.last().Caption, QString("Warning"));
    QCOMPARE(messages_.last().Icon, int(QMessageBox::Warning));
    for (const QString &bad : {QString(""), QString("two"), QString("300"), QString("-2")}) {
      messages_.clear();
      w->txtSession->setText(bad);
      QVERIFY(!w->ApplyOptions());
      QCOMPARE(messages_.size(), 1);
    }
  }

  void fillCompilationPlacementsAndLeftOutEntries() {
    auto w = Window("fill", "dvd-writer", "DVD+RW");
    QVERIFY(w->ApplyOptions());
    w->orvBurn->ResetCompilation(w->orvBurn->MaxFiles, w->orvBurn->MaxDirs);
    QVERIFY(!w->FillCompilation());
    QCOMPARE(LastMessage(), QString("At least one file/directory should be selected."));
    QCOMPARE(messages_.last().Caption, QString("Warning"));

    QVERIFY(w->AddSourceRow(Scratch("src")));
    const QString src = QDir(Scratch("src")).absolutePath();
    // Unchecked: the folder's content in the root; grayed: the last folder
    // kept; checked: the whole path rebuilt.
    const auto fill = [&](Qt::CheckState s) {
      w->chkPathInfo->setCheckState(s);
      w->orvBurn->ResetCompilation(w->orvBurn->MaxFiles, w->orvBurn->MaxDirs);
      return w->FillCompilation();
    };
    QVERIFY(fill(Qt::Unchecked));
    QVERIFY(w->orvBurn->FindDir("\\SUB\\DEEP"));
    QVERIFY(w->orvBurn->FindFile(w->orvBurn->Root(), "a.txt"));
    QVERIFY(!w->orvBurn->FindDir("\\EMPTY"));  // empty folders go
    QVERIFY(fill(Qt::PartiallyChecked));
    const QString last = QFileInfo(src).fileName().toUpper();
    QVERIFY(w->orvBurn->FindDir(("\\" + last + "\\SUB\\DEEP").toStdString()));
    QVERIFY(!w->orvBurn->FindDir("\\SUB"));
    QVERIFY(fill(Qt::Checked));
    QVERIFY(w->orvBurn->FindDir((QString(src).replace('/', '\\').toUpper() + "\\SUB").toStdString()));
    QVERIFY(w->LeftOutText().isEmpty());

    // An unchecked folder row takes only the folder's own files.
    w->lvwFiles->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    QVERIFY(fill(Qt::Unchecked));
    QVERIFY(w->orvBurn->FindFile(w->orvBurn->Root(), "a.txt"));
    QVERIFY(!w->orvBurn->FindDir("\\SUB"));
    w->lvwFiles->topLevelItem(0)->setCheckState(0, Qt::Checked);

    // An entry that cannot be read is named before anything is written.
    if (::geteuid() != 0) {
      const QString secret = Scratch("src/sub/secret.txt");
      QFile f(secret);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.close();
      QVERIFY(::chmod(secret.toUtf8().constData(), 0) == 0);
      QVERIFY(fill(Qt::Unchecked));
      QVERIFY2(w->LeftOutText().contains(secret), qPrintable(w->LeftOutText()));
      QFile::remove(secret);
    }
  }

  void buildImageCompletesOrFailsWithItsMessage() {
    auto w = Window("build", "dvd-writer", "DVD+RW");
    QVERIFY(w->cmdBurn->isEnabled());
    w->AddSourceRow(Scratch("src"));
    w->chkPathInfo->setCheckState(Qt::Unchecked);
    // Cancel in the name prompt ends the operation before it starts.
    path_.clear();
    w->cmdBuildISOClick();
    QVERIFY(!w->Busy());
    QVERIFY(messages_.isEmpty());

    for (const bool quick : {false, true}) {
      messages_.clear();
      const QString image = Scratch(quick ? "quick.iso" : "threaded.iso");
      path_ = image;
      w->chkQuickSaveISO->setChecked(quick);
      w->cmdBuildISOClick();
      WaitIdle(w.get());
      QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
      QCOMPARE(messages_[0].Text, QString("Burn process completed."));
      QCOMPARE(messages_[0].Caption, QString("Ready"));
      QCOMPARE(messages_[0].Icon, int(QMessageBox::Information));
      QCOMPARE(w->lblBurnState->text(), QString("Ready"));
      QCOMPARE(w->lblResult->text(), QString("Burn process completed."));
      QCOMPARE(w->prgProgress->value(), w->prgProgress->maximum());
      QCOMPARE(w->windowTitle(), QString("Skarvo CD & DVD Burner"));
      QVERIFY(QFileInfo(image).size() > 16 * 2048);
      QCOMPARE(QFileInfo(image).size() % 2048, qint64(0));
      // Every button is usable again after the build.
      QVERIFY(w->cmdBurn->isEnabled());
      QVERIFY(w->cmdBuildISO->isEnabled() && w->cmdBurnISO->isEnabled() && w->cmbDrives->isEnabled());
    }
    QVERIFY(RunSkarvo({"check", Scratch("threaded.iso")}));

    // An image that cannot be created ends with errors, and the text stays visible.
    for (const bool quick : {false, true}) {
      messages_.clear();
      path_ = Scratch("no/such/folder/x.iso");
      w->chkQuickSaveISO->setChecked(quick);
      w->cmdBuildISOClick();
      WaitIdle(w.get());
      QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
      QVERIFY(messages_[0].Text.startsWith("Burn process completed with errors."));
      QCOMPARE(messages_[0].Caption, QString("Error"));
      QCOMPARE(messages_[0].Icon, int(QMessageBox::Information));
      QVERIFY(w->lblResult->text().startsWith("Burn process completed with errors. "));
      QVERIFY(!QFileInfo::exists(path_));
    }
  }

  // Archive bits are cleared by a write that succeeded, never by one that failed.
  // The result line of a built image notes the Joliet names it shortened
  // (which Rock Ridge keeps whole); without Joliet, or for the next image
  // without such names, there is no note.
  void builtImageNotesTheJolietNamesItShortens() {
    const QString longName = QString(120, 'j') + ".txt";
    QVERIFY(QDir().mkpath(Scratch("longsrc/deeper")));
    for (const QString &name : {"deeper/" + longName, "deeper/x" + longName, QString("short.txt")}) {
      QFile f(Scratch("longsrc/" + name));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("x");
    }
    auto w = Window("jnote", "dvd-writer", "DVD+RW");
    w->chkPathInfo->setCheckState(Qt::Unchecked);
    // Either long name may be met first, as the folder lists them.
    const auto cut = [&](const QString &first) {
      return "2 names are longer than a Joliet record holds (110 characters) and shortened in the Joliet tree, the "
             "first: \"/deeper/" + first + "\"";
    };
    struct TCase {
      QString Source;
      bool Joliet, RockRidge;
      QString After;  // after the note, which none have when empty
    };
    const TCase cases[] = {
        {Scratch("longsrc"), true, true, "; Rock Ridge keeps them whole."},
        {Scratch("longsrc"), false, true, ""},
        {Scratch("src"), true, true, ""},
    };
    for (const TCase &c : cases) {
      w->lvwFiles->clear();
      w->AddSourceRow(c.Source);
      w->chkJoliet->setChecked(c.Joliet);
      w->chkRockRidge->setChecked(c.RockRidge);
      messages_.clear();
      path_ = Scratch("jnote.iso");
      w->cmdBuildISOClick();
      WaitIdle(w.get());
      QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
      QCOMPARE(messages_[0].Text, QString("Burn process completed."));
      const QString result = w->lblResult->text(), done = "Burn process completed.";
      if (c.After.isEmpty())
        QCOMPARE(result, done);
      else
        QVERIFY2(result == done + " Note: " + cut(longName) + c.After ||
                     result == done + " Note: " + cut("x" + longName) + c.After,
                 qPrintable(result));
    }
  }

  void archiveBitsOnlyAfterSuccess() {
    const QString file = Scratch("arch/file.txt");
    QVERIFY(QDir().mkpath(Scratch("arch")));
    {
      QFile f(file);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("archive me");
    }
    if (!ov::FileSetAttr(file.toStdString(), 0) || !ov::FileSetAttr(file.toStdString(), ov::faArchive))
      QSKIP("no extended attributes on the scratch file system");
    QVERIFY(ov::FileGetAttr(file.toStdString()) & ov::faArchive);
    auto w = Window("arch", "dvd-writer", "DVD+RW");
    w->chkArchiveOnly->setChecked(true);
    w->AddSourceRow(Scratch("arch"));
    path_ = Scratch("no/such/folder/a.iso");
    w->cmdBuildISOClick();
    WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
    QVERIFY(ov::FileGetAttr(file.toStdString()) & ov::faArchive);
    messages_.clear();
    path_ = Scratch("arch.iso");
    w->cmdBuildISOClick();
    WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
    QCOMPARE(messages_[0].Text, QString("Burn process completed."));
    QVERIFY(!(ov::FileGetAttr(file.toStdString()) & ov::faArchive));
  }

  void progressStopsAtNinetyPercentUntilTheEnd() {
    auto w = Window("prog", "dvd-writer", "DVD+RW");
    w->AddSourceRow(Scratch("src"));
    QVERIFY(w->ApplyOptions());
    w->orvBurn->ResetCompilation(w->orvBurn->MaxFiles, w->orvBurn->MaxDirs);
    QVERIFY(w->FillCompilation());
    w->orvBurn->PrepareLayout(true, w->orvBurn->Root());
    const int64_t sectors = w->orvBurn->SessionSectors();
    QVERIFY(sectors > 20);
    w->orvBurn->BytesWritten = sectors * 2048 / 2;
    w->tmrProgressTimer();
    QCOMPARE(w->prgProgress->maximum(), int(sectors));
    QCOMPARE(w->prgProgress->value(), int(sectors / 2));
    QVERIFY(w->windowTitle().startsWith("50% - "));
    QVERIFY(w->lblMBWritten->text().startsWith("MB Written: 0."));
    QVERIFY(w->lblBurnState->text() != "Finalizing...");
    w->orvBurn->BytesWritten = sectors * 2048;
    w->tmrProgressTimer();
    QCOMPARE(w->prgProgress->value(), int(0.9 * sectors));
    QCOMPARE(w->lblBurnState->text(), QString("Finalizing..."));
    QVERIFY(w->windowTitle().startsWith("100% - "));
    w->orvBurn->BytesWritten = 0;
  }

  void quickEraseWithProgressAndEject() {
    auto w = Window("erw", "cdrw-writer", "CD-RW");
    w->chkEject->setChecked(true);
    // "No" in the question leaves the disc alone.
    answer_ = false;
    w->cmdQuickEraseClick();
    WaitIdle(w.get());
    QCOMPARE(questions_.size(), 1);
    QVERIFY(questions_[0].contains("quick erase"));
    QVERIFY(!w->Busy());
    answer_ = true;
    ov::SetTimeScale(0.05);
    w->cmdQuickEraseClick();
    QTRY_VERIFY_WITH_TIMEOUT(w->Busy(), 30000);
    QCOMPARE(w->lblBurnState->text(), QString("Erasing Data..."));
    int seen = 0;
    QElapsedTimer t;
    t.start();
    while (w->Busy() && t.elapsed() < 120000) {
      QTest::qWait(50);
      seen = std::max(seen, w->prgProgress->value());
    }
    QVERIFY(!w->Busy());
    QVERIFY2(seen > 0, "the bar never moved");
    WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
    QCOMPARE(messages_[0].Text, QString("Erase process completed."));
    QCOMPARE(messages_[0].Caption, QString("Ready"));
    QCOMPARE(DriveSetting("erw", "tray"), QString("open"));
  }

  void eraseFailuresAndDiscsThatCannotBeErased() {
    auto w = Window("erf", "dvd-writer", "DVD+RW");
    w->chkEject->setChecked(true);
    ov::SetTimeScale(0.05);
    answer_ = false;
    w->cmdCompleteEraseClick();
    WaitIdle(w.get());
    QCOMPARE(questions_.size(), 1);
    QVERIFY(questions_[0].endsWith("This may take 10-70 minutes."));
    QVERIFY(!w->Busy());
    // The zeros written after the format are refused: the erase ends with
    // errors, and the disc stays in.
    answer_ = true;
    QVERIFY(Vdrive({"fault", "erf", "writeerror", "--lba", "0", "--count", "-1"}));
    w->cmdQuickEraseClick();
    QTRY_VERIFY_WITH_TIMEOUT(w->Busy(), 30000);
    WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 30000);
    QCOMPARE(messages_[0].Text, QString("Erase process completed with errors."));
    QCOMPARE(messages_[0].Caption, QString("Error"));
    QCOMPARE(messages_[0].Icon, int(QMessageBox::Information));
    QVERIFY(w->lblResult->text().startsWith("Erase process completed with errors."));
    QCOMPARE(DriveSetting("erf", "tray"), QString("closed"));
    QVERIFY(Vdrive({"fault", "erf", "--clear"}));

    messages_.clear();
    QVERIFY(Vdrive({"insert", "erf", "--media", "DVD+R"}));
    w->RefreshDrive();
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    w->cmdQuickEraseClick();
    WaitIdle(w.get());
    w->cmdCompleteEraseClick();
    WaitIdle(w.get());
    QCOMPARE(messages_.size(), 2);
    for (const TShown &m : messages_) {
      QCOMPARE(m.Text, QString("This disc is not erasable."));
      QCOMPARE(m.Caption, QString("Warning"));
      QCOMPARE(m.Icon, int(QMessageBox::Warning));
    }
  }

  void trayCommandsAndTheirFailures() {
    auto w = Window("tray", "dvd-writer", "DVD+RW");
    w->cmdEjectClick();
    WaitIdle(w.get());
    QCOMPARE(DriveSetting("tray", "tray"), QString("open"));
    w->cmdLoadClick();
    WaitIdle(w.get());
    QCOMPARE(DriveSetting("tray", "tray"), QString("closed"));
    QVERIFY(messages_.isEmpty());
    QVERIFY(Vdrive({"fault", "tray", "notready", "--op", "1B", "--count", "2"}));
    w->cmdEjectClick();
    WaitIdle(w.get());
    w->cmdLoadClick();
    WaitIdle(w.get());
    QCOMPARE(messages_.size(), 2);
    QCOMPARE(messages_[0].Text, QString("Unable to eject the device."));
    QCOMPARE(messages_[1].Text, QString("Unable to load the device."));
    QCOMPARE(messages_[1].Caption, QString("Warning"));
  }

  // A test write on a medium without simulation is refused before the
  // size is confirmed: the drive would record for real.
  void testWriteRefusedBeforeTheQuestion() {
    auto w = Window("tw", "dvd-writer", "DVD+RW");
    w->AddSourceRow(Scratch("src"));
    w->chkTestWrite->setChecked(true);
    w->cmdBurnClick();
    WaitIdle(w.get());
    QVERIFY(questions_.isEmpty());
    QVERIFY(!w->Busy());
    QCOMPARE(messages_.size(), 1);
    QVERIFY(messages_[0].Text.startsWith("A test write is not possible on DVD+RW"));
  }

  void discInfoOfABlankDisc() {
    auto w = Window("info", "dvd-writer", "DVD+R");
    TfrmDiscInfo dlg(w.get());
    QVERIFY(dlg.Fill());
    QCOMPARE(dlg.lvwSessions->topLevelItemCount(), 0);
    QCOMPARE(dlg.lblMedium->text(), QString("DVD+R"));
    QVERIFY(dlg.lblUsedSpace->text().endsWith(",  Sessions : 0"));
    QVERIFY(dlg.lblFreeSpace->text().endsWith(" MB, Disc is open"));
    QVERIFY(!dlg.ImportSelectedSession());
    QCOMPARE(LastMessage(), QString("Please select a session from the list."));
    QCOMPARE(messages_.last().Caption, QString("Information"));
    messages_.clear();
    QVERIFY(Vdrive({"eject", "info"}));
    TfrmDiscInfo none(w.get());
    QVERIFY(!none.Fill());
    QCOMPARE(LastMessage(), QString("Error getting session information."));
  }

  // Cancel stops the copy of a large file between two reads: the partial
  // copy is removed, an older file of that name is kept, and the dialog can
  // extract it in full afterwards.
  void cancelStopsInsideALargeFile() {
    QVERIFY(QDir().mkpath(Scratch("bigsrc")));
    QByteArray data(8 << 20, 'b');  // 64 reads of 128 KiB
    data.replace(0, 5, "first");
    {
      QFile f(Scratch("bigsrc/big.bin"));
      QVERIFY(f.open(QIODevice::WriteOnly));
      QCOMPARE(f.write(data), qint64(data.size()));
    }
    QVERIFY(RunSkarvo({"build-iso", "-o", Scratch("big.iso"), Scratch("bigsrc")}));
    THeldSource source;
    std::string error;
    QVERIFY2(source.File.Open(Scratch("big.iso").toStdString(), error), error.c_str());
    TOrvBurner burner;
    burner.ResetCompilation(65535, 8191);
    burner.ImportSource = &source;
    QVERIFY(burner.ImportSession(-1, nullptr));

    const QString folder = Scratch("cancel");
    QVERIFY(QDir().mkpath(folder));
    {
      QFile older(folder + "/big.bin");
      QVERIFY(older.open(QIODevice::WriteOnly));
      older.write("older");
    }
    TOptions options = options_;
    options.ExtractFolder = folder.toStdString();
    TfrmExtract ex(burner, options, nullptr);
    ex.FormShow();
    QList<QTreeWidgetItem *> rows = ex.lvwFiles->findItems("big.bin", Qt::MatchExactly, 1);
    QCOMPARE(rows.size(), 1);
    ex.lvwFiles->setCurrentItem(rows[0]);
    source.Armed.store(true);
    ex.cmdExtractFileClick();
    QTRY_VERIFY_WITH_TIMEOUT(source.Holding.load(), 30000);
    QVERIFY(ex.Extracting() && ex.cmdCancel->isEnabled());
    ex.cmdCancelClick();
    source.Release.store(true);
    QTRY_VERIFY_WITH_TIMEOUT(!ex.Extracting() && ex.cmdClose->isEnabled(), 30000);
    QCOMPARE(source.Reads.load(), 3);  // nothing read after the cancel
    QCOMPARE(ex.lblExtract->text(), QString("Extraction cancelled."));
    QVERIFY(ex.Failures().isEmpty());
    QCOMPARE(ex.ExtractedCount(), 0);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"big.bin"});
    QCOMPARE(TWindowFixture::Contents(folder + "/big.bin"), QByteArray("older"));

    // Not cancelled, the whole file replaces the older one.
    ex.cmdExtractFileClick();
    QTRY_VERIFY_WITH_TIMEOUT(!ex.Extracting() && ex.cmdClose->isEnabled(), 30000);
    QCOMPARE(ex.ExtractedCount(), 1);
    QCOMPARE(ex.prgExtract->value(), ex.prgExtract->maximum());
    QVERIFY(TWindowFixture::Contents(folder + "/big.bin") == data);
    QVERIFY(messages_.isEmpty());
  }

  void namesFromTheDiscStayInTheFolder() {
    QCOMPARE(TfrmExtract::SafeName("a/../b"), QString("a_.._b"));
    QCOMPARE(TfrmExtract::SafeName(std::string("x\0y", 3)), QString("x_y"));
    QVERIFY(TfrmExtract::SafeName("..").isEmpty());
    QVERIFY(TfrmExtract::SafeName(".").isEmpty());
    QVERIFY(TfrmExtract::SafeName("").isEmpty());
    QCOMPARE(TfrmExtract::SafeName("..hidden"), QString("..hidden"));
  }
};

QTEST_MAIN(OperationsTest)
#include "OperationsTest.moc"
