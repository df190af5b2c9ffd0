// Sector layout and header image of whole sessions, checked against the
// expected addresses and by the structural checker.
#include "layout_helpers.h"

#include "ovSync.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

using namespace layout_test;

namespace {

class Layout : public ::testing::Test {
protected:
  void SetUp() override {
    b.ResetCompilation(65535, 8191);
    b.IdVolume = "Layout Test";
  }
  TDEntry *Root() { return b.DirList[0]; }
  const uint8_t *Sector(uint32_t lba) { return b.HeaderImage.Memory() + size_t{lba - b.SessionStart} * 2048; }
  void Build(bool joliet) {
    b.JolietFileSystem = joliet;
    ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
    ASSERT_TRUE(b.BuildHeader(true, nullptr));
  }
  // Writes the image and runs the structural checker on it.
  void ExpectSound(const std::string &name = "image.iso") {
    const std::string image = tmp / name;
    WriteImage(b, image);
    std::string report;
    EXPECT_EQ(IsoCheck(image, &report, "--quiet"), 0) << report;
    lastReport = report;
  }

  TOrvBurner b;
  TTempDir tmp;
  std::string lastReport;
};

TEST_F(Layout, OneFileWithoutJoliet) {
  AddSynthetic(b, Root(), "README.TXT", 100);
  Build(false);
  EXPECT_EQ(b.SessionStart, 0u);
  EXPECT_EQ(b.PathTableL, 18u);
  EXPECT_EQ(b.PathTableM, 19u);
  EXPECT_EQ(b.PathTableSize, 10u);
  EXPECT_EQ(b.DirRecordsStart, 20u);
  EXPECT_EQ(b.DirRecordsSize, 2048u);
  EXPECT_EQ(b.PadSectors, 129);
  EXPECT_EQ(b.FirstFileAddress, 150u);
  EXPECT_EQ(b.ImageEnd, 151);
  EXPECT_EQ(b.SectorsToWrite, 151);
  ASSERT_EQ(b.HeaderImage.Size(), 21 * 2048);
  EXPECT_EQ(Sector(16)[0], 1);
  EXPECT_EQ(Sector(17)[0], 255);
  EXPECT_EQ(std::memcmp(Sector(17) + 1, "CD001", 5), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(Sector(16)) + 88, 3), std::string(3, '\0'));
  EXPECT_EQ(LE32(Sector(16) + 80), 151u);
  EXPECT_EQ(Sector(18)[0], 1) << "root record of the L path table";
  EXPECT_EQ(LE32(Sector(18) + 2), 20u);
  EXPECT_EQ(BE32(Sector(19) + 2), 20u);
  // The system area is zero.
  for (size_t i = 0; i < 16 * 2048; ++i)
    ASSERT_EQ(b.HeaderImage.Memory()[i], 0) << i;
  // The file's record: third record of the root extent, at sector 150.
  const uint8_t *r = Sector(20) + 68;
  EXPECT_EQ(r[32], 12);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(r) + 33, 12), "README.TXT;1");
  EXPECT_EQ(LE32(r + 2), 150u);
  EXPECT_EQ(BE32(r + 6), 150u);
  EXPECT_EQ(LE32(r + 10), 100u);
  EXPECT_EQ(r[18], 121);
  EXPECT_EQ(static_cast<int8_t>(r[24]), ov::UtcOffsetUnitsAt(ov::EncodeDateTime(2021, 6, 15, 10, 20, 30)));
  ExpectSound();
  EXPECT_NE(lastReport.find("no Joliet"), std::string::npos) << lastReport;
}

