// The main window offscreen, with the virtual recorder in a scratch folder:
// drives, medium and space display, the file list, drops, the panels and the
// small handlers, and closing while an erase runs.
#include "CDSizer.h"
#include "RunProgram.h"
#include "ovSync.h"
#include "uAppStart.h"
#include "uFrmAddFiles.h"
#include "uFrmDeviceCapabilities.h"
#include "uFrmMain.h"
#include "uFrmSplash.h"

#include <QElapsedTimer>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class MainWindowTest : public QObject {
  Q_OBJECT
  QTemporaryDir scratch_;
  TOptions options_;
  QStringList messages_;

  QString Scratch(const QString &name) const { return scratch_.path() + "/" + name; }
  static bool Vdrive(const QStringList &args) { return RunSkarvo(QStringList{"vdrive"} + args); }
  // A window whose drive scan and selection have finished.
  std::unique_ptr<TfrmMain> Window() {
    auto w = std::make_unique<TfrmMain>(options_);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000); }();
    return w;
  }
  static void Shot(QWidget *w, const char *name) {
    const QString dir = qEnvironmentVariable("SKARVO_GUI_OUT");
    if (!dir.isEmpty())
      w->grab().save(dir + "/" + name + ".png");
  }
  static void MakeFile(const QString &path, qint64 size) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.resize(size));  // sparse: takes no room
  }

