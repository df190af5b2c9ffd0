// The window's layout and keyboard offscreen: no text clipped at the default
// size or on a small screen, placement inside the screen and remembered
// between runs, tab order, mnemonics, Delete, the volume label's placeholder,
// the help page without a browser or with one that fails, and the
// single-instance lock.
#include "WindowFixture.h"

#include "CDSizer.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenuBar>
#include <QScreen>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStyleOptionComboBox>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every visible label, button and check box whose text needs more room than
// it has; the drive list may shorten its text only when its tooltip holds it.
QStringList ClippedTexts(QWidget *top) {
  QStringList clipped;
  for (QWidget *w : top->findChildren<QWidget *>()) {
    if (!w->isVisible())
      continue;
    const QString name = w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName();
    if (auto *l = qobject_cast<QLabel *>(w); l && !l->text().isEmpty() && !l->wordWrap() && l->pixmap().isNull()) {
      const int need = l->fontMetrics().horizontalAdvance(l->text()) + 2 * l->margin() + std::max(0, l->indent());
      if (need > l->contentsRect().width())
        clipped << QString("%1 \"%2\" needs %3, has %4").arg(name, l->text()).arg(need).arg(l->contentsRect().width());
    } else if (auto *b = qobject_cast<QAbstractButton *>(w); b && !b->text().isEmpty()) {
      if (b->sizeHint().width() > b->width())
        clipped << QString("%1 \"%2\" needs %3, has %4").arg(name, b->text()).arg(b->sizeHint().width()).arg(b->width());
    } else if (auto *c = qobject_cast<QComboBox *>(w)) {
      QStyleOptionComboBox opt;
      opt.initFrom(c);
      const int room = c->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c).width();
      const int need = c->fontMetrics().horizontalAdvance(c->currentText()) + 2;
      if (need > room && c->toolTip() != c->currentText())
        clipped << QString("%1 \"%2\" needs %3, has %4, no tooltip").arg(name, c->currentText()).arg(need).arg(c->width());
    } else if (auto *t = qobject_cast<QTreeWidget *>(w)) {
      const QFontMetrics fm(t->font());
      for (int r = 0; r < t->topLevelItemCount(); ++r)
        for (int col = 1; col < t->columnCount(); ++col) {
          const int need = fm.horizontalAdvance(t->topLevelItem(r)->text(col)) + 8;
          if (need > t->columnWidth(col))
            clipped << QString("%1 row %2 column %3 needs %4, has %5").arg(name).arg(r).arg(col).arg(need).arg(t->columnWidth(col));
        }
    }
  }
  return clipped;
}

void Shot(QWidget *w, const QString &name) {
  const QString dir = qEnvironmentVariable("SKARVO_GUI_OUT");
  if (!dir.isEmpty())
    w->grab().save(dir + "/" + name + ".png");
}

} // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT
  TWindowFixture f_;

  // Texts as long as the window shows them in use.
  static void FillLongTexts(TfrmMain *w) {
    w->lblTotalCDSize->setText("Used Disc Space: 2,202.65 MB, New: 2,202.65 MB");
    w->lblMBWritten->setText("MB Written: 2,202.65/2,202.65");
    w->lblBurnState->setText("Building ISO...");
    w->cmbSpeed->addItem("48X (8,467 KB/s)");
    w->cmbSpeed->setCurrentIndex(w->cmbSpeed->count() - 1);
    auto *row = new QTreeWidgetItem;
    row->setText(1, "/home/user/a very long folder name/and a file name in it.bin");
    row->setText(2, "2,306,867,104,512");
    w->lvwFiles->addTopLevelItem(row);
    w->lvwFiles->FitSizeColumn();
  }