TEST_F(Layout, OneFileWithJoliet) {
  AddSynthetic(b, Root(), "readme.txt", 5000);
  Build(true);
  EXPECT_EQ(Sector(16)[0], 1);
  EXPECT_EQ(Sector(17)[0], 2);
  EXPECT_EQ(Sector(18)[0], 255);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(Sector(16)) + 88, 3), std::string(3, '\0'));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(Sector(17)) + 88, 3), "%/@");
  EXPECT_EQ(b.PathTableL, 19u);
  EXPECT_EQ(b.PathTableM, 20u);
  EXPECT_EQ(b.JolietPathTableL, 21u);
  EXPECT_EQ(b.JolietPathTableM, 22u);
  EXPECT_EQ(b.DirRecordsStart, 23u);
  EXPECT_EQ(b.JolietDirRecordsStart, 24u);
  EXPECT_EQ(b.FirstFileAddress, 150u);
  EXPECT_EQ(b.PadSectors, 125);
  EXPECT_EQ(b.ImageEnd, 153);
  // Joliet root record in the descriptor, and the Joliet file record.
  EXPECT_EQ(LE32(Sector(17) + 158), 24u);
  const uint8_t *r = Sector(24) + 68;
  EXPECT_EQ(r[32], 24);
  const std::u16string want = u"readme.txt;1";
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(r[33 + 2 * k], 0);
    EXPECT_EQ(r[34 + 2 * k], want[k]);
  }
  EXPECT_EQ(LE32(r + 2), 150u);
  EXPECT_EQ(LE32(r + 10), 5000u);
  // The descriptor copy holds the system area and the descriptors, then 0xFF.
  ASSERT_EQ(b.DescriptorCopy.size(), 65537u);
  ASSERT_EQ(b.DescriptorCopySize, 19 * 2048);
  EXPECT_EQ(std::memcmp(b.DescriptorCopy.data(), b.HeaderImage.Memory(), 19 * 2048), 0);
  for (size_t i = 19 * 2048; i < b.DescriptorCopy.size(); ++i)
    ASSERT_EQ(b.DescriptorCopy[i], 0xFF) << i;
  ExpectSound();
  EXPECT_NE(lastReport.find(", Joliet"), std::string::npos) << lastReport;
}

TEST_F(Layout, DirectoryExtentThatExactlyFillsASector) {
  // "." and ".." take 68 bytes; 45 records of 44 bytes ("F0001.TXT;1")
  // take the other 1980.
  for (int i = 1; i <= 45; ++i)
    AddSynthetic(b, Root(), "F" + std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) + ".TXT", 10);
  Build(true);
  EXPECT_EQ(Root()->ISOSize, 2048);
  EXPECT_EQ(b.JolietDirRecordsStart, b.DirRecordsStart + 1);
  // The Joliet records (56 bytes each) need two sectors, and its "." and ".."
  // say so even though the ISO extent is one sector.
  EXPECT_EQ(Root()->JolietSize, 4096);
  for (int rec = 0; rec < 2; ++rec) {
    const uint8_t *r = Sector(b.JolietDirRecordsStart) + 34 * rec;
    EXPECT_EQ(LE32(r + 10), 4096u);
    EXPECT_EQ(BE32(r + 14), 4096u);
  }
  const uint8_t *last = Sector(b.DirRecordsStart) + 2048 - 44;
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(last) + 33, 11), "F0045.TXT;1");
  ExpectSound();

  // One more byte of names moves the last record to a second sector.
  TOrvBurner c;
  c.ResetCompilation(65535, 8191);
  for (int i = 1; i <= 44; ++i)
    AddSynthetic(c, c.DirList[0], "F" + std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) + ".TXT", 10);
  AddSynthetic(c, c.DirList[0], "F0045A.TXT", 10);
  c.JolietFileSystem = false;
  c.PrepareLayout(true, nullptr);
  ASSERT_TRUE(c.BuildHeader(true, nullptr));
  EXPECT_EQ(c.DirList[0]->ISOSize, 4096);
  const uint8_t *second = c.HeaderImage.Memory() + size_t{c.DirRecordsStart + 1} * 2048;
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(second) + 33, 12), "F0045A.TXT;1");
  const uint8_t *first = c.HeaderImage.Memory() + size_t{c.DirRecordsStart} * 2048;
  for (size_t i = 68 + 44 * 44; i < 2048; ++i)
    ASSERT_EQ(first[i], 0) << "the rest of the first sector is zero";
}

