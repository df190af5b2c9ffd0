// What the window tells the user, against the command line and the
// recorder: the space of a disc a failed burn left, the note of a name
// changed to fit the image, and message boxes with very long names.
#include "WindowFixture.h"
#include "uFrmDiscInfo.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <unistd.h>

namespace {

// What a program prints, standard error included; empty when it failed.
QString Output(const QString &program, const QStringList &args) {
  const QString path = QDir::tempPath() + QString("/skarvo-info-%1.txt").arg(getpid());
  QStringList quoted;
  for (const QString &a : QStringList{program} + args)
    quoted << "'" + QString(a).replace("'", "'\\''") + "'";
  const bool ran = RunProgram("/bin/sh", {"-c", quoted.join(' ') + " 2>&1"}, 120000, path);
  QFile f(path);
  const QString out = f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  f.remove();
  return ran ? out : QString();
}

QString Skarvo(const QStringList &args) { return Output(qEnvironmentVariable("SKARVO"), args); }

// The recorder's end of the data on the drive's disc (`vdrive list`), in sectors.
qint64 RecordedSectors(const QString &drive) {
  for (const QString &line : Skarvo({"vdrive", "list"}).split('\n')) {
    const QStringList f = line.split(' ', Qt::SkipEmptyParts);
    if (f.size() > 2 && f[1] == drive)
      return f[f.size() - 2].toLongLong();
  }
  return -1;
}

QString Captured(const QString &text, const QString &pattern) {
  const QRegularExpressionMatch m = QRegularExpression(pattern, QRegularExpression::MultilineOption).match(text);
  return m.hasMatch() ? m.captured(1) : QString();
}

} // namespace

class InfoWindowTest : public QObject {
  Q_OBJECT
  TWindowFixture fx_;

  QString Scratch(const QString &n) const { return fx_.Scratch(n); }

private slots:
  void initTestCase() {
    fx_.Setup();
    QVERIFY(QDir().mkpath(Scratch("big")));
    QFile f(Scratch("big/data.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(QByteArray(4 << 20, 'd')) == 4 << 20);
  }
  void cleanupTestCase() { RemoveSyncDispatcher(); }
  void init() { fx_.Reset(); }

  // A burn a write error stopped part way leaves a damaged open track. Its
  // session is what was recorded, and nothing more can be written to the
  // disc: the window and `skarvo info` say so alike.
  void damagedTrackSpace_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("media");
    QTest::newRow("CD-R") << "dvd-writer" << "CD-R";
    QTest::newRow("DVD-R") << "dvd-writer" << "DVD-R";
    QTest::newRow("DVD+R") << "dvd-writer" << "DVD+R";
    QTest::newRow("BD-R") << "bd-writer" << "BD-R";
  }
  void damagedTrackSpace() {
    QFETCH(QString, model);
    QFETCH(QString, media);
    const QString drive = "dmg" + media.toLower().replace("+", "plus").remove('-');
    auto w = fx_.Window(drive, model, media);
    QVERIFY(TWindowFixture::Vdrive({"fault", drive, "writeerror", "--lba", "512", "--count", "-1"}));
    const QString burn = Skarvo({"burn", "--drive", drive, Scratch("big")});
    QVERIFY2(burn.isEmpty(), "the burn through a write error succeeded");
    QVERIFY(TWindowFixture::Vdrive({"fault", drive, "--clear"}));

    const QString info = Skarvo({"info", "--drive", drive});
    const QString freeText = Captured(info, "^Free Space  : ([^,]*),");
    const QString usedText = Captured(info, "^Used Space  : ([^,]*),");
    const QStringList row = Captured(info, "^(1 .*)$").split(' ', Qt::SkipEmptyParts);
    QVERIFY2(row.size() == 5, qPrintable(info));
    const qint64 start = row[1].toLongLong(), sectors = row[2].toLongLong();
    const qint64 recorded = RecordedSectors(drive);
    // The session ends where the recorder's data ends, within the track's
    // run-out on CD; Used counts the same sectors.
    QVERIFY2(sectors > 0 && start + sectors >= recorded - 2 && start + sectors <= recorded + 2 && recorded <= 600,
             qPrintable(info + QString("recorded %1").arg(recorded)));
    QCOMPARE(usedText, QString::fromStdString(ov::FormatFloat("#,##0.00 MB", (start + sectors) / 512.0)));
    QCOMPARE(freeText, QString("0.00 MB"));

    w->RefreshDrive();
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    QCOMPARE(w->UsedBytes(), (start + sectors) * 2048);
    TfrmDiscInfo dlg(w.get());
    QVERIFY(dlg.Fill());
    QCOMPARE(dlg.lvwSessions->topLevelItemCount(), 1);
    QCOMPARE(dlg.lvwSessions->topLevelItem(0)->text(1), row[1]);
    QCOMPARE(dlg.lvwSessions->topLevelItem(0)->text(2), row[3] + " MB");
    QVERIFY2(dlg.lblFreeSpace->text().startsWith(freeText + ","), qPrintable(dlg.lblFreeSpace->text()));
    QVERIFY2(dlg.lblUsedSpace->text().startsWith(usedText + ","), qPrintable(dlg.lblUsedSpace->text()));
  }

  // Without Rock Ridge a name too long for Joliet is stored shortened; the
  // window's question and result line give the note the command line prints.
  void shortenedNameNoteAsTheCommandLine() {
    const QString longName = QString(150, 'n') + ".txt";
    QVERIFY(QDir().mkpath(Scratch("longname")));
    QFile f(Scratch("longname/" + longName));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("long");
    f.close();
    const QString cli = Skarvo({"build-iso", "--no-rock-ridge", "-o", Scratch("cli.iso"), Scratch("longname")});
    const QString note = Captured(cli, "(\\S*" + QString(20, 'n') + "\\S* stored as \"[^\"]*\")");
    QVERIFY2(!note.isEmpty(), qPrintable(cli));
    const QString stored = Captured(note, "stored as \"([^\"]*)\"");
    QVERIFY(stored.size() < longName.size());

    auto w = fx_.Window("rename", "dvd-writer", "DVD+RW");
    QVERIFY(w->AddSourceRow(Scratch("longname")));
    w->chkPathInfo->setCheckState(Qt::Unchecked);
    w->chkRockRidge->setChecked(false);
    w->chkJoliet->setChecked(true);
    fx_.Messages.clear();
    w->cmdBurnClick();
    TWindowFixture::WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);
    QCOMPARE(fx_.Messages[0].Text, QString("Burn process completed."));
    QCOMPARE(fx_.Questions.size(), 1);
    QVERIFY2(fx_.Questions[0].contains("Note: " + note), qPrintable(fx_.Questions[0]));
    QVERIFY2(w->lblResult->text().contains("Note: " + note), qPrintable(w->lblResult->text()));
    // The disc's Joliet tree holds the name the note gives.
    QVERIFY(TWindowFixture::Vdrive({"export", "rename", Scratch("rename.iso")}));
    const QString listing = Output("isoinfo", {"-J", "-f", "-i", Scratch("rename.iso")});
    QStringList names;
    for (const QString &line : listing.split('\n'))
      names << line.section(';', 0, 0);  // without the version
    QVERIFY2(names.contains("/" + stored), qPrintable(listing));
  }

