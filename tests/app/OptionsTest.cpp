// Settings: the round trip through the INI file and the defaults for a
// missing, empty, damaged or wrongly typed file.
#include "uTOptions.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class OptionsTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  const std::string base_ = "Software\\Skarvo CD & DVD Burner";

  QString File() const { return QString::fromStdString(TOptions::SettingsFile(base_)); }
  void Write(const QByteArray &text) {
    QDir().mkpath(QFileInfo(File()).absolutePath());
    QFile f(File());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
  }
  static void ExpectDefaults(const TOptions &o) {
    QVERIFY(o.FirstRun);
    QCOMPARE(o.ExtractFolder, TOptions::DefaultExtractFolder());
    QVERIFY(!o.ArchiveFiles && !o.ImportSession && !o.Bootable && !o.TestWrite && !o.ShowFiles &&
            !o.PerformOPC && !o.VerifyAfterBurn);
    QVERIFY(o.SavePath && o.CloseDisc && o.EjectDisc && o.JolietFS && o.QuickSaveISO && o.UnderRunProtection);
    QCOMPARE(o.SessionNo, std::string("0"));
    QVERIFY(o.BootImage.empty() && o.VolumeLabel.empty());
    QCOMPARE(o.CacheSize, 0);
    QCOMPARE(o.FirstRunURL, std::string(kDefaultFirstRunURL));
  }

private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home_.path() + "/data").toUtf8());
    QVERIFY(File().startsWith(home_.path()));
    QVERIFY(File().endsWith("Skarvo/Skarvo CD & DVD Burner.ini"));
  }
  void init() { QFile::remove(File()); }

  void missingFileGivesDefaultsAndSaveWritesAllValues() {
    TOptions o;
    o.LoadOptions(base_);
    ExpectDefaults(o);
    QVERIFY(o.SaveOptions(base_));
    QSettings s(File(), QSettings::IniFormat);
    s.beginGroup("Options");
    QCOMPARE(s.childKeys().size(), 24);  // eighteen values, the two addresses, the verify box, Rock Ridge's three
    QCOMPARE(s.value("FirstRun").toString(), QString("1"));
    QCOMPARE(s.value("RockRidge").toString(), QString("1"));
    QCOMPARE(s.value("RockRidgeKeepPermissions").toString(), QString("0"));
    QCOMPARE(s.value("PerformOPC").toString(), QString("0"));
  }

  void roundTripKeepsEveryValue() {
    TOptions o;
    o.LoadOptions(base_);
    o.FirstRun = false;
    o.ExtractFolder = "/tmp/x, with comma";
    o.ArchiveFiles = o.ImportSession = o.Bootable = o.TestWrite = o.ShowFiles = o.PerformOPC = true;
    o.VerifyAfterBurn = true;
    o.SavePath = o.CloseDisc = o.EjectDisc = o.JolietFS = o.QuickSaveISO = o.UnderRunProtection = false;
    o.SessionNo = "-1";
    o.BootImage = "/boot/floppy image.img";
    o.VolumeLabel = "Ünïcode LABEL";
    o.CacheSize = 33554432;
    o.FirstRunURL = "http://127.0.0.1:1/a";
    QVERIFY(o.SaveOptions(base_));
    TOptions r;
    r.LoadOptions(base_);
    QCOMPARE(r.FirstRun, false);
    QCOMPARE(r.ExtractFolder, o.ExtractFolder);
    QVERIFY(r.ArchiveFiles && r.ImportSession && r.Bootable && r.TestWrite && r.ShowFiles && r.PerformOPC);
    QVERIFY(r.VerifyAfterBurn);
    QVERIFY(!r.SavePath && !r.CloseDisc && !r.EjectDisc && !r.JolietFS && !r.QuickSaveISO &&
            !r.UnderRunProtection);
    QCOMPARE(r.SessionNo, o.SessionNo);
    QCOMPARE(r.BootImage, o.BootImage);
    QCOMPARE(r.VolumeLabel, o.VolumeLabel);
    QCOMPARE(r.CacheSize, o.CacheSize);
    QCOMPARE(r.FirstRunURL, o.FirstRunURL);
  }

  void emptyFileGivesDefaults() {
    Write("");
    TOptions o;
    o.LoadOptions(base_);
    ExpectDefaults(o);
  }

  void damagedFileGivesDefaultsAndIsReplacedOnSave() {
    Write(QByteArray("[Options\nFirstRun=0\n\x01\x02\xff\xfe=\"unterminated\n[[[", 40));
    TOptions o;
    o.LoadOptions(base_);
    QVERIFY(o.FirstRun);  // the damaged file's value is not taken
    o.VolumeLabel = "AFTER";
    QVERIFY(o.SaveOptions(base_));
    TOptions r;
    r.LoadOptions(base_);
    QCOMPARE(r.VolumeLabel, std::string("AFTER"));
  }

  void wrongTypesFallBackOneByOne() {
    Write("[Options]\nFirstRun=yes\nCloseDisc=0\nCacheSize=lots\nPerformOPC=7\nSessionNo=1, 2\n"
          "VolumeLabel=KEPT\nTestWrite=\n");
    TOptions o;
    o.LoadOptions(base_);
    QVERIFY(o.FirstRun);                       // not an integer: default
    QVERIFY(!o.CloseDisc);                     // stored 0
    QCOMPARE(o.CacheSize, 0);                  // not an integer: default
    QVERIFY(o.PerformOPC);                     // any integer but 0 is true
    QCOMPARE(o.SessionNo, std::string("0"));   // a list is not a string
    QCOMPARE(o.VolumeLabel, std::string("KEPT"));
    QVERIFY(!o.TestWrite);                     // empty: default
  }

  void unwritableFolderReportsFailureAndKeepsRunning() {
    QTemporaryDir ro;
    QVERIFY(QFile::setPermissions(ro.path(), QFile::ReadOwner | QFile::ExeOwner));
    qputenv("XDG_CONFIG_HOME", (ro.path() + "/sub").toUtf8());
    TOptions o;
    o.LoadOptions(base_);
    ExpectDefaults(o);
    if (::geteuid() != 0)  // root writes anywhere
      QVERIFY(!o.SaveOptions(base_));
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
    QFile::setPermissions(ro.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
};

QTEST_GUILESS_MAIN(OptionsTest)
#include "OptionsTest.moc"
