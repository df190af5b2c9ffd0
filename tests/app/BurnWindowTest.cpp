// Burning from the window offscreen against the virtual recorder: a burn
// read back through the disc information and extract dialogs, appended
// sessions that keep the last one, image burns, failures, abort and the
// archive bits.
#include "WindowFixture.h"
#include "ovFiles.h"
#include "uFrmDiscInfo.h"
#include "uFrmExtract.h"

#include <QMessageBox>

class BurnWindowTest : public QObject {
  Q_OBJECT
  TWindowFixture fx_;

  QString Scratch(const QString &n) const { return fx_.Scratch(n); }
  // Runs a burn of the rows with every question answered yes; returns the message shown.
  TShown Burn(TfrmMain *w) {
    fx_.Messages.clear();
    w->cmdBurnClick();
    [&] {
      TWindowFixture::WaitIdle(w);
      QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
    }();
    return fx_.Messages.value(0, TShown{});
  }
  static QStringList Files(TOrvBurner &b, TDEntry *d) {
    QStringList names;
    for (TFEntry *e = d ? d->Entries : nullptr; e; e = e->Next)
      names << QString::fromStdString(e->LongName);
    return names;
  }

private slots:
  void initTestCase() {
    fx_.Setup();
    TWindowFixture::MakeTree(Scratch("src"));
  }
  void cleanupTestCase() { RemoveSyncDispatcher(); }
  void init() { fx_.Reset(); }

  void burnReadBackAndExtract() {
    auto w = fx_.Window("bdvd", "dvd-writer", "DVD+RW");
    QVERIFY(w->AddSourceRow(Scratch("src")));
    w->chkPathInfo->setCheckState(Qt::Unchecked);
    w->txtVolumeLabel->setText("WINBURN");
    w->chkVerify->setChecked(true);
    w->chkEject->setChecked(true);
    const TShown m = Burn(w.get());
    QCOMPARE(m.Text, QString("Burn process completed."));
    QCOMPARE(m.Caption, QString("Ready"));
    QCOMPARE(m.Icon, int(QMessageBox::Information));
    QCOMPARE(fx_.Questions.size(), 1);
    QVERIFY(fx_.Questions[0].startsWith("Do you want to write 0."));
    QVERIFY(fx_.Questions[0].endsWith(" MB to the disc ?"));
    QVERIFY2(w->lblResult->text().contains("VERIFY: "), qPrintable(w->lblResult->text()));
    QCOMPARE(w->lblBurnState->text(), QString("Ready"));
    QCOMPARE(w->windowTitle(), QString("Skarvo CD & DVD Burner"));
    QVERIFY(!w->cmdAbort->isEnabled());
    QCOMPARE(TWindowFixture::DriveSetting("bdvd", "tray"), QString("open"));
    // The exported disc passes the strict checker.
    QVERIFY(TWindowFixture::Skarvo({"vdrive", "export", "bdvd", Scratch("bdvd.iso")}));
    QVERIFY(TWindowFixture::Skarvo({"check", Scratch("bdvd.iso")}));

    w->cmdLoadClick();
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    TfrmDiscInfo info(w.get());
    QVERIFY(info.Fill());
    QCOMPARE(info.lvwSessions->topLevelItemCount(), 1);
    QCOMPARE(info.lblMedium->text(), QString("DVD+RW"));
    QVERIFY(info.lblUsedSpace->text().endsWith(",  Sessions : 1"));
    info.lvwSessions->setCurrentItem(info.lvwSessions->topLevelItem(0));
    QVERIFY(info.ImportSelectedSession());

    TfrmExtract ex(*w->orvBurn, fx_.Options, &info);
    ex.FormShow();
    QCOMPARE(ex.txtExtractFolder->text(), Scratch("extract"));
    QCOMPARE(ex.trvFolders->topLevelItem(0)->text(0), QString("CDROOT"));
    QCOMPARE(ex.lvwFiles->topLevelItemCount(), 2);  // a.txt and sub; the empty folder is gone
    QTreeWidgetItem *sub = ex.trvFolders->topLevelItem(0)->child(0);
    QCOMPARE(sub->text(0), QString("sub"));
    QCOMPARE(sub->child(0)->text(0), QString("deep"));
    ex.trvFolders->setCurrentItem(sub);
    QCOMPARE(ex.lvwFiles->topLevelItemCount(), 2);  // b.txt and deep
    // A directory row cannot be extracted as a file.
    for (int i = 0; i < 2; ++i)
      if (ex.lvwFiles->topLevelItem(i)->text(2) == "< DIR >")
        ex.lvwFiles->setCurrentItem(ex.lvwFiles->topLevelItem(i));
    ex.cmdExtractFileClick();
    QCOMPARE(fx_.LastMessage(), QString("You can not extract a directory. deep is a directory."));
    // The folder's files, not its subfolders.
    ex.cmdExtractFolderClick();
    QTRY_VERIFY_WITH_TIMEOUT(!ex.Extracting() && ex.cmdClose->isEnabled(), 60000);
    QCOMPARE(ex.ExtractedCount(), 1);
    QVERIFY(ex.Failures().isEmpty());
    QCOMPARE(TWindowFixture::Contents(Scratch("extract/b.txt")), TWindowFixture::Contents(Scratch("src/sub/b.txt")));
    QVERIFY(!QFileInfo::exists(Scratch("extract/deep")));
    QVERIFY(ex.lblExtract->text().startsWith("Extracting: b.txt"));

    // A read error is reported and leaves no partial file.
    QFile::remove(Scratch("extract/b.txt"));
    QVERIFY(TWindowFixture::Vdrive({"fault", "bdvd", "nomedium", "--op", "28", "--count", "-1"}));
    fx_.Messages.clear();
    ex.cmdExtractFolderClick();
    QTRY_VERIFY_WITH_TIMEOUT(!ex.Extracting() && ex.cmdClose->isEnabled(), 60000);
    QCOMPARE(ex.Failures().size(), 1);
    QVERIFY(ex.Failures()[0].startsWith("b.txt: "));
    QVERIFY(fx_.LastMessage().startsWith("These files could not be extracted:"));
    QVERIFY(!QFileInfo::exists(Scratch("extract/b.txt")));
    QVERIFY(TWindowFixture::Vdrive({"fault", "bdvd", "--clear"}));
  }

