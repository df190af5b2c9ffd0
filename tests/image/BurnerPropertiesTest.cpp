// Construction defaults and property setters of the burner component.
#include "ovCDBC.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

TEST(BurnerProperties, ConstructionDefaults) {
  TOrvBurner b;
  EXPECT_TRUE(b.WritePostGap);
  EXPECT_TRUE(b.JolietFileSystem);
  EXPECT_TRUE(b.FinalizeTrack);
  EXPECT_TRUE(b.UnderrunProtection);
  EXPECT_FALSE(b.ReplaceFile);
  EXPECT_FALSE(b.PerformOPC);
  EXPECT_FALSE(b.Bootable);
  EXPECT_EQ(b.CacheSize(), 4194304);
  EXPECT_EQ(b.Version(), "1.22");
  EXPECT_EQ(b.MaxFiles, 65535);
  EXPECT_EQ(b.MaxDirs, 8191);
  EXPECT_EQ(b.ImportSessionNumber, 0);
  EXPECT_EQ(b.DateCreation, 0);
  EXPECT_TRUE(b.IdVolume.empty());
  EXPECT_EQ(b.HeaderImage.Size(), 0);
  ASSERT_NE(b.Root(), nullptr);
  EXPECT_EQ(b.DirCount(), 0);
}

TEST(BurnerProperties, CacheSizeIsAtLeastTwoMebibytesInWholeSectors) {
  TOrvBurner b;
  b.SetCacheSize(1000000);
  EXPECT_EQ(b.CacheSize(), 2097152);
  b.SetCacheSize(5000000);
  EXPECT_EQ(b.CacheSize(), 4999168);
  b.SetCacheSize(2097152);
  EXPECT_EQ(b.CacheSize(), 2097152);
  b.SetCacheSize(2097153);
  EXPECT_EQ(b.CacheSize(), 2097152);
  b.SetCacheSize(-5);
  EXPECT_EQ(b.CacheSize(), 2097152);
  b.SetCacheSize(0x7FFFFFFF);
  EXPECT_EQ(b.CacheSize() % 2048, 0);
  EXPECT_GT(b.CacheSize(), 0x7FFFF000 - 1);
}

TEST(BurnerProperties, VersionCannotBeChanged) {
  TOrvBurner b;
  b.SetVersion("9.99");
  EXPECT_EQ(b.Version(), "1.22");
}

TEST(BurnerProperties, HeaderImageStreamReadsBackAndReleases) {
  TMemoryStream s;
  EXPECT_EQ(s.Write("abcdef", 6), 6u);
  EXPECT_EQ(s.Size(), 6);
  s.Seek(2);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 4u);
  EXPECT_STREQ(buf, "cdef");
  EXPECT_EQ(s.Read(buf, 8), 0u);
  s.Seek(4);
  s.Write("XYZ", 3);
  EXPECT_EQ(s.Size(), 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.Memory()), 7), "abcdXYZ");
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);

  // The header changes hands without a copy: the very buffer it was built
  // in is taken, positioned at its end, and handed on, leaving it empty.
  std::vector<uint8_t> built{'h', 'e', 'a', 'd'};
  const uint8_t *where = built.data();
  s.Assign(std::move(built));
  EXPECT_EQ(s.Memory(), where);
  EXPECT_EQ(s.Position(), 4);
  s.Write("er", 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.Memory()), 6), "header");
  const std::vector<uint8_t> taken = s.Release();
  EXPECT_EQ(std::string(taken.begin(), taken.end()), "header");
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

// An empty label becomes the name of the first source's folder: the folder
// itself (with or without "/"), the folder holding a file, the working
// folder for a relative name, and nothing for "/".
TEST(BurnerProperties, DefaultVolumeLabelIsTheFirstSourcesFolder) {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() / ("skarvo-label-" + std::to_string(::getpid()));
  fs::create_directories(base / "Holiday 2024" / "inner");
  { std::ofstream(base / "Holiday 2024" / "a.txt") << "a"; }
  const std::string folder = (base / "Holiday 2024").string();
  EXPECT_EQ(DefaultVolumeLabel(folder), "Holiday 2024");
  EXPECT_EQ(DefaultVolumeLabel(folder + "/"), "Holiday 2024");
  EXPECT_EQ(DefaultVolumeLabel(folder + "//inner/../"), "Holiday 2024");
  EXPECT_EQ(DefaultVolumeLabel(folder + "/a.txt"), "Holiday 2024");
  EXPECT_EQ(DefaultVolumeLabel(folder + "/inner"), "inner");
  // A folder row that has gone since it was added still names itself.
  EXPECT_EQ(DefaultVolumeLabel(folder + "/gone/"), "gone");
  EXPECT_EQ(DefaultVolumeLabel("/"), "");
  const fs::path was = fs::current_path();
  fs::current_path(base / "Holiday 2024");
  EXPECT_EQ(DefaultVolumeLabel("a.txt"), "Holiday 2024");
  EXPECT_EQ(DefaultVolumeLabel("."), "Holiday 2024");
  fs::current_path(was);
  fs::remove_all(base);
}