TEST_F(Layout, RecordsAreSortedPerTreeWhileDataKeepsInsertionOrder) {
  // Inserted out of order; the primary tree sorts by the upper-case names,
  // the Joliet tree by UCS-2 code unit, so the two orders differ.
  TFEntry *first = AddSynthetic(b, Root(), "b.txt", 10);
  AddSynthetic(b, Root(), "Zeta.txt", 10);
  AddSynthetic(b, Root(), "a.txt", 10);
  AddSynthetic(b, Root(), "\xc3\xa4rger.txt", 10);  // "ärger.txt"
  b.CreateDir(Root(), "MIDDLE", ov::faDirectory);
  Build(true);
  const auto names = [&](uint32_t lba, bool joliet) {
    std::vector<std::string> out;
    for (const uint8_t *r = Sector(lba) + 68; r[0] != 0; r += r[0]) {
      std::string n;
      for (size_t k = 0; k < r[32]; k += joliet ? 2 : 1)
        n += static_cast<char>(r[33 + k + (joliet ? 1 : 0)]);
      out.push_back(n);
    }
    return out;
  };
  const std::vector<std::string> iso = names(b.DirRecordsStart, false);
  ASSERT_EQ(iso.size(), 5u);
  EXPECT_EQ(iso[0], "A.TXT;1");
  EXPECT_EQ(iso[1], "B.TXT;1");
  EXPECT_EQ(iso[2], "MIDDLE");
  EXPECT_EQ(iso[3], "ZETA.TXT;1");
  EXPECT_EQ(iso[4], "_RGER.TXT;1");
  // Joliet (low bytes of UCS-2): capitals before small letters, "ä" last.
  const std::vector<std::string> joliet = names(b.JolietDirRecordsStart, true);
  ASSERT_EQ(joliet.size(), 5u);
  EXPECT_EQ(joliet[0], "MIDDLE");
  EXPECT_EQ(joliet[1], "Zeta.txt;1");
  EXPECT_EQ(joliet[2], "a.txt;1");
  EXPECT_EQ(joliet[3], "b.txt;1");
  EXPECT_EQ(joliet[4], "\xe4rger.txt;1");
  // The data keeps the order of insertion: the first file inserted comes first.
  EXPECT_EQ(first->ISOAddress, 0);
  ExpectSound();
  EXPECT_EQ(lastReport.find("not sorted"), std::string::npos) << lastReport;
}

TEST_F(Layout, PathTableOfExactlyTwoSectors) {
  // 10 (root) + 251 * 16 + 5 * 14 = 4096 bytes.
  for (int i = 0; i < 251; ++i)
    ASSERT_NE(b.CreateDir(Root(), "D" + std::to_string(1000000 + i), ov::faDirectory), nullptr);
  for (int i = 0; i < 5; ++i)
    ASSERT_NE(b.CreateDir(Root(), "E" + std::to_string(10000 + i), ov::faDirectory), nullptr);
  Build(true);
  EXPECT_EQ(b.PathTableSize, 4096u);
  EXPECT_EQ(b.PathTableM, b.PathTableL + 2);
  EXPECT_EQ(b.JolietPathTableL, b.PathTableM + 2);
  // The L table ends exactly on the sector boundary; the M table follows.
  EXPECT_EQ(Sector(b.PathTableM)[0], 1);
  EXPECT_EQ(BE32(Sector(b.PathTableM) + 2), b.DirRecordsStart);
  ExpectSound();
}

TEST_F(Layout, TwentyThousandNestedDirectoriesKeepThePathTableOrdered) {
  b.ResetCompilation(200000, 30000);
  // Created deepest-first and in reverse name order, so that creation order
  // and path-table order differ everywhere.
  for (int i = 9; i >= 0; --i) {
    TDEntry *top = b.CreateDir(Root(), "T" + std::to_string(i), ov::faDirectory);
    for (int j = 39; j >= 0; --j) {
      TDEntry *mid = b.CreateDir(top, "M" + std::to_string(j), ov::faDirectory);
      for (int k = 49; k >= 0; --k)
        ASSERT_NE(b.CreateDir(mid, "L" + std::to_string(k), ov::faDirectory), nullptr);
    }
  }
  AddSynthetic(b, b.FindDir("\\T3\\M7\\L9"), "deep.txt", 3000);
  ASSERT_EQ(b.DirCount(), 20410);
  Build(true);
  ASSERT_EQ(b.ISODirOrder.size(), 20411u);
  for (size_t i = 1; i < b.ISODirOrder.size(); ++i) {
    const TDEntry *d = b.ISODirOrder[i];
    ASSERT_EQ(d->Number, static_cast<int32_t>(i + 1));
    ASSERT_LT(d->Parent->Number, d->Number);
    ASSERT_LE(b.ISODirOrder[i - 1]->Parent->Number, d->Parent->Number);
  }
  ExpectSound();
  EXPECT_NE(lastReport.find("20411 dirs"), std::string::npos) << lastReport;
}

