// Whole sessions: the UTC offsets of dates, long Joliet names, the sizes of
// directory extents and the numbering of directories.
#include "layout_helpers.h"

#include "../platform/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace layout_test;

namespace {

class Session : public ::testing::Test {
protected:
  void SetUp() override { b.ResetCompilation(65535, 8191); }
  TDEntry *Root() { return b.DirList[0]; }
  const uint8_t *Sector(uint32_t lba) { return b.HeaderImage.Memory() + size_t{lba - b.SessionStart} * 2048; }
  void Build(bool joliet = true) {
    b.JolietFileSystem = joliet;
    ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
    ASSERT_TRUE(b.BuildHeader(true, nullptr));
  }
  // The record of a directory extent whose identifier starts with prefix
  // (8-bit, or UCS-2 for Joliet), or nullptr.
  const uint8_t *Record(const TDEntry *d, bool joliet, const std::string &prefix) {
    const uint32_t start = joliet ? b.JolietDirRecordsStart + d->JolietAddress : b.DirRecordsStart + d->ISOAddress;
    const int64_t size = joliet ? d->JolietSize : d->ISOSize;
    std::string want = prefix;
    if (joliet) {
      want.clear();
      for (char c : prefix)
        want += std::string{'\0', c};
    }
    for (int64_t s = 0; s < size / 2048; ++s) {
      const uint8_t *p = Sector(start + static_cast<uint32_t>(s));
      for (size_t at = 0; at < 2048 && p[at] != 0; at += p[at])
        if (p[at + 32] >= want.size() && std::memcmp(p + at + 33, want.data(), want.size()) == 0)
          return p + at;
    }
    return nullptr;
  }
  TFEntry *File(const std::string &name, ov::TDateTime date) {
    TFEntry *e = AddSynthetic(b, Root(), name, 10);
    e->DateTime = date;
    return e;
  }

  TOrvBurner b;
  TTempDir tmp;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

} // namespace

TEST_F(Session, RecordDatesCarryTheOffsetInEffectAtTheirDate) {
  {
    testenv::TScopedTimeZone tz("Asia/Kolkata");
    File("india.txt", ov::EncodeDateTime(2024, 7, 1, 9, 30, 0));
    Build();
    for (bool joliet : {false, true}) {
      const uint8_t *r = Record(Root(), joliet, joliet ? "india" : "INDIA");
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r[18], 124);
      EXPECT_EQ(r[21], 9);
      EXPECT_EQ(r[22], 30);
      EXPECT_EQ(r[24], 22) << "+05:30";
    }
  }
  testenv::TScopedTimeZone tz("Europe/Berlin");
  b.ResetCompilation(65535, 8191);
  File("winter.txt", ov::EncodeDateTime(2024, 1, 10, 12, 0, 0));
  File("summer.txt", ov::EncodeDateTime(2024, 8, 10, 12, 0, 0));
  Build();
  for (bool joliet : {false, true}) {
    const uint8_t *w = Record(Root(), joliet, joliet ? "winter" : "WINTER");
    const uint8_t *s = Record(Root(), joliet, joliet ? "summer" : "SUMMER");
    ASSERT_NE(w, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(w[24], 4);
    EXPECT_EQ(s[24], 8);
    EXPECT_EQ(w[21], 12) << "local time as written";
  }
  // "." carries the offset of the moment it was written.
  const uint8_t *dot = Sector(b.DirRecordsStart);
  EXPECT_EQ(static_cast<int8_t>(dot[24]), ov::UtcOffsetUnitsAt(ov::Now()));
}

TEST_F(Session, BothDescriptorsCarryTheSameDates) {
  testenv::TScopedTimeZone tz("Asia/Kolkata");
  AddSynthetic(b, Root(), "a.txt", 10);
  Build();
  const uint8_t *pvd = Sector(16), *svd = Sector(17);
  ASSERT_EQ(svd[0], 2);
  for (size_t at : {813u, 830u}) {
    EXPECT_EQ(std::memcmp(pvd + at, svd + at, 17), 0) << at;
    EXPECT_EQ(pvd[at + 16], 22) << at;
    EXPECT_NE(std::string(reinterpret_cast<const char *>(svd + at), 4), "1899") << at;
  }
  // Set dates are used in both.
  b.DateCreation = ov::EncodeDateTime(2001, 2, 3, 4, 5, 6);
  Build();
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(Sector(16) + 813), 16), "2001020304050600");
  EXPECT_EQ(std::memcmp(Sector(16) + 813, Sector(17) + 813, 17), 0);
}

