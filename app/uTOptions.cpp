#include "uTOptions.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

#include <memory>

namespace {

// The application part of "Software\<application>".
QString ApplicationName(const std::string &basePath) {
  const QString p = QString::fromStdString(basePath);
  const int slash = p.lastIndexOf(QLatin1Char('\\'));
  return slash >= 0 ? p.mid(slash + 1) : p;
}

std::unique_ptr<QSettings> OpenSettings(const std::string &basePath) {
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                     QStringLiteral("Skarvo"), ApplicationName(basePath));
}

// Booleans are stored as 0 or 1; any integer other than 0 reads as true.
// Text that is not an integer keeps the default.
void ReadBool(const QSettings &s, const char *name, bool &field) {
  const QVariant v = s.value(QLatin1String(name));
  bool ok = false;
  const qlonglong n = v.toString().trimmed().toLongLong(&ok);
  if (v.isValid() && ok)
    field = n != 0;
}

void ReadInt(const QSettings &s, const char *name, int32_t &field) {
  const QVariant v = s.value(QLatin1String(name));
  bool ok = false;
  const int n = v.toString().trimmed().toInt(&ok);
  if (v.isValid() && ok)
    field = n;
}

// A value that is a list (a name given several times) is of the wrong type.
void ReadString(const QSettings &s, const char *name, std::string &field) {
  const QVariant v = s.value(QLatin1String(name));
  if (v.isValid() && v.typeId() == QMetaType::QString)
    field = v.toString().toStdString();
}

} // namespace

std::string TOptions::SettingsFile(const std::string &basePath) {
  return OpenSettings(basePath)->fileName().toStdString();
}

std::string TOptions::DefaultExtractFolder() {
  // The program's own folder is read-only once installed: extracted files go
  // under the user's data folder instead.
  return (QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
          QStringLiteral("/skarvo/Extract"))
      .toStdString();
}

void TOptions::LoadOptions(const std::string &basePath) {
  *this = TOptions();
  FirstRun = true;
  ExtractFolder = DefaultExtractFolder();
  SavePath = CloseDisc = EjectDisc = JolietFS = QuickSaveISO = UnderRunProtection = RockRidge = true;
  SessionNo = "0";
  FirstRunURL = kDefaultFirstRunURL;
  AllFirstRunURL = kDefaultAllFirstRunURL;

  const auto settings = OpenSettings(basePath);
  QSettings &s = *settings;
  if (s.status() != QSettings::NoError)
    return;  // a damaged file: the defaults stand
  s.beginGroup(QStringLiteral("Options"));
  ReadBool(s, "FirstRun", FirstRun);
  ReadString(s, "ExtractFolder", ExtractFolder);
  ReadBool(s, "ArchiveFiles", ArchiveFiles);
  ReadBool(s, "ImportSession", ImportSession);
  ReadBool(s, "SavePath", SavePath);
  ReadBool(s, "CloseDisc", CloseDisc);
  ReadBool(s, "EjectDisc", EjectDisc);
  ReadBool(s, "JolietFS", JolietFS);
  ReadBool(s, "RockRidge", RockRidge);
  ReadBool(s, "RockRidgeKeepPermissions", RockRidgeKeepPermissions);
  ReadBool(s, "RockRidgeSymlinks", RockRidgeSymlinks);
  ReadBool(s, "Bootable", Bootable);
  ReadBool(s, "TestWrite", TestWrite);
  ReadBool(s, "QuickSaveISO", QuickSaveISO);
  ReadBool(s, "ShowFiles", ShowFiles);
  ReadBool(s, "UnderRunProtection", UnderRunProtection);
  ReadBool(s, "PerformOPC", PerformOPC);
  ReadString(s, "SessionNo", SessionNo);
  ReadString(s, "BootImage", BootImage);
  ReadString(s, "VolumeLabel", VolumeLabel);
  ReadInt(s, "CacheSize", CacheSize);
  ReadBool(s, "VerifyAfterBurn", VerifyAfterBurn);
  ReadString(s, "FirstRunURL", FirstRunURL);
  ReadString(s, "AllFirstRunURL", AllFirstRunURL);
  s.endGroup();
}

bool TOptions::SaveOptions(const std::string &basePath) const {
  const auto settings = OpenSettings(basePath);
  QSettings &s = *settings;
  // A damaged file is replaced as a whole rather than merged into.
  if (s.status() == QSettings::FormatError)
    s.clear();
  s.beginGroup(QStringLiteral("Options"));
  const auto b = [&](const char *name, bool v) { s.setValue(QLatin1String(name), v ? 1 : 0); };
  const auto t = [&](const char *name, const std::string &v) {
    s.setValue(QLatin1String(name), QString::fromStdString(v));
  };
  b("FirstRun", FirstRun);
  t("ExtractFolder", ExtractFolder);
  b("ArchiveFiles", ArchiveFiles);
  b("ImportSession", ImportSession);
  b("SavePath", SavePath);
  b("CloseDisc", CloseDisc);
  b("EjectDisc", EjectDisc);
  b("JolietFS", JolietFS);
  b("RockRidge", RockRidge);
  b("RockRidgeKeepPermissions", RockRidgeKeepPermissions);
  b("RockRidgeSymlinks", RockRidgeSymlinks);
  b("Bootable", Bootable);
  b("TestWrite", TestWrite);
  b("QuickSaveISO", QuickSaveISO);
  b("ShowFiles", ShowFiles);
  b("UnderRunProtection", UnderRunProtection);
  b("PerformOPC", PerformOPC);
  t("SessionNo", SessionNo);
  t("BootImage", BootImage);
  t("VolumeLabel", VolumeLabel);
  s.setValue(QStringLiteral("CacheSize"), CacheSize);
  b("VerifyAfterBurn", VerifyAfterBurn);
  t("FirstRunURL", FirstRunURL);
  t("AllFirstRunURL", AllFirstRunURL);
  s.endGroup();
  s.sync();
  return s.status() == QSettings::NoError;
}

bool TWindowPlacement::Load(const std::string &basePath) {
  const auto settings = OpenSettings(basePath);
  QSettings &s = *settings;
  if (s.status() != QSettings::NoError)
    return false;
  s.beginGroup(QStringLiteral("Window"));
  TWindowPlacement p;
  int32_t maximized = 0;
  ReadInt(s, "X", p.X);
  ReadInt(s, "Y", p.Y);
  ReadInt(s, "Width", p.Width);
  ReadInt(s, "Height", p.Height);
  ReadInt(s, "Maximized", maximized);
  s.endGroup();
  if (p.Width <= 0 || p.Height <= 0)
    return false;
  p.Maximized = maximized != 0;
  *this = p;
  return true;
}

bool TWindowPlacement::Save(const std::string &basePath) const {
  const auto settings = OpenSettings(basePath);
  QSettings &s = *settings;
  if (s.status() != QSettings::NoError)
    return false;  // a damaged file is left for SaveOptions to replace
  s.beginGroup(QStringLiteral("Window"));
  s.setValue(QStringLiteral("X"), X);
  s.setValue(QStringLiteral("Y"), Y);
  s.setValue(QStringLiteral("Width"), Width);
  s.setValue(QStringLiteral("Height"), Height);
  s.setValue(QStringLiteral("Maximized"), Maximized ? 1 : 0);
  s.endGroup();
  s.sync();
  return s.status() == QSettings::NoError;
}
