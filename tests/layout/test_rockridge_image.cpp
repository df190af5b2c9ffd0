// Whole sessions with Rock Ridge: continuation areas laid out, counted in
// the session size and followed by readers; attributes recorded by an
// imported session written back as they are.
#include "layout_helpers.h"
#include "ovSectorSource.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
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

// Three names of one file, a file with the same bytes but its own inode,
// and an image appended to the imported session.
TEST_F(RockRidgeImage, HardLinksShareOneCopyTheirCountAndSerialAndImportKeepsThem) {
  const std::string src = tmp / "src";
  std::filesystem::create_directories(src + "/sub");
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7 % 251);
  WriteFile(src + "/a", data);
  WriteFile(src + "/twin", data);
  std::filesystem::create_hard_link(src + "/a", src + "/sub/b");
  std::filesystem::create_hard_link(src + "/a", src + "/c");
  ASSERT_TRUE(b.InsertDir(b.DirList[0], src + "/", false, false, true, ov::faAnyFile, "*.*"));
  const std::string image = Build();
  const uint64_t fileSectors = (data.size() + 2047) / 2048;
  EXPECT_EQ(static_cast<uint64_t>(b.ImageEnd - b.FirstFileAddress), 2 * fileSectors)
      << "the linked names take one copy, the twin its own";
  // bsdtar knows hard links by their serial number: one entry holds the data,
  // the others link to it, all with the count of names in the image.
  const auto lines = Lines("bsdtar -tvf '" + image + "' --numeric-owner | tr -s ' ' | cut -d' ' -f1,2,5,9-");
  std::set<std::string> linked;
  for (const std::string &l : lines)
    if (l.find(" link to ") != std::string::npos || l.rfind("-r--r--r-- 3 100000 ", 0) == 0)
      linked.insert(l);
  EXPECT_EQ(linked.size(), 3u) << "three names of one object";
  EXPECT_EQ(lines.count("-r--r--r-- 1 100000 twin"), 1u);
  const std::string out = tmp / "x";
  std::filesystem::create_directories(out);
  std::string log;
  ASSERT_EQ(RunCommand("bsdtar -xf '" + image + "' -C '" + out + "'", &log), 0) << log;
  for (const char *name : {"a", "c", "sub/b", "twin"})
    EXPECT_EQ(ReadFile(out + "/" + name), data) << name << " (bsdtar)";
  EXPECT_EQ(std::filesystem::hard_link_count(out + "/sub/b"), 3u);
  const std::string xo = tmp / "xo";
  ASSERT_EQ(RunCommand("xorriso -osirrox on -indev stdio:'" + image + "' -extract / '" + xo + "' 2>&1", &log), 0)
      << log;
  for (const char *name : {"a", "c", "sub/b"})
    EXPECT_EQ(ReadFile(xo + "/" + name), data) << name << " (xorriso)";

  // The next session imports the three names and writes them again as one
  // object, beside a new file.
  TOrvBurner next;
  next.ResetCompilation(65535, 8191);
  next.RockRidge = true;
  TFileSectorSource disc;
  std::string err;
  ASSERT_TRUE(disc.Open(image, err)) << err;
  ASSERT_TRUE(next.ImportFrom(disc, 0, 1, nullptr));
  ASSERT_NE(AddSynthetic(next, next.DirList[0], "new.txt", 5), nullptr);
  ASSERT_EQ(next.PrepareLayout(true, nullptr), 1);
  ASSERT_TRUE(next.BuildHeader(true, nullptr));
  const TFEntry *a = next.FindFile(next.DirList[0], "a.");
  const TFEntry *c = next.FindFile(next.DirList[0], "c.");
  ASSERT_TRUE(a && c && a->RR && c->RR);
  EXPECT_EQ(a->ISOAddress, c->ISOAddress) << "the imported names keep their one extent";
  EXPECT_EQ(a->RR->ImageLinks, 3u);
  EXPECT_EQ(c->RR->ImageLinks, 3u);
}

// Kept permissions reach the root; access times are the source's in either
// mode, where they were once the modify time.
TEST_F(RockRidgeImage, TheRootTakesTheSourceFolderAndAccessTimesAreTheSources) {
  const std::string src = tmp / "src";
  std::filesystem::create_directories(src);
  WriteFile(src + "/f.txt", "f");
  std::string log;
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept permissions" : "rational modes");
    // (Set again each time: writing the image reads the file.)
    ASSERT_EQ(RunCommand("touch -m -d '2002-02-02 02:02:02 UTC' '" + src + "/f.txt' && touch -a -d "
                         "'2001-01-01 01:01:01 UTC' '" + src + "/f.txt' && chmod 0750 '" + src + "'",
                         &log),
              0)
        << log;
    b.ResetCompilation(65535, 8191);
    b.RockRidge = true;
    b.RockRidgeKeepPermissions = keep;
    ASSERT_TRUE(b.InsertDir(b.DirList[0], src + "/", false, false, true, ov::faAnyFile, "*.*"));
    const std::string image = Build();
    const auto lines = Lines("bsdtar -tvf '" + image + "' --numeric-owner | tr -s ' ' | cut -d' ' -f1,3,9");
    const std::string root = keep ? "drwxr-x--- " + std::to_string(getuid()) + " ." : "dr-xr-xr-x 0 .";
    EXPECT_EQ(lines.count(root), 1u) << *lines.begin();
    const std::string out = tmp / (keep ? "xk" : "xr");
    std::filesystem::create_directories(out);
    ASSERT_EQ(RunCommand("bsdtar -xf '" + image + "' -C '" + out + "'", &log), 0) << log;
    struct stat st {};
    ASSERT_EQ(stat((out + "/f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1012615322);  // 2002-02-02 02:02:02 UTC
    EXPECT_EQ(st.st_atime, 978310861);   // 2001-01-01 01:01:01 UTC
  }
}

} // namespace
