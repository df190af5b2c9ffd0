// Crafted, damaged and hostile sessions: each gives messages and the rest of
// the tree, never a crash, a hang, or a file outside the extract folder.
#include "CraftedImage.h"

#include "ovCDBC.h"
#include "ovExtract.h"
#include "ovISOCheck.h"
#include "ovSectorSource.h"
#include "ovSessionTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using craft::TImage;
using craft::U16;

namespace {

std::vector<std::string> Paths(const iso::TSessionTree &t) {
  std::vector<std::string> out;
  for (size_t i = 1; i < t.Entries.size(); ++i)
    out.push_back(iso::EntryPath(t, static_cast<int32_t>(i)));
  return out;
}

bool Has(const std::vector<std::string> &v, const std::string &s) { return std::find(v.begin(), v.end(), s) != v.end(); }

bool Mentions(const iso::TSessionTree &t, const std::string &text) {
  for (const std::string &m : t.Messages)
    if (m.find(text) != std::string::npos)
      return true;
  return false;
}

iso::TSessionTree Read(TImage &img, bool primary = false) {
  craft::TMemorySource src(img.data);
  iso::TSessionTree tree;
  std::string err;
  EXPECT_TRUE(iso::ReadSessionTree(src, 0, primary ? iso::TTreeChoice::Primary : iso::TTreeChoice::PreferJoliet,
                                   tree, err))
      << err;
  return tree;
}

struct TTemp {
  fs::path path;
  TTemp() {
    char t[] = "/tmp/skarvo-import-XXXXXX";
    path = ::mkdtemp(t);
  }
  ~TTemp() { fs::remove_all(path); }
};

} // namespace

TEST(HostileDisc, BrokenRecordLengthsEndOnlyTheirSector) {
  TImage img(40);
  img.Descriptor(16, false, 20, 3 * 2048);
  img.Terminator(17);
  img.Directory(20, 20, {{"GOOD1.TXT;1", 30, 5, 0}}, 3);
  uint8_t *s = img.Sector(20);
  size_t off = 34 + 34 + 44;
  s[off] = 1;  // a record of one byte: nothing after it in this sector is trusted
  TImage::Record(s + off + 40, "LOST.TXT;1", 30, 5, 0);
  // Second sector: a record of 255 bytes whose name runs past it, then nothing.
  TImage::Record(img.Sector(21), "X", 30, 5, 0, 255, 240);
  // Third sector: a good record, then a zero length that ends the sector.
  off = TImage::Record(img.Sector(22), "GOOD2.TXT;1", 31, 7, 0);
  img.Sector(22)[off] = 0;
  TImage::Record(img.Sector(22) + off + 1, "HIDDEN.TXT;1", 31, 7, 0);
  const auto tree = Read(img);
  const auto paths = Paths(tree);
  EXPECT_TRUE(Has(paths, "/GOOD1.TXT"));
  EXPECT_TRUE(Has(paths, "/GOOD2.TXT"));
  EXPECT_FALSE(Has(paths, "/LOST.TXT"));
  EXPECT_FALSE(Has(paths, "/HIDDEN.TXT"));
  EXPECT_EQ(paths.size(), 2u);
  EXPECT_TRUE(Mentions(tree, "record length 1"));
  EXPECT_TRUE(Mentions(tree, "identifier length 240"));
}

TEST(HostileDisc, LoopsAndOverDeepNestingEndTheirBranch) {
  TImage img(400);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  // /A holds a directory that points back at the root, and a file.
  img.Directory(20, 20, {{"A", 21, 2048, 2}, {"DEEP", 30, 2048, 2}});
  img.Directory(21, 20, {{"BACK", 20, 2048, 2}, {"F.TXT;1", 25, 3, 0}});
  // /DEEP/D/D/... 300 levels.
  for (uint32_t k = 0; k < 300; ++k)
    img.Directory(30 + k, k ? 29 + k : 20, {{"D", 31 + k, 2048, 2}});
  const auto start = std::chrono::steady_clock::now();
  const auto tree = Read(img);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  const auto paths = Paths(tree);
  EXPECT_TRUE(Has(paths, "/A/F.TXT"));
  EXPECT_FALSE(Has(paths, "/A/BACK"));
  EXPECT_TRUE(Mentions(tree, "already walked"));
  EXPECT_TRUE(Mentions(tree, "deeper than"));
  size_t deepest = 0;
  for (const auto &p : paths)
    deepest = std::max<size_t>(deepest, std::count(p.begin(), p.end(), '/'));
  EXPECT_EQ(deepest, iso::kMaxDepth);
}