TEST_F(Session, JolietNamesOf108CharactersAreWrittenWhole) {
  const std::string name = Repeat('j', 104) + ".txt";
  ASSERT_NE(AddSynthetic(b, Root(), name, 10), nullptr);
  const std::string dir = Repeat('k', 110);
  TSearchRec rec;
  rec.Name = dir;
  rec.Attr = ov::faDirectory;
  TDEntry *d = b.AddDir(Root(), rec, "/nonexistent/" + dir);
  ASSERT_NE(d, nullptr);
  AddSynthetic(b, d, "in.txt", 10);
  Build();
  const uint8_t *r = Record(Root(), true, "jjj");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r[0], 254);
  EXPECT_EQ(r[32], 220) << "108 characters and \";1\"";
  EXPECT_EQ(r[33 + 2 * 104 + 1], '.');
  EXPECT_EQ(r[33 + 2 * 107 + 1], 't');
  EXPECT_EQ(r[33 + 2 * 108 + 1], ';');
  EXPECT_EQ(r[33 + 2 * 109 + 1], '1');
  const uint8_t *dr = Record(Root(), true, "kkk");
  ASSERT_NE(dr, nullptr);
  EXPECT_EQ(dr[32], 220) << "110 characters";
  // Path table of the Joliet tree: the folder's whole name.
  const uint8_t *pt = Sector(b.JolietPathTableL) + 10;
  EXPECT_EQ(pt[0], 220);
  const std::string image = tmp / "long.iso";
  WriteImage(b, image);
  std::string out;
  if (RunCommand("command -v isoinfo", nullptr) == 0) {
    ASSERT_EQ(RunCommand("isoinfo -J -l -i '" + image + "'", &out), 0) << out;
    EXPECT_NE(out.find(name + ";1"), std::string::npos) << out;
    EXPECT_NE(out.find(dir), std::string::npos) << out;
  }
}

TEST_F(Session, ExtentSizeCountsEveryRecordOfTheSectors) {
  // "." and ".." take 68 bytes; ten Joliet records of 198 bytes (80
  // characters and ";1") fill the first sector exactly.
  for (char c = 'a'; c < 'a' + 10; ++c)
    ASSERT_NE(AddSynthetic(b, Root(), std::string(1, c) + Repeat('x', 75) + ".txt", 1), nullptr);
  Build();
  EXPECT_EQ(Root()->JolietSize, 2048);
  EXPECT_EQ(Root()->ISOSize, 2048);
  const uint8_t *first = Sector(b.JolietDirRecordsStart);
  EXPECT_EQ(first[68], 198);
  EXPECT_EQ(first[68 + 9 * 198], 198) << "the tenth record ends the sector";
  // One character more moves the last record to a second sector.
  b.ResetCompilation(65535, 8191);
  for (char c = 'a'; c < 'a' + 9; ++c)
    AddSynthetic(b, Root(), std::string(1, c) + Repeat('x', 75) + ".txt", 1);
  AddSynthetic(b, Root(), "j" + Repeat('x', 76) + ".txt", 1);
  Build();
  EXPECT_EQ(Root()->JolietSize, 4096);
  EXPECT_EQ(b.JolietDirRecordsSize, 4096u);
  EXPECT_EQ(Sector(b.JolietDirRecordsStart)[68 + 9 * 198], 0) << "the rest of the first sector is zero";
  EXPECT_EQ(Sector(b.JolietDirRecordsStart + 1)[0], 200);
  EXPECT_EQ(b.FirstFileAddress, 150u);
}

TEST_F(Session, DirectoriesAreNumberedBreadthFirstBySiblingName) {
  TDEntry *bDir = b.CreateDir(Root(), "B", ov::faDirectory);
  TDEntry *aDir = b.CreateDir(Root(), "A", ov::faDirectory);
  TDEntry *z = b.CreateDir(bDir, "Z", ov::faDirectory);
  TDEntry *c = b.CreateDir(bDir, "C", ov::faDirectory);
  TDEntry *y = b.CreateDir(aDir, "Y", ov::faDirectory);
  TDEntry *deep = b.CreateDir(y, "D", ov::faDirectory);
  for (TDEntry *d : {z, c, deep})
    AddSynthetic(b, d, "f.txt", 1);
  Build();
  EXPECT_EQ(Root()->Number, 1);
  EXPECT_EQ(aDir->Number, 2);
  EXPECT_EQ(bDir->Number, 3);
  EXPECT_EQ(y->Number, 4) << "the child of the first folder comes first";
  EXPECT_EQ(c->Number, 5);
  EXPECT_EQ(z->Number, 6);
  EXPECT_EQ(deep->Number, 7);
  ASSERT_EQ(b.ISODirOrder.size(), 7u);
  EXPECT_EQ(b.ISODirOrder, b.JolietDirOrder);
  // The path table lists them in that order with their parents' numbers.
  const uint8_t *p = Sector(b.PathTableL) + 10;
  const uint16_t parents[] = {1, 1, 2, 3, 3, 4};
  const char names[] = {'A', 'B', 'Y', 'C', 'Z', 'D'};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(p[0], 1) << i;
    EXPECT_EQ(p[6] | p[7] << 8, parents[i]) << i;
    EXPECT_EQ(p[8], names[i]) << i;
    p += 10;
  }
}
