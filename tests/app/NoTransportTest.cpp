// The window when no transport can be initialised: this test is built into
// a folder of its own and runs there, so the ASPI library is found nowhere
// and there is no SCSI drive node to fall back on. The window says so once,
// lists no drive, and what needs no drive still works.
#include "WindowFixture.h"

#include <QMessageBox>

#include <dlfcn.h>

class NoTransportTest : public QObject {
  Q_OBJECT
  TWindowFixture fx_;

private slots:
  void initTestCase() {
    if (QFileInfo::exists("/dev/sr0"))
      QSKIP("this machine has a SCSI CD drive, through which the transport initialises");
    // Nothing here may find the library, or the test shows nothing.
    QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/libwnaspi32.so"));
    QVERIFY(!QFileInfo::exists("libwnaspi32.so"));
    QVERIFY(!dlopen("libwnaspi32.so", RTLD_NOW | RTLD_LOCAL));
    fx_.Setup(false);
    TWindowFixture::MakeTree(fx_.Scratch("src"));
  }
  void cleanupTestCase() { RemoveSyncDispatcher(); }

  void windowReportsTheMissingTransportAndStaysUsable() {
    TfrmMain w(fx_.Options);
    QTRY_VERIFY_WITH_TIMEOUT(!w.DriveJobRunning(), 60000);
    QCoreApplication::processEvents();
    QCOMPARE(fx_.Messages.size(), 1);
    QCOMPARE(fx_.Messages[0].Text, QString("Error initializing ASPI Layer."));
    QCOMPARE(fx_.Messages[0].Caption, QString("Warning"));
    QCOMPARE(fx_.Messages[0].Icon, int(QMessageBox::Warning));
    QCOMPARE(w.cmbDrives->count(), 0);
    QVERIFY(w.cmbDrives->isEnabled());
    QVERIFY(!w.Busy());

    // An image file needs no drive.
    QVERIFY(w.AddSourceRow(fx_.Scratch("src")));
    fx_.Path = fx_.Scratch("nodrive.iso");
    fx_.Messages.clear();
    w.cmdBuildISOClick();
    TWindowFixture::WaitIdle(&w);
    QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
    QCOMPARE(fx_.Messages[0].Text, QString("Burn process completed."));
    QVERIFY(QFileInfo(fx_.Path).size() > 16 * 2048);

    // A burn (refused before its question), an erase and an eject end
    // with their errors instead of hanging.
    fx_.Messages.clear();
    w.cmdBurnClick();
    TWindowFixture::WaitIdle(&w);
    QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
    QVERIFY2(fx_.Messages[0].Text.contains("NO DISC IN THE DRIVE"), qPrintable(fx_.LastMessage()));
    QVERIFY(fx_.Questions.isEmpty());
    fx_.Messages.clear();
    w.cmdQuickEraseClick();
    TWindowFixture::WaitIdle(&w);
    QCOMPARE(fx_.LastMessage(), QString("This disc is not erasable."));
    w.cmdEjectClick();
    TWindowFixture::WaitIdle(&w);
    QCOMPARE(fx_.LastMessage(), QString("Unable to eject the device."));
    QVERIFY(!w.Busy());
  }
};

QTEST_MAIN(NoTransportTest)
#include "NoTransportTest.moc"