private slots:
  void initTestCase() {
    // Loaded once for the whole test, as in the program: each window's
    // component loads and unloads it, and an unload drops its caches.
    QVERIFY(dlopen((QCoreApplication::applicationDirPath() + "/libwnaspi32.so").toUtf8().constData(),
                   RTLD_NOW | RTLD_LOCAL));
    QVERIFY(scratch_.isValid());
    qputenv("SKARVO_VDRIVES", Scratch("vdrives").toUtf8());
    qputenv("XDG_CONFIG_HOME", Scratch("config").toUtf8());
    qputenv("XDG_DATA_HOME", Scratch("data").toUtf8());
    qputenv("SKARVO_VDRIVE_CLOCK", "50");
    InstallSyncDispatcher();
    TfrmMain::MessageHook = [this](const QString &t, const QString &, int) { messages_ << t; };
    options_.LoadOptions(kOptionsBasePath);
    options_.FirstRun = false;
  }
  void cleanupTestCase() { RemoveSyncDispatcher(); }
  void init() { messages_.clear(); }

  void drivesAndMediumFromTheVirtualRecorder() {
    QVERIFY(Vdrive({"add", "cd1", "--model", "cdrw-writer"}));
    QVERIFY(Vdrive({"insert", "cd1", "--media", "CD-R"}));
    auto w = Window();
    QCOMPARE(w->cmbDrives->count(), 2);  // the default drive and cd1
    const int cd1 = w->cmbDrives->findText(",cd1 SKARVO", Qt::MatchContains);
    QVERIFY(cd1 >= 0);
    QVERIFY(w->lblDrive->text().startsWith("Drive "));
    QVERIFY(messages_.isEmpty());
    // Selecting the CD drive reads its blank CD-R.
    w->cmbDrives->setCurrentIndex(cd1);
    w->cmbDrivesChange();
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    QCOMPARE(w->lblDrive->text(), QString("Drive cd1"));
    QVERIFY(w->cdsSize->MaxCDSize() > 600 && w->cdsSize->MaxCDSize() < 900);
    QCOMPARE(w->cdsSize->MaxMemory(), qRound(w->cdsSize->MaxCDSize() * 1.2));
    QCOMPARE(w->lblTotalCDSize->text(), QString("Used Disc Space: 0 bytes, New: 0 bytes"));
    QVERIFY(w->cmdBurn->isEnabled());
    Shot(w.get(), "main-window");

    // Another medium in the drive shows after a refresh.
    QVERIFY(Vdrive({"insert", "cd1", "--media", "DVD+R"}));  // no DVD in a CD writer
    QVERIFY(Vdrive({"add", "dvd2", "--model", "dvd-writer"}));
    QVERIFY(Vdrive({"insert", "dvd2", "--media", "DVD+R"}));
    {
      // A first session of 51,200 blocks (100 MiB), closed, and the open track after it.
      QFile settings(Scratch("vdrives/dvd2/settings"));
      QVERIFY(settings.open(QIODevice::ReadWrite));
      QByteArray text = settings.readAll();
      QVERIFY(text.contains("track = 1 0 0 0 0\n") && text.contains("closed_sessions = 0\n"));
      text.replace("track = 1 0 0 0 0\n", "track = 1 0 51200 0 1\ntrack = 2 51200 0 0 0\n");
      text.replace("closed_sessions = 0\n", "closed_sessions = 1\n");
      settings.resize(0);
      settings.write(text);
    }
    auto w2 = Window();
    w2->cmbDrives->setCurrentIndex(w2->cmbDrives->findText(",dvd2 ", Qt::MatchContains));
    w2->RefreshDrive();
    QTRY_VERIFY_WITH_TIMEOUT(!w2->DriveJobRunning(), 60000);
    QCOMPARE(w2->UsedBytes(), qint64(100) * 1048576);
    QCOMPARE(w2->lblTotalCDSize->text(), QString("Used Disc Space: 102.40 MB, New: 0 bytes"));
    QCOMPARE(w2->cdsSize->MemInitial(), 100);
    QVERIFY(Vdrive({"insert", "dvd2", "--media", "DVD+R"}));
    w2->RefreshDrive();
    QTRY_VERIFY_WITH_TIMEOUT(!w2->DriveJobRunning(), 60000);
    QCOMPARE(w2->UsedBytes(), qint64(0));
    QVERIFY(w2->cdsSize->MaxCDSize() > 4000);
  }

  void capabilitiesDialog() {
    TfrmDeviceCapabilities empty(nullptr);
    TOrvBurner none;
    empty.ShowFor(none);
    QCOMPARE(empty.lblDeviceName->text(), QString("  "));
    for (QCheckBox *c : empty.Boxes)
      QVERIFY(!c->isChecked());
    QCOMPARE(empty.lblMaxWriteSpeed->text(), QString("Max Write Speed : 0 KB/s"));
    QCOMPARE(empty.lblMaxReadSpeed->text(), QString("Max Read Speed  : 0 KB/s"));
    QVERIFY(!empty.pnlCaps->isEnabled());

    auto w = Window();
    TfrmDeviceCapabilities dlg(w.get());
    dlg.ShowFor(*w->orvBurn);
    QCOMPARE(dlg.lblDeviceName->text(), "  " + w->cmbDrives->itemText(0));
    int checked = 0;
    for (int i = 0; i < TfrmDeviceCapabilities::kRowCount; ++i) {
      QCOMPARE(dlg.Boxes[i]->isChecked(),
               w->orvBurn->HasCapability(static_cast<TCapability>(TfrmDeviceCapabilities::kRows[i].Bit)));
      checked += dlg.Boxes[i]->isChecked();
    }
    QVERIFY(checked > 0);
    QVERIFY(!dlg.lblMaxWriteSpeed->text().endsWith(": 0 KB/s"));
    Shot(&dlg, "device-capabilities");
  }

  void readerDriveCannotBurnAndDriveSettingsWin() {
    QVERIFY(Vdrive({"add", "rom4", "--model", "dvd-reader"}));
    TOptions o = options_;
    o.UnderRunProtection = false;
    o.VolumeLabel = "MINE";
    auto w = std::make_unique<TfrmMain>(o);
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    // The selected drive's values replace the stored ones.
    QCOMPARE(w->chkUnderrunProtection->isChecked(), w->orvBurn->UnderrunProtection);
    QVERIFY(w->chkUnderrunProtection->isChecked());
    QCOMPARE(w->txtVolumeLabel->text(), QString());
    w->cmbDrives->setCurrentIndex(w->cmbDrives->findText(",rom4 ", Qt::MatchContains));
    w->cmbDrivesChange();
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    QCOMPARE(w->lblDrive->text(), QString("Drive rom4"));
    QVERIFY(!w->cmdBurn->isEnabled());
    QCOMPARE(w->cmbDrives->toolTip(), w->cmbDrives->currentText());
    w->mnuHelpAboutClick();
    QCOMPARE(messages_, QStringList{"Version 2.1.1"});
  }

  void addFilesDialogKeepsItsFolder() {
    auto w = Window();
    TfrmAddFiles *dlg = w->AddFilesDialog();
    const QStringList places = TfrmAddFiles::Places();
    QCOMPARE(places.first(), QDir::homePath());
    QCOMPARE(places.last(), QString("/"));
    QVERIFY(dlg->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!dlg->isModal());
    QVERIFY(dlg->flbFiles->dragEnabled() && dlg->dirFolders->dragEnabled());
    QCOMPARE(dlg->flbFiles->selectionMode(), QAbstractItemView::ExtendedSelection);
    w->cmdAddFilesClick();
    QVERIFY(dlg->isVisible());
    dlg->SetCurrentFolder(scratch_.path());
    dlg->SetCurrentFolder(Scratch("no such folder"));  // changes nothing
    Shot(dlg, "add-files-offscreen");
    dlg->cmdCloseClick();
    QVERIFY(!dlg->isVisible());
    w->cmdAddFilesClick();
    QCOMPARE(dlg->CurrentFolder(), scratch_.path());
  }

  void splashClosesOnItsTimerOrHidesAtAClick() {
    TfrmSplash splash;
    QCOMPARE(splash.size(), QSize(359, 195));
    QCOMPARE(splash.tmrClose->interval(), 2000);
    int shown = 0;
    splash.OnTimer = [&] { ++shown; };
    splash.show();
    QVERIFY(QTest::qWaitForWindowExposed(&splash));
    QTest::mouseClick(splash.pnlContainer, Qt::LeftButton);
    QVERIFY(!splash.isVisible());
    QCOMPARE(shown, 0);  // the click does not show the main window early
    splash.show();
    splash.tmrCloseTimer();
    QCOMPARE(shown, 1);
    QVERIFY(!splash.isVisible());
    QVERIFY(!splash.tmrClose->isActive());
  }

  void formatSize() {
    QCOMPARE(TfrmMain::FormatSize(0), QString("0 bytes"));
    QCOMPARE(TfrmMain::FormatSize(1023), QString("1023 bytes"));
    QCOMPARE(TfrmMain::FormatSize(1024), QString("1.00 KB"));
    QCOMPARE(TfrmMain::FormatSize(1023999), QString("1000.00 KB"));
    QCOMPARE(TfrmMain::FormatSize(1024000), QString("1.00 MB"));
    QCOMPARE(TfrmMain::FormatSize(qint64(5) << 30), QString("5242.88 MB"));
  }

  void totalsOfRowsOf4GiBAndMore() {
    auto w = Window();
    MakeFile(Scratch("big5"), qint64(5) << 30);
    QDir().mkpath(Scratch("bigdir"));
    MakeFile(Scratch("bigdir/four"), qint64(4) << 30);
    MakeFile(Scratch("bigdir/one"), 1);
    QVERIFY(w->AddDroppedPaths({Scratch("big5"), Scratch("bigdir")}).isEmpty());
    const qint64 total = (qint64(9) << 30) + 1;
    QCOMPARE(w->NewBytes(), total);
    QCOMPARE(w->lvwFiles->topLevelItem(0)->text(2), QString("5,368,709,120"));
    QCOMPARE(w->lvwFiles->topLevelItem(1)->text(2), QString("4,294,967,297"));
    QCOMPARE(w->lblTotalCDSize->text(), "Used Disc Space: " + TfrmMain::FormatSize(w->UsedBytes() + total) +
                                            ", New: " + TfrmMain::FormatSize(total));
    QVERIFY(w->lblTotalCDSize->text().endsWith("New: 9437.18 MB"));
    QCOMPARE(w->cdsSize->MemUsed(), w->cdsSize->MaxMemory());  // clamped, not wrapped
  }

  void dropOfFilesFoldersDuplicatesAndUnreadableEntries() {
    auto w = Window();
    QDir().mkpath(Scratch("src/sub"));
    MakeFile(Scratch("src/a.txt"), 1000);
    MakeFile(Scratch("src/sub/b.bin"), 3000);
    MakeFile(Scratch("single.dat"), 5);
    QVERIFY(::mkfifo(Scratch("fifo").toLocal8Bit().constData(), 0600) == 0);
    MakeFile(Scratch("locked"), 7);
    QFile::setPermissions(Scratch("locked"), QFileDevice::Permissions());
    const bool root = ::geteuid() == 0;

    const QStringList left = w->AddDroppedPaths({Scratch("src"), Scratch("single.dat"), Scratch("src"),
                                                 Scratch("missing"), Scratch("fifo"), Scratch("locked"),
                                                 "http://example.org/x", "relative/path"});
    QStringList expectedLeft{Scratch("missing"), Scratch("fifo"), "http://example.org/x", "relative/path"};
    if (!root)
      expectedLeft.insert(2, Scratch("locked"));
    QCOMPARE(left, expectedLeft);
    QCOMPARE(w->lvwFiles->topLevelItemCount(), root ? 4 : 3);
    QTreeWidgetItem *folder = w->lvwFiles->topLevelItem(0);
    QCOMPARE(folder->text(1), Scratch("src") + "/");
    QCOMPARE(folder->checkState(0), Qt::Checked);  // a folder recurses
    QCOMPARE(folder->text(2), QString("4,000"));
    QTreeWidgetItem *file = w->lvwFiles->topLevelItem(1);
    QCOMPARE(file->text(1), Scratch("single.dat"));
    QCOMPARE(file->checkState(0), Qt::Unchecked);
    QCOMPARE(w->lvwFiles->topLevelItem(2)->text(1), folder->text(1));  // listed twice...
    QCOMPARE(w->NewBytes(), qint64(4000 + 5 + 4000 + (root ? 7 : 0)));  // ...and counted twice

    // An empty file shows no size text.
    MakeFile(Scratch("empty"), 0);
    QVERIFY(w->AddDroppedPaths({Scratch("empty")}).isEmpty());
    QCOMPARE(w->lvwFiles->topLevelItem(w->lvwFiles->topLevelItemCount() - 1)->text(2), QString());

    // Remove takes the selected row, Clear all of them.
    const int rows = w->lvwFiles->topLevelItemCount();
    w->cmdRemoveFilesClick();  // nothing selected: nothing removed
    QCOMPARE(w->lvwFiles->topLevelItemCount(), rows);
    w->lvwFiles->setCurrentItem(w->lvwFiles->topLevelItem(0));
    w->cmdRemoveFilesClick();
    QCOMPARE(w->lvwFiles->topLevelItemCount(), rows - 1);
    QCOMPARE(w->NewBytes(), qint64(4000 + 5 + (root ? 7 : 0)));
    QVERIFY(w->lblTotalCDSize->text().endsWith("New: " + TfrmMain::FormatSize(w->NewBytes())));
    w->cmdClearFilesClick();
    QCOMPARE(w->lvwFiles->topLevelItemCount(), 0);
    QVERIFY(w->lblTotalCDSize->text().endsWith("New: 0 bytes"));
  }

  // A file manager's drop: text/uri-list of two folders becomes two rows.
  void uriListDropFromAnotherProgram() {
    auto w = Window();
    for (const char *d : {"drop one", "drop two/sub"})
      QDir().mkpath(Scratch(d));
    MakeFile(Scratch("drop one/a"), 100);
    MakeFile(Scratch("drop two/sub/b"), 2000);
    MakeFile(Scratch("drop two/c"), 30);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(Scratch("drop one")), QUrl::fromLocalFile(Scratch("drop two"))});
    const QPointF at = w->lvwFiles->viewport()->rect().center();
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->lvwFiles->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->lvwFiles->viewport(), &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(w->lvwFiles->topLevelItemCount(), 2);
    QCOMPARE(w->lvwFiles->topLevelItem(0)->text(1), Scratch("drop one/"));
    QCOMPARE(w->lvwFiles->topLevelItem(0)->text(2), QString("100"));
    QCOMPARE(w->lvwFiles->topLevelItem(1)->text(1), Scratch("drop two/"));
    QCOMPARE(w->lvwFiles->topLevelItem(1)->text(2), QString("2,030"));
    QVERIFY(w->lblTotalCDSize->text().endsWith("New: 2.08 KB"));
    QVERIFY(messages_.isEmpty());
    // Text that names no file is not a drop of files.
    QMimeData text;
    text.setText("just words");
    QDragEnterEvent other(at.toPoint(), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->lvwFiles->viewport(), &other);
    QVERIFY(!other.isAccepted());
  }

  void panelsCollapseAndExpand() {
    auto w = Window();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    const int container = w->pnlContainer->height();
    QTest::mouseClick(w->lblHeaderSettings, Qt::LeftButton);
    QTest::mouseClick(w->lblHeaderBurn, Qt::LeftButton);
    QTRY_COMPARE(w->pnlSettings->height(), 20);
    QTRY_COMPARE(w->pnlBurn->height(), 20);
    QTRY_COMPARE(w->pnlFiles->height(), container - 40);
    QCOMPARE(w->pnlSettings->property("Tag").toInt(), 1);
    Shot(w.get(), "main-window-collapsed");
    QTest::mouseClick(w->lblHeaderBurn, Qt::LeftButton);
    QTRY_COMPARE(w->pnlBurn->height(), 100);
    QTRY_COMPARE(w->pnlFiles->height(), container - 120);
    QTest::mouseClick(w->lblHeaderSettings, Qt::LeftButton);
    QTRY_COMPARE(w->pnlSettings->height(), 140);
  }

  void settingsReachTheControls() {
    TOptions o = options_;
    o.CacheSize = 0;
    o.SavePath = false;
    o.ImportSession = true;
    o.VolumeLabel = "FROM SETTINGS";
    o.SessionNo = "-1";
    {
      TfrmMain w(o);
      QCOMPARE(w.sldCacheSize->value(), 2);
      QCOMPARE(w.lblCacheSize->text(), QString("0"));  // the position did not change
      QCOMPARE(w.chkPathInfo->checkState(), Qt::Unchecked);
      QVERIFY(w.txtSession->isEnabled());
      QCOMPARE(w.txtSession->text(), QString("-1"));
      // The drive's selection gives the label the medium's volume name.
      QTRY_VERIFY_WITH_TIMEOUT(!w.DriveJobRunning(), 60000);
      QCOMPARE(w.txtVolumeLabel->text(), QString());
    }
    o.CacheSize = 8 * 1048576;
    TfrmMain w(o);
    QCOMPARE(w.lblCacheSize->text(), QString(" 8 MB"));
    w.sldCacheSize->setValue(64);
    QCOMPARE(w.lblCacheSize->text(), QString("64 MB"));
    w.chkImportSession->setChecked(false);
    QVERIFY(!w.txtSession->isEnabled());
    QCOMPARE(w.chkPathInfo->isTristate(), true);
  }

  void bootableAsksForTheImage() {
    auto w = Window();
    QString answer;
    QString preset;
    TfrmMain::BootImageChooser = [&](QWidget *, const QString &p) {
      preset = p;
      return answer;
    };
    w->lblBootable->setText("/old.img");
    w->chkBootable->setChecked(true);  // cancelled
    QCOMPARE(preset, QString("/old.img"));
    QVERIFY(!w->chkBootable->isChecked());
    QCOMPARE(w->lblBootable->text(), QString("/old.img"));
    answer = "/new.img";
    w->chkBootable->setChecked(true);
    QVERIFY(w->chkBootable->isChecked());
    QCOMPARE(w->lblBootable->text(), QString("/new.img"));
    w->chkBootable->setChecked(false);  // clearing keeps the caption
    QCOMPARE(w->lblBootable->text(), QString("/new.img"));
    TfrmMain::BootImageChooser = nullptr;
  }

  void firstRunText() {
    TOptions o = options_;
    o.FirstRun = true;
    o.FirstRunURL = o.AllFirstRunURL = "http://127.0.0.1:9/";  // nothing listens there
    TfrmMain w(o);
    w.LiveUpdateText("firstrun", "F");
    w.LiveUpdateText("firstrun", "false");
    w.LiveUpdateText("allfirstrun", "f");
    QVERIFY(o.FirstRun);
    w.LiveUpdateText("firstrun", " \tf \r\n");
    QVERIFY(!o.FirstRun);
    TOptions stored;
    stored.LoadOptions(kOptionsBasePath);
    QVERIFY(!stored.FirstRun);  // saved at once
    QTRY_VERIFY_WITH_TIMEOUT(!w.DriveJobRunning(), 60000);
  }

  // The erase reports on the window's thread; closing the window waits for
  // it while the report is queued, and must not hang.
  void closingDuringAnEraseDoesNotDeadlock() {
    QVERIFY(Vdrive({"add", "rw3", "--model", "cdrw-writer"}));
    QVERIFY(Vdrive({"insert", "rw3", "--media", "CD-RW"}));
    auto w = Window();
    w->cmbDrives->setCurrentIndex(w->cmbDrives->findText(",rw3 ", Qt::MatchContains));
    w->RefreshDrive();
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    ov::SetTimeScale(0.05);
    QVERIFY(w->orvBurn->EraseDisc(1));
    QVERIFY(w->orvBurn->Erasing());
    QElapsedTimer t;
    t.start();
    w.reset();
    ov::SetTimeScale(1.0);
    QVERIFY2(t.elapsed() < 120000, "closing took too long");
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