private slots:
  void initTestCase() { f_.Setup(); }
  void init() { f_.Reset(); }

  void noTextClippedAtTheDefaultSizeAndOnASmallScreen() {
    auto w = f_.Window("cd", "cdrw-writer", "CD-R");
    FillLongTexts(w.get());
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->resize(TfrmMain::kDefaultWidth, TfrmMain::kDefaultHeight);
    QTRY_COMPARE(w->size(), QSize(642, 636));
    QTest::qWait(0);
    Shot(w.get(), "layout-642x636");
    QStringList clipped = ClippedTexts(w.get());
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("\n")));
    // The offscreen screen is 800x600: the window opens inside it.
    const QRect avail = w->screen()->availableGeometry();
    QCOMPARE(avail.size(), QSize(800, 600));
    w.reset();
    auto small = std::make_unique<TfrmMain>(f_.Options);
    QTRY_VERIFY_WITH_TIMEOUT(!small->DriveJobRunning(), 60000);
    FillLongTexts(small.get());
    small->show();
    QVERIFY(QTest::qWaitForWindowExposed(small.get()));
    QTRY_VERIFY(avail.contains(small->frameGeometry()));
    Shot(small.get(), "layout-800x600");
    clipped = ClippedTexts(small.get());
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("\n")));
    for (QWidget *c : {static_cast<QWidget *>(small->cmdAbort), static_cast<QWidget *>(small->prgProgress)})
      QVERIFY(avail.contains(QRect(c->mapToGlobal(QPoint(0, 0)), c->size())));
  }

  // The place and size are stored in a group of their own when the window
  // closes and come back at the next start; a place off the screen comes
  // back inside it. The options are not written by the window.
  void placementIsRememberedInsideTheScreen() {
    const QString ini = QString::fromStdString(TOptions::SettingsFile(kOptionsBasePath));
    {
      auto w = f_.Window("place", "cdrw-writer", "CD-R");
      w->show();
      QVERIFY(QTest::qWaitForWindowExposed(w.get()));
      w->resize(700, 580);
      w->move(40, 10);
      QTRY_COMPARE(w->size(), QSize(700, 580));
      w->chkJoliet->setChecked(!w->chkJoliet->isChecked());
    }
    QSettings s(ini, QSettings::IniFormat);
    QCOMPARE(s.value("Window/Width").toInt(), 700);
    QCOMPARE(s.value("Window/Height").toInt(), 580);
    QCOMPARE(s.value("Window/X").toInt(), 40);
    QVERIFY(!s.contains("Options/JolietFS") || s.value("Options/JolietFS").toInt() == int(f_.Options.JolietFS));
    {
      TfrmMain w(f_.Options);
      QCOMPARE(w.size(), QSize(700, 580));
      QCOMPARE(w.pos(), QPoint(40, 10));
      QTRY_VERIFY_WITH_TIMEOUT(!w.DriveJobRunning(), 60000);
    }
    s.setValue("Window/X", -3000);
    s.setValue("Window/Y", 5000);
    s.setValue("Window/Width", 4000);
    s.setValue("Window/Height", 3000);
    s.sync();
    {
      TfrmMain w(f_.Options);
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QTRY_VERIFY(w.screen()->availableGeometry().contains(w.frameGeometry()));
      QTRY_VERIFY_WITH_TIMEOUT(!w.DriveJobRunning(), 60000);
    }
    s.remove("Window");
    s.sync();
  }

  // Tab follows the layout; Alt+F opens File; Delete removes every selected
  // row; the empty label field shows the first entry's folder name.
  void keyboardAndTheVolumeLabel() {
    auto w = f_.Window("keys", "cdrw-writer", "CD-R");
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QList<QWidget *> chain;
    for (QWidget *x = w->cmdAddFiles->nextInFocusChain(); x != w->cmdAddFiles; x = x->nextInFocusChain())
      if ((x->focusPolicy() & Qt::TabFocus) && x->isVisibleTo(w.get()) && !x->objectName().isEmpty() &&
          !x->objectName().startsWith("qt_"))
        chain << x;
    const QList<QWidget *> want{w->cmdRemoveFiles, w->cmdClearFiles, w->chkPathInfo, w->lvwFiles,
                                w->txtVolumeLabel, w->chkJoliet, w->chkCloseDisc, w->chkImportSession,
                                w->txtSession, w->chkVerify, w->chkRockRidge, w->cmdRockRidge,
                                w->chkUnderrunProtection, w->chkTestWrite,
                                w->chkEject, w->chkOPC, w->chkQuickSaveISO, w->chkBootable,
                                w->chkArchiveOnly, w->sldCacheSize, w->cmdCloseTrack, w->cmbDrives,
                                w->cmbSpeed, w->cmdDiscInfo, w->cmdCapabilities, w->cmdEject,
                                w->cmdLoad, w->cmdBurn, w->cmdBuildISO, w->cmdBurnISO,
                                w->cmdQuickErase, w->cmdCompleteErase, w->cmdAbort};
    QStringList got, wanted;
    for (QWidget *x : chain)
      got << x->objectName();
    for (QWidget *x : want)
      wanted << x->objectName();
    QCOMPARE(got.mid(0, wanted.size()), wanted);

    auto *file = w->findChild<QMenu *>("mnuFile");
    QVERIFY(file);
    QTest::keyClick(w.get(), Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(file->isVisible());
    QTest::keyClick(file, Qt::Key_Escape);
    QTRY_VERIFY(!file->isVisible());
    QStringList noMnemonic;
    for (QPushButton *b : w->findChildren<QPushButton *>())
      if (!b->text().contains('&') && b->isVisible())
        noMnemonic << b->objectName();
    QVERIFY2(noMnemonic.isEmpty(), qPrintable(noMnemonic.join(' ')));

    QVERIFY(QDir().mkpath(f_.Scratch("Holiday Photos/day1")));
    for (const char *n : {"a", "b", "c"}) {
      QFile x(f_.Scratch(QString("Holiday Photos/day1/%1").arg(n)));
      QVERIFY(x.open(QIODevice::WriteOnly));
      x.write("x");
    }
    w->txtVolumeLabel->clear();
    QVERIFY(w->AddSourceRow(f_.Scratch("Holiday Photos/day1/a")));
    QVERIFY(w->AddSourceRow(f_.Scratch("Holiday Photos/")));
    QVERIFY(w->AddSourceRow(f_.Scratch("Holiday Photos/day1/c")));
    w->UpdateDiscSpace();
    QCOMPARE(w->txtVolumeLabel->placeholderText(), QString("day1"));
    QCOMPARE(w->VolumeLabelToUse(), QString("day1"));
    w->txtVolumeLabel->setText("MINE");
    QCOMPARE(w->VolumeLabelToUse(), QString("MINE"));
    w->txtVolumeLabel->clear();

    w->lvwFiles->setFocus();
    w->lvwFiles->topLevelItem(0)->setSelected(true);
    w->lvwFiles->topLevelItem(2)->setSelected(true);
    QTest::keyClick(w->lvwFiles, Qt::Key_Delete);
    QCOMPARE(w->lvwFiles->topLevelItemCount(), 1);
    QCOMPARE(w->lvwFiles->topLevelItem(0)->text(1), f_.Scratch("Holiday Photos/"));
    QCOMPARE(w->txtVolumeLabel->placeholderText(), QString("Holiday Photos"));
  }

  // An image named with a relative path goes to the home folder, never to
  // the working folder; the name offered is a full path named after the
  // label, and the image carries that label.
  void saveISOGoesToTheHomeFolderWithTheLabel() {
    const QString home = f_.Scratch("home");
    const QString work = f_.Scratch("work");
    QVERIFY(QDir().mkpath(home) && QDir().mkpath(work));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", home.toUtf8());
    const QString oldWork = QDir::currentPath();
    QDir::setCurrent(work);
    TWindowFixture::MakeTree(f_.Scratch("Music"));
    auto w = f_.Window("iso", "cdrw-writer", "CD-R");
    w->txtVolumeLabel->clear();
    QVERIFY(w->AddSourceRow(f_.Scratch("Music")));
    QString offered;
    TfrmMain::PathHook = [&](const QString &kind, const QString &preset) {
      offered = preset;
      return kind == "SaveISO" ? QString("gui.iso") : QString();
    };
    w->cmdBuildISOClick();
    TWindowFixture::WaitIdle(w.get());
    TfrmMain::PathHook = [this](const QString &, const QString &) { return f_.Path; };
    QDir::setCurrent(oldWork);
    qputenv("HOME", oldHome);
    QCOMPARE(offered, home + "/Music.iso");
    QVERIFY(!QFileInfo::exists(work + "/gui.iso"));
    QVERIFY2(QFileInfo(home + "/gui.iso").size() > 0, qPrintable(f_.LastMessage()));
    QProcess p;
    p.start("isoinfo", {"-d", "-i", home + "/gui.iso"});
    QVERIFY(p.waitForFinished(60000));
    const QString d = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(d.contains(QRegularExpression("Volume id: *MUSIC", QRegularExpression::CaseInsensitiveOption)),
             qPrintable(d));
  }

  // Escape presses Close Track; while the disc has an open session it asks
  // first, and No leaves the session open.
  void escapeAsksBeforeClosingAnOpenSession() {
    auto w = f_.Window("esc", "cdrw-writer", "CD-R");
    TWindowFixture::MakeTree(f_.Scratch("escsrc"));
    QVERIFY(w->AddSourceRow(f_.Scratch("escsrc")));
    w->chkCloseDisc->setChecked(false);
    QVERIFY(TWindowFixture::Vdrive({"fault", "esc", "writeerror", "--lba", "30", "--count", "-1"}));
    w->cmdBurnClick();
    TWindowFixture::WaitIdle(w.get());
    QVERIFY(TWindowFixture::Vdrive({"fault", "esc", "--clear"}));
    w->RefreshDrive();
    TWindowFixture::WaitIdle(w.get());
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    f_.Questions.clear();
    f_.Answer = false;
    QTest::keyClick(w.get(), Qt::Key_Escape);
    QCOMPARE(f_.Questions.size(), 1);
    QVERIFY2(f_.Questions[0].contains("open session"), qPrintable(f_.Questions[0]));
    w->RefreshDrive();
    TWindowFixture::WaitIdle(w.get());
    f_.Answer = true;
    QTest::keyClick(w.get(), Qt::Key_Escape);
    QCOMPARE(f_.Questions.size(), 2);
    w->RefreshDrive();
    TWindowFixture::WaitIdle(w.get());
    QTest::keyClick(w.get(), Qt::Key_Escape);
    QCOMPARE(f_.Questions.size(), 2);  // closed: nothing to ask
  }

  // Without a browser the help's address is shown.
  void helpWithoutABrowserShowsTheAddress() {
    auto w = f_.Window("help", "cdrw-writer", "CD-R");
    QUrl asked;
    TfrmMain::OpenUrlHook = [&](const QUrl &u) {
      asked = u;
      return false;
    };
    w->findChild<QAction *>("mnuHelpHelp")->trigger();
    TfrmMain::OpenUrlHook = nullptr;
    QVERIFY(asked.isValid());
    QCOMPARE(f_.Messages.size(), 1);
    QVERIFY(f_.LastMessage().contains(asked.toString()));
  }

  // With xdg-open present, its failure (exit 3: no browser) shows the
  // address, and its success shows nothing; the window never waits for it.
  void helpFollowsXdgOpen() {
    auto w = f_.Window("xdg", "cdrw-writer", "CD-R");
    const QString bin = f_.Scratch("xdg-bin");
    QVERIFY(QDir().mkpath(bin));
    {
      QFile script(bin + "/xdg-open");
      QVERIFY(script.open(QIODevice::WriteOnly));
      script.write("#!/bin/sh\nd=$(dirname \"$0\")\nprintf '%s\\n' \"$1\" >> \"$d/asked\"\nexit $(cat \"$d/status\")\n");
      QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.toUtf8() + ":" + path);
    QStringList asked;
    for (const QByteArray status : {"3", "0"}) {
      QFile f(bin + "/status");
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(status);
      f.close();
      f_.Messages.clear();
      w->findChild<QAction *>("mnuHelpHelp")->trigger();
      QTRY_VERIFY_WITH_TIMEOUT(!w->findChild<QProcess *>(), 30000);
      asked = QString::fromUtf8(TWindowFixture::Contents(bin + "/asked")).split('\n', Qt::SkipEmptyParts);
      QCOMPARE(asked.size(), status == "3" ? 1 : 2);
      QVERIFY2(asked.last().startsWith("https://"), qPrintable(asked.last()));
      if (status == "3") {
        QCOMPARE(f_.Messages.size(), 1);
        QVERIFY2(f_.LastMessage().contains(asked.last()), qPrintable(f_.LastMessage()));
      } else {
        QVERIFY2(f_.Messages.isEmpty(), qPrintable(f_.LastMessage()));
      }
    }
    qputenv("PATH", path);
  }

  // The lock: one per user and display, in a folder of the user's own that
  // is made private, never through a link, never in another user's folder.
  void instanceLockPerUserAndDisplay() {
    const QString tmp = f_.Scratch("tmp");
    QVERIFY(QDir().mkpath(tmp));
    qputenv("TMPDIR", tmp.toUtf8());
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("WAYLAND_DISPLAY");
    const QString own = tmp + QString("/skarvo-%1").arg(geteuid());
    qputenv("DISPLAY", ":7");
    const QString seven = QString::fromStdString(InstanceLockPath());
    QVERIFY2(seven.startsWith(own + "/"), qPrintable(seven));
    struct stat st {};
    QCOMPARE(lstat(own.toUtf8().constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0700);
    QCOMPARE(TakeInstanceLock(), TInstance::First);
    QCOMPARE(TakeInstanceLock(), TInstance::AlreadyRunning);
    qputenv("DISPLAY", ":7.0");
    QCOMPARE(TakeInstanceLock(), TInstance::AlreadyRunning);
    qputenv("DISPLAY", ":8");
    QVERIFY(QString::fromStdString(InstanceLockPath()) != seven);
    QCOMPARE(TakeInstanceLock(), TInstance::First);

    // A link planted where the lock goes is not followed.
    qputenv("DISPLAY", ":9");
    const QString target = f_.Scratch("victim");
    QVERIFY(QFile::link(target, QString::fromStdString(InstanceLockPath())));
    QCOMPARE(TakeInstanceLock(), TInstance::First);
    QVERIFY(!QFileInfo::exists(target));

    // A folder of that name that others can enter is not used.
    const QString other = f_.Scratch("tmp2");
    QVERIFY(QDir().mkpath(other + QString("/skarvo-%1").arg(geteuid())));
    QVERIFY(QFile::setPermissions(other + QString("/skarvo-%1").arg(geteuid()), QFileDevice::Permissions(0x7777)));
    qputenv("TMPDIR", other.toUtf8());
    QCOMPARE(QString::fromStdString(InstanceLockPath()), QString());
    if (geteuid() == 0) {  // one made by another user
      QVERIFY(QDir().mkpath(other + "/u"));
      qputenv("TMPDIR", (other + "/u").toUtf8());
      const QString theirs = other + QString("/u/skarvo-%1").arg(geteuid());
      QVERIFY(QDir().mkpath(theirs));
      QCOMPARE(chmod(theirs.toUtf8().constData(), 0700), 0);
      QCOMPARE(chown(theirs.toUtf8().constData(), 65534, 65534), 0);
      QCOMPARE(QString::fromStdString(InstanceLockPath()), QString());
    }
    // A private runtime folder is used as it is.
    const QString runtime = f_.Scratch("runtime");
    QVERIFY(QDir().mkpath(runtime));
    QCOMPARE(chmod(runtime.toUtf8().constData(), 0700), 0);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    QVERIFY(QString::fromStdString(InstanceLockPath()).startsWith(runtime + "/"));
    qunsetenv("TMPDIR");
  }
};

QTEST_MAIN(WindowLayoutTest)
#include "WindowLayoutTest.moc"