TEST(HostileDisc, ExtentsPastTheEndAndSizesOfFourGiBAreLeftOut) {
  TImage img(40);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  img.Directory(20, 20, {{"FAR.BIN;1", 100000, 10, 0},
                         {"HUGE.BIN;1", 30, 0xFFFFFFFFu, 0},
                         {"EDGE.BIN;1", 39, 2048, 0},
                         {"OVER.BIN;1", 39, 2049, 0},
                         {"SUBDIR", 5000, 2048, 2},
                         {"OK.TXT;1", 30, 3, 0}});
  const auto tree = Read(img);
  const auto paths = Paths(tree);
  EXPECT_TRUE(Has(paths, "/OK.TXT"));
  EXPECT_TRUE(Has(paths, "/EDGE.BIN"));  // the last sector of the disc is still on it
  EXPECT_FALSE(Has(paths, "/FAR.BIN"));
  EXPECT_FALSE(Has(paths, "/HUGE.BIN"));
  EXPECT_FALSE(Has(paths, "/OVER.BIN"));
  EXPECT_TRUE(Mentions(tree, "past the end of the disc"));
  EXPECT_TRUE(Mentions(tree, "sector 5000"));  // the unreadable directory is named

  // The import takes the same view and names what it left out.
  craft::TMemorySource src(img.data);
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(-1, nullptr));
  EXPECT_TRUE(b.FindFile(b.Root(), "OK.TXT"));
  EXPECT_FALSE(b.FindFile(b.Root(), "FAR.BIN"));
  EXPECT_FALSE(b.FindFile(b.Root(), "HUGE.BIN"));
  bool named = false;
  for (const TInsertNote &n : b.InsertNotes)
    named = named || (n.IsLoss() && n.Detail.find("FAR.BIN") != std::string::npos);
  EXPECT_TRUE(named);
}

TEST(HostileDisc, NamesFromTheDiscStayInsideTheExtractFolder) {
  TImage img(40);
  img.Descriptor(16, false, 22, 2048);
  img.Descriptor(17, true, 20, 2048);
  img.Terminator(18);
  std::memcpy(img.Sector(30), "payload", 7);
  img.Directory(20, 20, {{U16("../../escape;1"), 30, 7, 0},
                         {U16(".."), 23, 2048, 2},
                         {U16("."), 30, 7, 0},
                         {U16("/etc") + std::string("\0\0", 2) + U16("x"), 30, 7, 0},
                         {std::string("\0\0\0\x01\0a", 6), 30, 7, 0},
                         {U16("ok.txt;1"), 30, 7, 0},
                         {U16("sub"), 21, 2048, 2}});
  img.Directory(21, 20, {{U16("..;1"), 30, 7, 0}, {U16("in.txt;1"), 30, 7, 0}});
  img.Directory(22, 22, {{"OK.TXT;1", 30, 7, 0}});
  const auto tree = Read(img);
  const auto paths = Paths(tree);
  EXPECT_TRUE(Has(paths, "/.._.._escape"));
  EXPECT_TRUE(Has(paths, "/_etc_x")) << ::testing::PrintToString(paths);
  EXPECT_TRUE(Has(paths, "/__a"));
  EXPECT_TRUE(Has(paths, "/ok.txt"));
  EXPECT_TRUE(Has(paths, "/sub/in.txt"));
  EXPECT_FALSE(Has(paths, "/.."));
  EXPECT_FALSE(Has(paths, "/sub/.."));
  EXPECT_TRUE(Mentions(tree, "cannot be used"));

  TTemp tmp;
  const fs::path out = tmp.path / "a" / "b";
  fs::create_directories(out);
  craft::TMemorySource src(img.data);
  const int dir = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  for (size_t i = 1; i < tree.Entries.size(); ++i) {
    const iso::TEntry &e = tree.Entries[i];
    if (e.Directory || e.Parent != 0)
      continue;
    std::string err;
    EXPECT_TRUE(iso::ExtractToFile(src, e.Extents, e.Size, dir, e.Name, e.Date, {}, err)) << iso::EntryPath(tree, static_cast<int32_t>(i)) << err;
  }
  ::close(dir);
  size_t inside = 0;
  for (const auto &p : fs::recursive_directory_iterator(tmp.path)) {
    if (p.is_regular_file()) {
      EXPECT_EQ(p.path().parent_path(), out) << p.path();
      ++inside;
    }
  }
  EXPECT_EQ(inside, 4u);
}