  // A message or question naming a 200-character file among many others:
  // the box wraps the name, keeps to the screen, shows the first lines and
  // the question, and hands the whole text in its details.
  void longNamesFitTheMessageBox_data() {
    QTest::addColumn<bool>("question");
    QTest::newRow("message") << false;
    QTest::newRow("question") << true;
  }
  void longNamesFitTheMessageBox() {
    QFETCH(bool, question);
    QStringList lines;
    const QString longName = "/home/user/" + QString(200, 'x') + ".bin";
    for (int i = 0; i < 60; ++i)
      lines << (i == 0 ? longName : QString("/srv/data/folder%1/file%1.txt").arg(i));
    const QString last = question ? "Do you want to write 1.00 MB to the disc ?" : "file59.txt";
    const QString text = "These files could not be extracted:\n" + lines.join('\n') + (question ? "\n\n" + last : "");
    const auto messageHook = TfrmMain::MessageHook;
    const auto questionHook = TfrmMain::QuestionHook;
    TfrmMain::MessageHook = nullptr;
    TfrmMain::QuestionHook = nullptr;
    bool checked = false;
    QTimer::singleShot(0, [&] {
      QMessageBox *box = nullptr;
      [&] {
        QVERIFY(QTest::qWaitFor([&] { return (box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())); },
                                30000));
        QVERIFY(QTest::qWaitForWindowExposed(box));
        auto *label = box->findChild<QLabel *>("qt_msgbox_label");
        QVERIFY(label);
        const QRect screen = box->screen()->availableGeometry();
        QVERIFY2(screen.contains(box->frameGeometry()), qPrintable(QString("%1x%2").arg(box->width()).arg(box->height())));
        // The longest piece the label cannot break, and all its lines, fit it.
        QVERIFY2(label->minimumSizeHint().width() <= label->width(),
                 qPrintable(QString("%1 > %2").arg(label->minimumSizeHint().width()).arg(label->width())));
        QVERIFY(label->heightForWidth(label->width()) <= label->height());
        QVERIFY(box->rect().contains(QRect(label->mapTo(box, QPoint(0, 0)), label->size())));
        QCOMPARE(box->detailedText(), text);
        const QString shown = label->text().remove(QChar(0x200B));
        QVERIFY(shown.startsWith(text.left(text.indexOf('\n') + 1) + lines[0] + "\n"));
        QVERIFY2(shown.endsWith(last), qPrintable(shown));
        const QString dir = qEnvironmentVariable("SKARVO_GUI_OUT");
        if (!dir.isEmpty())
          box->grab().save(dir + QString("/long-names-%1.png").arg(QTest::currentDataTag()));
        checked = true;
      }();
      if (box)
        box->done(question ? QMessageBox::Yes : QMessageBox::Ok);
    });
    if (question)
      QVERIFY(TfrmMain::AskYesNo(nullptr, text, "Confirm"));
    else
      TfrmMain::ShowMessage(nullptr, text, "Warning", QMessageBox::Warning);
    TfrmMain::MessageHook = messageHook;
    TfrmMain::QuestionHook = questionHook;
    QVERIFY(checked);
  }
};

QTEST_MAIN(InfoWindowTest)
#include "InfoWindowTest.moc"