TEST_F(Layout, EmptyFileTakesNoSector) {
  AddSynthetic(b, Root(), "A.BIN", 3000);
  TFEntry *z = AddSynthetic(b, Root(), "B.BIN", 0);
  TFEntry *c = AddSynthetic(b, Root(), "C.BIN", 10);
  Build(true);
  EXPECT_EQ(z->ISOAddress, 0);
  EXPECT_EQ(z->JolietAddress, 0);
  EXPECT_EQ(c->ISOAddress, 2);
  EXPECT_EQ(b.ImageEnd, 153);
  const uint8_t *iso = Sector(b.DirRecordsStart) + 68 + 40;  // after "A.BIN;1"
  EXPECT_EQ(iso[32], 7);
  EXPECT_EQ(LE32(iso + 2), 0u);
  EXPECT_EQ(BE32(iso + 6), 0u);
  EXPECT_EQ(LE32(iso + 10), 0u);
  const uint8_t *next = iso + iso[0];
  EXPECT_EQ(LE32(next + 2), 152u);
  ExpectSound();
}

TEST_F(Layout, HiddenEntriesAndDirectoriesCarryTheirFlags) {
  TDEntry *docs = b.CreateDir(Root(), "DOCS", ov::faDirectory | ov::faHidden);
  AddSynthetic(b, docs, "HIDDEN.TXT", 10, ov::faHidden | ov::faArchive);
  AddSynthetic(b, docs, "PLAIN.TXT", 10);
  Build(false);
  const uint8_t *dirRec = Sector(b.DirRecordsStart) + 68;
  EXPECT_EQ(dirRec[25], 3);
  EXPECT_EQ(LE32(dirRec + 2), b.DirRecordsStart + static_cast<uint32_t>(docs->ISOAddress));
  EXPECT_EQ(LE32(dirRec + 10), 2048u);
  const uint8_t *ext = Sector(b.DirRecordsStart + static_cast<uint32_t>(docs->ISOAddress));
  // ".." of DOCS is the root.
  EXPECT_EQ(LE32(ext + 34 + 2), b.DirRecordsStart);
  EXPECT_EQ(ext[34 + 33], 1);
  EXPECT_EQ(ext[68 + 25], 1);
  EXPECT_EQ(ext[68 + ext[68] + 25], 0);
  ExpectSound();
}

TEST_F(Layout, ImportedFilesKeepTheirExtentsAndTakeNoSectors) {
  TSearchRec rec;
  rec.Name = "OLD.DAT";
  rec.Size = 4096;
  rec.Attr = ov::faArchive;
  rec.Time = ov::EncodeDateTime(2019, 1, 2, 3, 4, 5);
  ASSERT_EQ(b.AddFile(Root(), rec, false, 12345, ""), 1);
  TFEntry *fresh = AddSynthetic(b, Root(), "PLUS.DAT", 2048);
  Build(false);
  EXPECT_EQ(fresh->ISOAddress, 0);
  EXPECT_EQ(b.ImageEnd, 151);
  const uint8_t *r = Sector(b.DirRecordsStart) + 68;
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(r) + 33, 9), "OLD.DAT;1");
  EXPECT_EQ(LE32(r + 2), 12345u);
  EXPECT_EQ(BE32(r + 6), 12345u);
  EXPECT_EQ(LE32(r + 10), 4096u);
  EXPECT_EQ(LE32(r + r[0] + 2), 150u);
}