TEST(HostileDisc, FilesInSeveralExtentsAreReadWholeAndImported) {
  TImage img(60);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  for (int k = 0; k < 3; ++k)
    std::memset(img.Sector(30 + 4 * k), 'a' + k, 4096);
  img.Directory(20, 20, {{"BIG.BIN;1", 30, 4096, 0x80},
                         {"BIG.BIN;1", 34, 4096, 0x80},
                         {"BIG.BIN;1", 38, 100, 0},
                         {"CUT.BIN;1", 30, 4096, 0x80},
                         {"NEXT.TXT;1", 30, 4, 0}});
  const auto tree = Read(img);
  const auto paths = Paths(tree);
  ASSERT_TRUE(Has(paths, "/BIG.BIN"));
  EXPECT_TRUE(Has(paths, "/NEXT.TXT"));
  EXPECT_FALSE(Has(paths, "/CUT.BIN"));
  EXPECT_TRUE(Mentions(tree, "last part is missing"));
  const iso::TEntry &big = tree.Entries[static_cast<size_t>(iso::FindPath(tree, "/BIG.BIN"))];
  EXPECT_EQ(big.Size, 8292u);
  ASSERT_EQ(big.Extents.size(), 3u);

  TTemp tmp;
  craft::TMemorySource src(img.data);
  std::string err;
  const std::string file = (tmp.path / "big.bin").string();
  ASSERT_TRUE(iso::ExtractToFile(src, big.Extents, big.Size, AT_FDCWD, file, big.Date, {}, err)) << err;
  std::ifstream in(file, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(data, std::string(4096, 'a') + std::string(4096, 'b') + std::string(100, 'c'));
  // A file of more than 1 MiB from an image file, which the kernel copies:
  // two extents out of order on the disc, the last one short.
  {
    TImage large(1200);
    for (uint32_t k = 0; k < 900; ++k)
      std::memset(large.Sector(100 + k), 'p' + static_cast<int>(k % 7), 2048);
    const std::vector<iso::TExtent> parts{{400, 600 * 2048}, {100, 5000}};
    const std::string image = (tmp.path / "large.iso").string();
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char *>(large.data.data()), static_cast<std::streamsize>(large.data.size()));
    TFileSectorSource file;
    ASSERT_TRUE(file.Open(image, err)) << err;
    const std::string copy = (tmp.path / "copy.bin").string();
    std::vector<uint64_t> seen;
    ASSERT_TRUE(iso::ExtractToFile(file, parts, 600 * 2048 + 5000, AT_FDCWD, copy, 0,
                                   [&](uint64_t done) { return seen.push_back(done), true; }, err))
        << err;
    std::ifstream got(copy, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(got)), {});
    const auto *at = reinterpret_cast<const char *>(large.data.data());
    EXPECT_EQ(bytes, std::string(at + 400 * 2048, 600 * 2048) + std::string(at + 100 * 2048, 5000));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 600u * 2048 + 5000);
  }

  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  TFEntry *kept = b.FindFile(b.Root(), "BIG.BIN");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->Size, 8292);
  EXPECT_EQ(kept->Extents.size(), 3u);
  ASSERT_NE(b.FindFile(b.Root(), "NEXT.TXT"), nullptr);
  for (const TInsertNote &n : b.InsertNotes)
    EXPECT_EQ(n.SourcePath.find("/BIG.BIN"), std::string::npos) << n.Detail;
}