  // Sessions appended to a CD-R keep the files of the last one, whether it
  // is asked for as -1 or by a number above the count; "Close Track" keeps
  // the disc appendable.
  void appendedSessionsImportTheLast() {
    auto w = fx_.Window("bcd", "cdrw-writer", "CD-R");
    w->chkCloseDisc->setChecked(false);
    w->chkPathInfo->setCheckState(Qt::Unchecked);
    QVERIFY(w->AddSourceRow(Scratch("src")));
    QCOMPARE(Burn(w.get()).Text, QString("Burn process completed."));
    w->cmdCloseTrackClick();
    TWindowFixture::WaitIdle(w.get());
    QCOMPARE(w->orvBurn->DiscStatus(), 1);
    int n = 0;
    for (const QString &session : {QString("-1"), QString("9")}) {
      const QString file = Scratch(QString("new%1.txt").arg(++n));
      {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("new file " + session.toUtf8());
      }
      w->cmdClearFilesClick();
      QVERIFY(w->AddSourceRow(file));
      w->chkImportSession->setChecked(true);
      w->txtSession->setText(session);
      const TShown m = Burn(w.get());
      QCOMPARE(m.Text, QString("Burn process completed."));
    }
    TfrmDiscInfo info(w.get());
    QVERIFY(info.Fill());
    QCOMPARE(info.lvwSessions->topLevelItemCount(), 3);
    QVERIFY(info.lblFreeSpace->text().endsWith("Disc is open"));
    info.lvwSessions->setCurrentItem(info.lvwSessions->topLevelItem(2));
    QVERIFY(info.ImportSelectedSession());
    QStringList root = Files(*w->orvBurn, w->orvBurn->Root());
    root.sort();
    QCOMPARE(root, (QStringList{"a.txt", "new1.txt", "new2.txt", "sub"}));
    // A row that only has the focus counts as chosen.
    info.lvwSessions->clearSelection();
    info.lvwSessions->setCurrentItem(info.lvwSessions->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
    QVERIFY(info.lvwSessions->selectedItems().isEmpty());
    QCOMPARE(info.ChosenSession(), 1);
    QVERIFY(info.ImportSelectedSession());
    root = Files(*w->orvBurn, w->orvBurn->Root());
    root.sort();
    QCOMPARE(root, (QStringList{"a.txt", "sub"}));
  }

  // A session that cannot be imported stops the burn before anything is written.
  void importFromABlankDiscIsRefused() {
    auto w = fx_.Window("bblank", "dvd-writer", "DVD+R");
    QVERIFY(w->AddSourceRow(Scratch("src/a.txt")));
    w->chkImportSession->setChecked(true);
    w->txtSession->setText("-1");
    w->cmdBurnClick();
    TWindowFixture::WaitIdle(w.get());
    QVERIFY(fx_.Questions.isEmpty());
    QCOMPARE(fx_.Messages.size(), 1);
    QCOMPARE(fx_.LastMessage(), QString("The last session of the disc could not be read, so it cannot be kept."));
  }

  void failedBurnKeepsArchiveBits() {
    const QString file = Scratch("arch/file.txt");
    QVERIFY(QDir().mkpath(Scratch("arch")));
    {
      QFile f(file);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(QByteArray(200000, 'a'));
    }
    const bool xattrs = ov::FileSetAttr(file.toStdString(), ov::faArchive);
    auto w = fx_.Window("bfail", "dvd-writer", "DVD+R");
    w->chkArchiveOnly->setChecked(true);
    w->chkEject->setChecked(true);
    QVERIFY(w->AddSourceRow(Scratch("arch")));
    QVERIFY(TWindowFixture::Vdrive({"fault", "bfail", "writeerror", "--lba", "40", "--count", "-1"}));
    const TShown m = Burn(w.get());
    QVERIFY(m.Text.startsWith("Burn process completed with errors."));
    QCOMPARE(m.Caption, QString("Error"));
    QCOMPARE(m.Icon, int(QMessageBox::Information));
    QVERIFY2(w->lblResult->text().contains("WRITE"), qPrintable(w->lblResult->text()));
    QCOMPARE(TWindowFixture::DriveSetting("bfail", "tray"), QString("closed"));  // no eject after a failure
    if (xattrs)
      QVERIFY(ov::FileGetAttr(file.toStdString()) & ov::faArchive);
    QVERIFY(TWindowFixture::Vdrive({"fault", "bfail", "--clear"}));
  }

  // Abort answers at once: "Aborting...", the button off, the buttons that
  // cannot act off; the end shows as an abort with the bar where it stopped.
  void abortMidBurn() {
    QVERIFY(QDir().mkpath(Scratch("big")));
    {
      QFile f(Scratch("big/big.bin"));
      QVERIFY(f.open(QIODevice::WriteOnly));
      QVERIFY(f.resize(qint64(200) * 1048576));
    }
    auto w = fx_.Window("babort", "dvd-writer", "DVD+R");
    QVERIFY(w->AddSourceRow(Scratch("big")));
    fx_.Messages.clear();
    w->cmdBurnClick();
    QVERIFY(w->Busy());
    QVERIFY(w->cmdAbort->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(w->lblBurnState->text(), QString("Writing Data..."), 60000);
    for (QWidget *b : std::initializer_list<QWidget *>{w->cmdBurn, w->cmdBuildISO, w->cmdBurnISO, w->cmdQuickErase,
                                                       w->cmdCompleteErase, w->cmdDiscInfo, w->cmdEject, w->cmdLoad,
                                                       w->cmdCloseTrack, w->cmdClearFiles, w->cmdAddFiles,
                                                       w->cmdRemoveFiles, w->cmbDrives})
      QVERIFY2(!b->isEnabled(), qPrintable(b->objectName()));
    QTRY_VERIFY_WITH_TIMEOUT(w->orvBurn->BytesWritten.load() > 0, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(w->windowTitle().contains("% - "), 10000);
    w->cmdAbort->click();
    QVERIFY(!w->cmdAbort->isEnabled());
    QCOMPARE(w->lblBurnState->text(), QString("Aborting..."));
    TWindowFixture::WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
    QCOMPARE(fx_.Messages[0].Text, QString("Burn process aborted."));
    QCOMPARE(fx_.Messages[0].Caption, QString("Aborted"));
    QCOMPARE(w->lblResult->text(), QString("Burn process aborted."));
    QVERIFY(w->prgProgress->value() < w->prgProgress->maximum());
    QVERIFY(w->cmdBuildISO->isEnabled() && w->cmdBurnISO->isEnabled() && w->cmdClearFiles->isEnabled());
    QCOMPARE(TWindowFixture::DriveSetting("babort", "prevent"), QString("0"));
  }

  void burnImageCompletesOrFails() {
    auto w = fx_.Window("bimg", "dvd-writer", "DVD+R");
    QVERIFY(w->AddSourceRow(Scratch("src")));
    fx_.Path = Scratch("for-burn.iso");
    w->cmdBuildISOClick();
    TWindowFixture::WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
    QCOMPARE(fx_.Messages[0].Text, QString("Burn process completed."));
    // A missing image file, then the image.
    for (const bool ok : {false, true}) {
      fx_.Messages.clear();
      fx_.Path = ok ? Scratch("for-burn.iso") : Scratch("missing.iso");
      w->cmdBurnISOClick();
      TWindowFixture::WaitIdle(w.get());
      QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
      QCOMPARE(fx_.Messages[0].Caption, ok ? QString("Ready") : QString("Error"));
      if (!ok)
        QVERIFY(w->lblResult->text().contains("CAN'T OPEN FILE"));
    }
    QVERIFY(fx_.Questions.isEmpty());  // an image burn asks nothing
    QVERIFY(w->cmdBurn->isEnabled());  // the medium was read again
    QVERIFY(TWindowFixture::Skarvo({"vdrive", "export", "bimg", Scratch("bimg.iso")}));
    QCOMPARE(TWindowFixture::Contents(Scratch("bimg.iso")).left(40 * 2048),
             TWindowFixture::Contents(Scratch("for-burn.iso")).left(40 * 2048));
  }

  // A compilation larger than the free space is refused with both sizes,
  // before the question.
  void tooLargeIsRefusedWithBothSizes() {
    auto w = fx_.Window("bsmall", "cdrw-writer", "CD-R", {"--capacity", "400"});
    QVERIFY(QDir().mkpath(Scratch("two")));
    {
      QFile f(Scratch("two/two.bin"));
      QVERIFY(f.open(QIODevice::WriteOnly));
      QVERIFY(f.resize(2 * 1048576));
    }
    QVERIFY(w->AddSourceRow(Scratch("two")));
    const TShown m = Burn(w.get());
    QVERIFY(fx_.Questions.isEmpty());
    QVERIFY2(m.Text.contains("NEEDS") && m.Text.contains("FREE"), qPrintable(m.Text));
    QCOMPARE(m.Caption, QString("Warning"));
    QCOMPARE(TWindowFixture::DriveSetting("bsmall", "max_written"), QString("0"));
  }
};

QTEST_MAIN(BurnWindowTest)
#include "BurnWindowTest.moc"