TEST_F(Layout, SessionSectorsPadsShortSessions) {
  AddSynthetic(b, Root(), "ONE.TXT", 1);
  Build(false);
  ASSERT_EQ(b.SectorsToWrite, 151);
  EXPECT_EQ(b.SessionSectors(), 300);
  b.WritePostGap = false;
  EXPECT_EQ(b.SessionSectors(), 151);
  b.WritePostGap = true;
  AddSynthetic(b, Root(), "BIG.BIN", 400 * 2048);
  Build(false);
  EXPECT_EQ(b.SessionSectors(), 551);
}

TEST_F(Layout, LayoutIsRepeatable) {
  TDEntry *d = b.CreateDir(Root(), "SUB", ov::faDirectory);
  AddSynthetic(b, d, "x.txt", 70000);
  Build(true);
  const std::string first(reinterpret_cast<const char *>(b.HeaderImage.Memory()), b.HeaderImage.Size());
  const int64_t end = b.ImageEnd;
  Build(true);
  EXPECT_EQ(b.ImageEnd, end);
  ASSERT_EQ(b.HeaderImage.Size(), static_cast<int64_t>(first.size()));
  // Only the descriptor dates and the "." / ".." dates may differ.
  EXPECT_EQ(std::memcmp(b.HeaderImage.Memory() + 19 * 2048, first.data() + 19 * 2048, 4 * 2048), 0)
      << "path tables";
}

TEST_F(Layout, RealFilesWithAwkwardNamesReadBackByEveryReader) {
  const std::string src = tmp / "src";
  std::filesystem::create_directories(src + "/Sub Folder/deeper");
  std::filesystem::create_directories(src + "/ünïcode");
  WriteFile(src + "/README", "no extension\n");
  WriteFile(src + "/a file with spaces.text", std::string(5000, 'x'));
  WriteFile(src + "/Sub Folder/deeper/" + std::string(90, 'n') + ".dat", std::string(70000, 'y'));
  WriteFile(src + "/ünïcode/€uro.txt", "euro\n");
  WriteFile(src + "/empty.bin", "");
  WriteFile(src + "/Case.txt", "upper\n");
  ASSERT_TRUE(b.InsertDir(Root(), src, false, false, true));
  b.RemoveEmptyDirs();
  Build(true);
  ExpectSound();
  const std::string image = tmp / "image.iso";
  std::string out;
  ASSERT_EQ(RunCommand("isoinfo -d -i '" + image + "'", &out), 0) << out;
  EXPECT_NE(out.find("Volume id: LAYOUT_TEST"), std::string::npos) << out;
  EXPECT_NE(out.find("Joliet with UCS level 1"), std::string::npos) << out;
  ASSERT_EQ(RunCommand("isoinfo -J -l -i '" + image + "'", &out), 0) << out;
  EXPECT_NE(out.find("a file with spaces.text;1"), std::string::npos) << out;
  EXPECT_NE(out.find(std::string(90, 'n') + ".dat;1"), std::string::npos) << out;
  ASSERT_EQ(RunCommand("7z l '" + image + "'", &out), 0) << out;
  EXPECT_NE(out.find("ünïcode/€uro.txt"), std::string::npos) << out;
  // bsdtar extracts the Joliet tree; it must equal the sources.
  const std::string ex = tmp / "extract";
  std::filesystem::create_directories(ex);
  ASSERT_EQ(RunCommand("bsdtar -tvvf '" + image + "'", &out), 0) << out;
  EXPECT_NE(out.find("Archive Format: ISO9660"), std::string::npos) << out;
  ASSERT_EQ(RunCommand("bsdtar --options 'iso9660:!rockridge' -xf '" + image + "' -C '" + ex + "'", &out), 0) << out;
  // The file README became "README." in the image.
  ASSERT_TRUE(std::filesystem::exists(ex + "/README."));
  std::filesystem::rename(ex + "/README.", ex + "/README");
  EXPECT_EQ(RunCommand("diff -r '" + src + "' '" + ex + "'", &out), 0) << out;
  EXPECT_EQ(RunCommand("7z t '" + image + "'", &out), 0) << out;
  ASSERT_EQ(RunCommand("iso-info -l -i '" + image + "'", &out), 0) << out;
  EXPECT_EQ(out.find("WARN"), std::string::npos) << out;
  ASSERT_EQ(RunCommand("xorriso -abort_on NEVER -return_with SORRY 32 -indev '" + image + "' -find / -exec lsdl", &out), 0)
      << out;
}

} // namespace