TEST(HostileDisc, LeftOverExtensionBlocksAreStepped) {
  TImage img(40);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  img.Directory(20, 20, {{"A.TXT;1", 30, 1, 0}});
  uint8_t *s = img.Sector(20) + 34 + 34 + 40;
  const uint8_t block[14] = {0, 0, 0, 0, 0x0D, 0x55, 'X', 'A', 1, 0, 0, 0, 0, 0};
  std::memcpy(s, block, 14);
  TImage::Record(s + 14, "B.TXT;1", 30, 1, 0);
  const auto paths = Paths(Read(img));
  EXPECT_TRUE(Has(paths, "/A.TXT"));
  EXPECT_TRUE(Has(paths, "/B.TXT"));
}

TEST(HostileDisc, OverlappingDirectoryExtentsCannotMultiplyTheReads) {
  // 1,500 directories whose extents all overlap the whole disc: a walk that
  // reads each would read the disc 1,500 times over.
  TImage img(3000);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  std::vector<TImage::TRec> recs;
  for (int k = 0; k < 1500; ++k)
    recs.push_back({"D" + std::to_string(k), static_cast<uint32_t>(100 + k), 32u << 20, 2});
  img.Directory(20, 20, recs, 40);
  craft::TMemorySource src(img.data);
  iso::TSessionTree tree;
  std::string err;
  ASSERT_TRUE(iso::ReadSessionTree(src, 0, iso::TTreeChoice::Primary, tree, err));
  EXPECT_LT(src.reads, 3u * 3000);
  EXPECT_TRUE(Mentions(tree, "overlap"));
}

TEST(HostileDisc, OverLongNamesAreReportedAndShortenedByTheImport) {
  TImage img(40);
  img.Descriptor(16, false, 22, 2048);
  img.Descriptor(17, true, 20, 2048);
  img.Terminator(18);
  const std::string longest(107, 'n'), over(108, 'o');
  img.Directory(20, 20, {{U16(longest), 30, 1, 0}, {U16(over), 30, 1, 0}, {U16("short.txt;1"), 30, 1, 0}});
  img.Directory(22, 22, {});
  craft::TMemorySource src(img.data);
  TOrvBurner b;
  std::vector<std::string> log;
  b.OnDebugMessage = [&](TObject *, const std::string &m, uint8_t) { log.push_back(m); };
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  EXPECT_NE(b.FindFile(b.Root(), "short.txt"), nullptr);
  EXPECT_NE(b.FindFile(b.Root(), longest + "."), nullptr);
  EXPECT_NE(b.FindFile(b.Root(), over.substr(1) + "."), nullptr);
  EXPECT_EQ(b.FileCount(), 3);
  const std::string expected = over + "\n\rERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS";
  EXPECT_NE(std::find(log.begin(), log.end(), expected), log.end());
}

// check reads one folder at a time: a name given twice is found however far
// apart its records lie, a file left continued at the end of its folder is
// named, and the folder it is in holds the rest of the tree's findings.
TEST(HostileDisc, CheckFindsRepeatedNamesFarApartAndAnOpenRunAtTheEnd) {
  TImage img(60);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  img.Directory(20, 20, {{"A.TXT;1", 40, 1, 0}, {"C.TXT;1", 41, 1, 0}, {"D", 30, 2048, 2},
                         {"B.TXT;1", 42, 1, 0}, {"A.TXT;1", 43, 1, 0}});
  img.Directory(30, 20, {{"A.TXT;1", 44, 1, 0}, {"Z.BIN;1", 46, 2048, 0x80}});
  craft::TMemorySource src(img.data);
  const iso::TCheckResult r = iso::CheckImage(src);
  const auto count = [&](const std::string &where, const std::string &what) {
    return std::count_if(r.Findings.begin(), r.Findings.end(), [&](const iso::TFinding &f) {
      return f.Severity == iso::TSeverity::Error && f.Where == where && f.What.find(what) != std::string::npos;
    });
  };
  std::string all;
  for (const iso::TFinding &f : r.Findings)
    all += f.Where + ": " + f.What + "\n";
  EXPECT_EQ(count("primary:/A.TXT;1", "appears more than once"), 1) << all;
  EXPECT_EQ(count("primary:/D/A.TXT;1", "appears more than once"), 0) << "another folder: " << all;
  EXPECT_EQ(count("primary:/", "records out of order"), 1) << all;
  EXPECT_EQ(count("primary:/D/Z.BIN;1", "the rest of the file is missing"), 1) << all;
  EXPECT_EQ(r.Files, 6u) << all;
  EXPECT_EQ(r.Dirs, 2u) << all;
}
