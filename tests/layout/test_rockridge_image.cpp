// Whole sessions with Rock Ridge: continuation areas laid out, counted in
// the session size and followed by readers; attributes recorded by an
// imported session written back as they are.
#include "layout_helpers.h"
#include "ovSectorSource.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

using namespace layout_test;

namespace {

class RockRidgeImage : public ::testing::Test {
protected:
  void SetUp() override {
    b.ResetCompilation(65535, 8191);
    b.IdVolume = "RR";
    b.RockRidge = true;
  }
  // Lays out, builds and writes the image; returns its path.
  std::string Build() {
    EXPECT_EQ(b.PrepareLayout(true, nullptr), 1);
    const int64_t counted = b.SectorsToWrite;
    EXPECT_TRUE(b.BuildHeader(true, nullptr));
    const std::string image = tmp / "rr.iso";
    WriteImage(b, image);
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(image)), counted * 2048)
        << "the size counted before the header was built is the size written";
    std::string report;
    EXPECT_EQ(IsoCheck(image, &report, "--quiet"), 0) << report;
    return image;
  }
  std::set<std::string> Lines(const std::string &command) {
    std::string out;
    EXPECT_EQ(RunCommand(command, &out), 0) << out;
    std::set<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
      lines.insert(l);
    return lines;
  }
  TOrvBurner b;
  TTempDir tmp;
};

TEST_F(RockRidgeImage, LongNamesSpillIntoContinuationSectorsThatReadersFollow) {
  // 70 names of 200 bytes in the root and 30 in a folder: several
  // continuation sectors after each extent, which the next extent must not
  // overlap.
  TDEntry *sub = b.CreateDir(b.DirList[0], "sub", ov::faDirectory);
  ASSERT_NE(sub, nullptr);
  std::set<std::string> want{"sub"};
  for (int i = 0; i < 100; ++i) {
    const std::string name = std::to_string(1000 + i) + std::string(196, 'n') + ".txt";
    TDEntry *dir = i < 70 ? b.DirList[0] : sub;
    ASSERT_NE(AddSynthetic(b, dir, name, 100 + i), nullptr);
    want.insert(dir == sub ? "sub/" + name : name);
  }
  const std::string image = Build();
  EXPECT_GT(b.DirRecordsSize / 2048, b.DirList[0]->ISOSize / 2048 + sub->ISOSize / 2048)
      << "continuation sectors were counted with the directory extents";
  EXPECT_EQ(Lines("bsdtar -tf '" + image + "' | sed 's|/$||; /^\\.$/d'"), want);
  std::string out;
  ASSERT_EQ(RunCommand("xorriso -indev stdio:'" + image + "' -find / -type f 2>/dev/null | wc -l", &out), 0);
  EXPECT_EQ(std::stoi(out), 100);
}

TEST_F(RockRidgeImage, RecordedAttributesAreWrittenBackAsTheyAre) {
  TFEntry *file = AddSynthetic(b, b.DirList[0], "notes.txt", 10);
  TFEntry *link = AddSynthetic(b, b.DirList[0], "to-notes", 0);
  TDEntry *dir = b.CreateDir(b.DirList[0], "private", ov::faDirectory);
  ASSERT_TRUE(file && link && dir);
  ASSERT_NE(AddSynthetic(b, dir, "x.bin", 3), nullptr);
  iso::rr::TPosixAttrs a;
  a.Mode = iso::rr::kTypeRegular | 04640;
  a.Uid = 1234;
  a.Gid = 56;
  a.ModifyTime = 1600000000;  // 2020-09-13 12:26:40 UTC
  a.HasModify = true;
  b.KeepRecordedAttrs(file, a, "notes:v1.txt");
  iso::rr::TPosixAttrs l;
  l.Mode = iso::rr::kTypeSymlink | 0777;
  l.LinkTarget = "../shared/notes.txt";
  b.KeepRecordedAttrs(link, l, "to-notes");
  iso::rr::TPosixAttrs d;
  d.Mode = iso::rr::kTypeDirectory | 0700;
  d.Uid = 7;
  b.KeepRecordedAttrs(dir, d, "private");
  // Rational modes for new entries do not touch what a session recorded.
  b.RockRidgeKeepPermissions = false;
  const std::string image = Build();
  // "mode links uid gid size month day year name [-> target]"
  const auto lines = Lines("TZ=UTC bsdtar -tvf '" + image + "' --numeric-owner | tr -s ' '");
  const auto has = [&](const std::string &line) { return lines.count(line) == 1; };
  EXPECT_TRUE(has("-rwSr----- 1 1234 56 10 Sep 13 2020 notes:v1.txt")) << "the recorded file";
  EXPECT_TRUE(has("lrwxrwxrwx 1 0 0 0 Jun 15 2021 to-notes -> ../shared/notes.txt")) << "the recorded link";
  bool dirKept = false, rational = false;
  for (const std::string &x : lines) {
    dirKept |= x.rfind("drwx------ 2 7 0 ", 0) == 0 && x.find(" private") != std::string::npos;
    rational |= x.rfind("-r--r--r-- 1 0 0 3 ", 0) == 0 && x.find(" private/x.bin") != std::string::npos;
  }
  EXPECT_TRUE(dirKept) << "the recorded folder";
  EXPECT_TRUE(rational) << "a new file in the recorded folder gets rational modes";
  if (HasFailure())
    for (const std::string &x : lines)
      ADD_FAILURE() << x;
}

TEST_F(RockRidgeImage, ImportedSessionKeepsWhatItsRockRidgeRecorded) {
  const std::string longName = std::string(200, 'q') + ".txt";
  TFEntry *file = AddSynthetic(b, b.DirList[0], longName, 10);
  TFEntry *link = AddSynthetic(b, b.DirList[0], "to-it", 0);
  ASSERT_TRUE(file && link);
  iso::rr::TPosixAttrs a;
  a.Mode = iso::rr::kTypeRegular | 0640;
  a.Uid = 1234;
  a.ModifyTime = 1600000000;
  a.HasModify = true;
  b.KeepRecordedAttrs(file, a, longName);
  iso::rr::TPosixAttrs l;
  l.Mode = iso::rr::kTypeSymlink | 0777;
  l.LinkTarget = "/abs/target";
  b.KeepRecordedAttrs(link, l, "to-it");
  const std::string image = Build();

  TOrvBurner next;
  next.ResetCompilation(65535, 8191);
  next.RockRidge = true;
  TFileSectorSource src;
  std::string err;
  ASSERT_TRUE(src.Open(image, err)) << err;
  ASSERT_TRUE(next.ImportFrom(src, 0, 1, nullptr));
  const TFEntry *f = next.FindFile(next.DirList[0], longName);
  ASSERT_NE(f, nullptr) << "the whole Rock Ridge name is kept";
  ASSERT_TRUE(f->RR && f->RR->Recorded && f->RR->FromDisc);
  EXPECT_EQ(f->RR->Attrs.Mode, a.Mode);
  EXPECT_EQ(f->RR->Attrs.Uid, 1234u);
  EXPECT_EQ(f->RR->Attrs.ModifyTime, 1600000000);
  const TFEntry *k = next.FindFile(next.DirList[0], "to-it.");
  ASSERT_NE(k, nullptr);
  EXPECT_TRUE(k->IsLink());
  EXPECT_EQ(k->RR->Attrs.LinkTarget, "/abs/target");
}

} // namespace
