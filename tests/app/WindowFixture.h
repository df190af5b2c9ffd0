// What the window tests share: a scratch folder for the virtual recorder and
// the settings, the message, question and path seams of the window, and a
// window on a chosen drive.
#pragma once

#include "RunProgram.h"
#include "ovSync.h"
#include "uAppStart.h"
#include "uFrmMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>
#include <memory>

struct TShown {
  QString Text, Caption;
  int Icon;
};

class TWindowFixture {
public:
  QTemporaryDir Dir;
  TOptions Options;
  QList<TShown> Messages;
  QStringList Questions;
  bool Answer = true;  // to every question
  QString Path;        // the name given for "Save ISO" and "Burn ISO"

  QString Scratch(const QString &name) const { return Dir.path() + "/" + name; }

  // The recorder library stays loaded for the whole test, as it does in the
  // program: each window's component loads and unloads it, and an unload
  // would drop the library's process-wide caches.
  static void KeepRecorderLoaded() {
    const QString lib = QCoreApplication::applicationDirPath() + "/libwnaspi32.so";
    QVERIFY(dlopen(lib.toUtf8().constData(), RTLD_NOW | RTLD_LOCAL));
  }

  // Call from initTestCase; withRecorder false for a test run where the
  // recorder library is out of reach.
  void Setup(bool withRecorder = true) {
    if (withRecorder)
      KeepRecorderLoaded();
    QVERIFY(Dir.isValid());
    qputenv("SKARVO_VDRIVES", Scratch("vdrives").toUtf8());
    qputenv("XDG_CONFIG_HOME", Scratch("config").toUtf8());
    qputenv("XDG_DATA_HOME", Scratch("data").toUtf8());
    qputenv("SKARVO_VDRIVE_CLOCK", "50");
    QLocale::setDefault(QLocale::c());
    InstallSyncDispatcher();
    TfrmMain::MessageHook = [this](const QString &t, const QString &c, int i) { Messages << TShown{t, c, i}; };
    TfrmMain::QuestionHook = [this](const QString &t, const QString &) {
      Questions << t;
      return Answer;
    };
    TfrmMain::PathHook = [this](const QString &, const QString &) { return Path; };
    Options.LoadOptions(kOptionsBasePath);
    Options.FirstRun = false;
    Options.EjectDisc = false;
    Options.ExtractFolder = Scratch("extract").toStdString();
  }
  // Call from init.
  void Reset() {
    Messages.clear();
    Questions.clear();
    Answer = true;
    ov::SetTimeScale(1.0);
  }
  QString LastMessage() const { return Messages.isEmpty() ? QString() : Messages.last().Text; }

  static bool Vdrive(const QStringList &args) { return RunSkarvo(QStringList{"vdrive"} + args); }
  static bool Skarvo(const QStringList &args) { return RunSkarvo(args, 120000); }
  static QString DriveSetting(const QString &drive, const QString &key) {
    QFile f(qEnvironmentVariable("SKARVO_VDRIVES") + "/" + drive + "/settings");
    if (!f.open(QIODevice::ReadOnly))
      return {};
    for (const QByteArray &line : f.readAll().split('\n'))
      if (line.startsWith((key + " = ").toUtf8()))
        return QString::fromUtf8(line.mid(key.size() + 3)).trimmed();
    return {};
  }
  // A window on drive `name` (added with the model and medium given; extra
  // arguments go to the insert) whose selection has finished.
  std::unique_ptr<TfrmMain> Window(const QString &name, const QString &model, const QString &media,
                                   const QStringList &insertArgs = {}) {
    [&] {
      QVERIFY(Vdrive({"add", name, "--model", model}));
      QVERIFY(Vdrive(QStringList{"insert", name, "--media", media} + insertArgs));
    }();
    auto w = std::make_unique<TfrmMain>(Options);
    [&] {
      QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
      const int i = w->cmbDrives->findText("," + name + " ", Qt::MatchContains);
      QVERIFY(i >= 0);
      w->cmbDrives->setCurrentIndex(i);
      w->RefreshDrive();
      QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
    }();
    return w;
  }
  // Waits until the operation has ended and its message was shown.
  static void WaitIdle(TfrmMain *w) {
    QTRY_VERIFY_WITH_TIMEOUT(!w->Busy(), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(!w->DriveJobRunning(), 60000);
  }
  static void MakeTree(const QString &root) {
    QVERIFY(QDir().mkpath(root + "/sub/deep"));
    QVERIFY(QDir().mkpath(root + "/empty"));
    for (const QString &f : {QString("a.txt"), QString("sub/b.txt"), QString("sub/deep/c.bin")}) {
      QFile file(root + "/" + f);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(QByteArray(3000, 'x') + f.toUtf8());
    }
  }
  static QByteArray Contents(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
};