namespace {

TEST_F(Layout, WithoutADriveADiscLayoutStartsAtSectorZero) {
  AddSynthetic(b, Root(), "ONE.TXT", 1);
  std::vector<std::pair<std::string, int>> log;
  b.OnDebugMessage = [&](TObject *, const std::string &m, uint8_t level) { log.emplace_back(m, level); };
  // Only the preparation right before a burn asks where the session starts.
  ASSERT_EQ(b.PrepareLayout(false, nullptr), 1);
  EXPECT_EQ(b.SessionStart, 0u);
  EXPECT_EQ(b.ImageEnd, 151);
  for (const auto &[m, level] : log)
    EXPECT_EQ(m.find("NEXT WRITABLE"), std::string::npos) << m;

  ov::SetTimeScale(0.001);
  b.QueryNextWritableAddress = true;
  ASSERT_EQ(b.PrepareLayout(false, nullptr), 1);
  b.QueryNextWritableAddress = false;
  ov::SetTimeScale(1.0);
  EXPECT_EQ(b.SessionStart, 0u);
  EXPECT_EQ(b.PathTableL, 19u);
  bool reported = false;
  for (const auto &[m, level] : log)
    reported |= m == ">>> ERROR GETTING NEXT WRITABLE ADDRESS" && level == 0;
  EXPECT_TRUE(reported);
}

} // namespace

namespace {

TEST_F(Layout, MoreDirectoriesThanAPathTableCanNumberAreRefused) {
  b.ResetCompilation(70000, 70000);
  std::string messages;
  b.OnDebugMessage = [&](TObject *, const std::string &m, uint8_t) { messages += m + "\n"; };
  // The root and 65,535 more: numbers up to 65,536 do not fit.
  for (int i = 0; b.DirList.size() < 65536; ++i) {
    TDEntry *top = b.CreateDir(Root(), "T" + std::to_string(i), ov::faDirectory);
    for (int j = 0; j < 255 && b.DirList.size() < 65536; ++j)
      ASSERT_NE(b.CreateDir(top, "S" + std::to_string(j), ov::faDirectory), nullptr);
  }
  ASSERT_EQ(b.DirList.size(), 65536u);
  b.PrepareLayout(true, nullptr);
  EXPECT_FALSE(b.BuildHeader(true, nullptr));
  EXPECT_EQ(b.HeaderImage.Size(), 0);
  EXPECT_NE(messages.find("TOO MANY DIRECTORIES"), std::string::npos) << messages;
  // One fewer fits.
  b.RemoveDir(b.FindDir("\\T0\\S0"));
  b.PrepareLayout(true, nullptr);
  EXPECT_TRUE(b.BuildHeader(true, nullptr));
}

} // namespace

namespace {

TEST(LayoutOrder, HeaderNeedsAnUpToDateLayout) {
  TOrvBurner b;
  b.ResetCompilation(65535, 8191);
  layout_test::AddSynthetic(b, b.DirList[0], "A.TXT", 10);
  EXPECT_FALSE(b.BuildHeader(true, nullptr)) << "no layout yet";
  b.JolietFileSystem = false;
  b.PrepareLayout(true, nullptr);
  b.JolietFileSystem = true;
  EXPECT_FALSE(b.BuildHeader(true, nullptr)) << "Joliet switched on after the layout";
  EXPECT_EQ(b.HeaderImage.Size(), 0);
  b.PrepareLayout(true, nullptr);
  EXPECT_TRUE(b.BuildHeader(true, nullptr));
  // Entries added after the layout do not fit the extents it computed.
  for (int i = 0; i < 60; ++i)
    layout_test::AddSynthetic(b, b.DirList[0], "MORE" + std::to_string(i) + ".TXT", 10);
  EXPECT_FALSE(b.BuildHeader(true, nullptr));
  b.PrepareLayout(true, nullptr);
  EXPECT_TRUE(b.BuildHeader(true, nullptr));
}

} // namespace
