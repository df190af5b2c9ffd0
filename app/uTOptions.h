// The program's persistent settings, kept as an INI file in the user's
// configuration folder (organisation "Skarvo", application
// "Skarvo CD & DVD Burner", group "Options").
#pragma once

#include <cstdint>
#include <string>

class TOptions {
public:
  bool FirstRun = false;
  std::string ExtractFolder;
  bool ArchiveFiles = false;
  bool ImportSession = false;
  bool SavePath = false;
  bool CloseDisc = false;
  bool EjectDisc = false;
  bool JolietFS = false;
  // Rock Ridge in the primary tree (on by default); kept modes and owners
  // instead of rational ones; symbolic links stored as links.
  bool RockRidge = false;
  bool RockRidgeKeepPermissions = false;
  bool RockRidgeSymlinks = false;
  bool Bootable = false;
  bool TestWrite = false;
  bool QuickSaveISO = false;
  bool ShowFiles = false;
  bool UnderRunProtection = false;
  bool PerformOPC = false;
  std::string SessionNo;
  std::string BootImage;
  std::string VolumeLabel;
  int32_t CacheSize = 0;
  // Read each burned session back and compare it with what was sent.
  bool VerifyAfterBurn = false;
  // Where the two first-run texts are fetched from.
  std::string FirstRunURL;
  std::string AllFirstRunURL;

  // Gives every field its default, then the stored value where one exists
  // with the right type. A missing, unreadable or damaged file gives the
  // defaults. basePath names the settings: "Software\<application>".
  void LoadOptions(const std::string &basePath);
  // Writes every field; a file that cannot be written is left alone.
  // Returns false when the settings could not be stored.
  bool SaveOptions(const std::string &basePath) const;

  // The INI file that basePath stands for.
  static std::string SettingsFile(const std::string &basePath);
  static std::string DefaultExtractFolder();
};

// The main window's place and size, kept in the same file as the options but
// in a group of its own ("Window"), written when the window closes.
struct TWindowPlacement {
  int X = 0, Y = 0, Width = 0, Height = 0;
  bool Maximized = false;
  // False (and the fields untouched) when nothing sound is stored.
  bool Load(const std::string &basePath);
  bool Save(const std::string &basePath) const;
};

// The base path the program passes to LoadOptions and SaveOptions.
inline constexpr const char *kOptionsBasePath = "Software\\Skarvo CD & DVD Burner";
inline constexpr const char *kDefaultFirstRunURL = "http://skarvo.org/firstrun.txt";
inline constexpr const char *kDefaultAllFirstRunURL = "http://skarvo.org/allfirstrun.txt";
