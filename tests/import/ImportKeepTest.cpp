// What an append must keep: long Joliet names, valid fresh ISO names for
// imported entries, files recorded in several extents (imported, and new
// ones of 4 GiB and more), the primary tree behind a broken Joliet tree,
// names without an extension, and the message when a new file loses.
#include "CraftedImage.h"

#include "ovCDBC.h"
#include "ovCDBC_layout.h"
#include "ovSessionTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <unistd.h>

#include "ImportTestUtil.h"

namespace fs = std::filesystem;
using craft::TImage;
using craft::U16;
using namespace importtest;

namespace {

// The header image of a layout, readable as the session it starts, with
// zero sectors up to the end of the volume.
class THeaderSource : public TSectorSource {
public:
  THeaderSource(const TOrvBurner &b) : header_(b.HeaderImage.Memory(), b.HeaderImage.Memory() + b.HeaderImage.Size()),
                                       end_(static_cast<uint64_t>(b.ImageEnd)) {}
  uint64_t SectorCount() const override { return end_; }
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override {
    if (Lba + Count > end_) {
      Error = "beyond the end";
      return false;
    }
    for (uint32_t k = 0; k < Count; ++k) {
      const uint64_t at = (Lba + k) * SectorSize;
      uint8_t *out = Buffer + size_t{k} * SectorSize;
      if (at + SectorSize <= header_.size())
        std::memcpy(out, header_.data() + at, SectorSize);
      else
        std::memset(out, 0, SectorSize);
    }
    return true;
  }

private:
  std::vector<uint8_t> header_;
  uint64_t end_;
};

// The records named Id (raw identifier) in the root of one tree of a header.
std::vector<iso::TDirRecord> RootRecords(TSectorSource &src, bool joliet, const std::string &id) {
  iso::TISOReader reader(src);
  std::string err;
  EXPECT_TRUE(reader.ReadDescriptors(err)) << err;
  const iso::TVolumeDescriptor *d = joliet ? reader.Joliet() : reader.Primary();
  std::vector<iso::TDirRecord> all, out;
  std::vector<iso::TReadProblem> problems;
  if (!d || !reader.ReadDirectory(d->Root, all, problems))
    return out;
  for (const iso::TDirRecord &r : all)
    if (r.Identifier == id)
      out.push_back(r);
  return out;
}

// A session with a Joliet tree (root at 20) and a primary tree (root at 22).
TImage TwoTrees(const std::vector<TImage::TRec> &joliet, const std::vector<TImage::TRec> &primary) {
  TImage img(64);
  img.Descriptor(16, false, 22, 2048);
  img.Descriptor(17, true, 20, 2048);
  img.Terminator(18);
  img.Directory(20, 20, joliet);
  img.Directory(22, 22, primary);
  return img;
}

bool HasNote(const TOrvBurner &b, TInsertNoteKind kind) {
  for (const TInsertNote &n : b.InsertNotes)
    if (n.Kind == kind)
      return true;
  return false;
}

} // namespace

TEST(ImportKeep, JolietNamesOfThe108CharactersThisProgramWritesAreKeptWhole) {
  const std::string name = std::string(104, 'n') + ".txt";
  TImage img = TwoTrees({{U16(name + ";1"), 30, 5, 0}}, {{"NNNNNNNN.TXT;1", 30, 5, 0}});
  std::memcpy(img.Sector(30), "hello", 5);
  craft::TMemorySource src(img.data);
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  TFEntry *e = b.FindFile(b.Root(), name);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->LongName, name);
  EXPECT_TRUE(b.InsertNotes.empty()) << b.InsertNotes.front().Detail;
}

TEST(ImportKeep, NamesTooLongForANewRecordAreShortenedNotDropped) {
  const std::string over(110, 'o');  // 220 bytes: the longest UCS-2 identifier a record holds
  TImage img = TwoTrees({{U16(over), 30, 1, 0}, {U16(std::string(110, 'd')), 24, 2048, 2}}, {});
  img.Directory(24, 20, {});
  craft::TMemorySource src(img.data);
  TOrvBurner b;
  std::vector<std::string> log;
  b.OnDebugMessage = [&](TObject *, const std::string &m, uint8_t) { log.push_back(m); };
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  EXPECT_EQ(b.FileCount(), 2);
  EXPECT_NE(b.FindFile(b.Root(), std::string(107, 'o') + "."), nullptr);
  EXPECT_NE(b.FindDir("\\" + std::string(110, 'D')), nullptr);
  EXPECT_TRUE(HasNote(b, TInsertNoteKind::Renamed));
  EXPECT_FALSE(HasNote(b, TInsertNoteKind::TooLong));
  const std::string expected = over + "\n\rERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS";
  EXPECT_NE(std::find(log.begin(), log.end(), expected), log.end());
}

TEST(ImportKeep, ImportedEntriesGetValidLevelOneNamesKeepingTheirExtension) {
  if (Shell("command -v genisoimage") != 0)
    GTEST_SKIP() << "genisoimage is not installed";
  char t[] = "/tmp/skarvo-keep-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  const fs::path src = dir / "src";
  for (const char *n : {"Documents/a.txt", "small_100.dat", "README (2).TXT", "a long name with.txt",
                        "big file with.ext", "noext", "x.tar.gz", "Documents and more/b.txt"})
    Write(src / n, n);
  ASSERT_EQ(Shell("genisoimage -quiet -J -o '" + (dir / "s.iso").string() + "' '" + src.string() + "'"), 0);
  const std::string bytes = Slurp(dir / "s.iso");
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  fs::remove_all(dir);
  craft::TMemorySource source(data);
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.ImportSource = &source;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  // 8.3 in d-characters; "~" numbers the aliases that would collide.
  const std::regex file("[A-Z0-9_~]{1,8}\\.[A-Z0-9_]{0,3}"), folder("[A-Z0-9_~]{1,8}");
  std::set<std::string> names;
  for (TFEntry *e : b.FileList) {
    EXPECT_TRUE(std::regex_match(e->ISOName, e->IsDir() ? folder : file)) << e->LongName << " -> " << e->ISOName;
    if (e->Owner == b.Root()) {
      EXPECT_TRUE(names.insert(e->ISOName).second) << e->ISOName;
    }
  }
  EXPECT_EQ(b.FileCount(), 10);
  EXPECT_EQ(b.FindFile(b.Root(), "big file with.ext")->ISOName.substr(8), ".EXT");
  EXPECT_EQ(b.FindFile(b.Root(), "x.tar.gz")->ISOName.substr(b.FindFile(b.Root(), "x.tar.gz")->ISOName.find('.')),
            ".GZ");
}

TEST(ImportKeep, FilesInSeveralExtentsAreImportedExtractedAndWrittenAgain) {
  TImage img = TwoTrees({{U16("big.bin;1"), 30, 4096, 0x80}, {U16("big.bin;1"), 40, 100, 0}},
                        {{"BIG.BIN;1", 30, 4096, 0x80}, {"BIG.BIN;1", 40, 100, 0}});
  std::memset(img.Sector(30), 'A', 4096);
  std::memset(img.Sector(40), 'B', 100);
  craft::TMemorySource src(img.data);
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  EXPECT_TRUE(b.InsertNotes.empty());
  TFEntry *e = b.FindFile(b.Root(), "big.bin");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Size, 4196);
  ASSERT_EQ(e->Extents.size(), 2u);

  char t[] = "/tmp/skarvo-keep-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  ASSERT_EQ(b.ExtractFile(e, (dir / "big.bin").string()), 1);
  EXPECT_EQ(Slurp(dir / "big.bin"), std::string(4096, 'A') + std::string(100, 'B'));
  fs::remove_all(dir);

  // The new session points at both old extents, in order, in both trees.
  b.JolietFileSystem = true;
  b.PrepareLayout(true, nullptr);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  THeaderSource header(b);
  for (bool joliet : {false, true}) {
    SCOPED_TRACE(joliet ? "Joliet" : "primary");
    const auto recs = RootRecords(header, joliet, joliet ? U16("big.bin;1") : std::string("BIG.BIN;1"));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].Extent, 30u);
    EXPECT_EQ(recs[0].DataLength, 4096u);
    EXPECT_EQ(recs[0].Flags, 0x80);
    EXPECT_EQ(recs[1].Extent, 40u);
    EXPECT_EQ(recs[1].DataLength, 100u);
    EXPECT_EQ(recs[1].Flags, 0);
  }
}

TEST(ImportKeep, NewFilesOfFourGibibytesAndMoreAreWrittenInSeveralExtents) {
  char t[] = "/tmp/skarvo-keep-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  const int64_t size = (int64_t(9) << 30) + 12345;  // three extents
  const fs::path huge = dir / "huge.bin";
  const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);  // sparse
  ::close(fd);
  Write(dir / "z.txt", "after");
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.JolietFileSystem = true;
  ASSERT_EQ(b.InsertFile("\\", huge.string(), false), 1);
  ASSERT_EQ(b.InsertFile("\\", (dir / "z.txt").string(), false), 1);
  fs::remove_all(dir);
  EXPECT_TRUE(b.RefusedFiles.empty());
  b.PrepareLayout(true, nullptr);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  const uint64_t sectors = (static_cast<uint64_t>(size) + 2047) / 2048;
  EXPECT_EQ(static_cast<uint64_t>(b.ImageEnd), b.FirstFileAddress + sectors + 1);
  THeaderSource header(b);
  for (bool joliet : {false, true}) {
    SCOPED_TRACE(joliet ? "Joliet" : "primary");
    const auto recs = RootRecords(header, joliet, joliet ? U16("huge.bin;1") : std::string("HUGE.BIN;1"));
    ASSERT_EQ(recs.size(), 3u);
    uint64_t next = b.FirstFileAddress, total = 0;
    for (size_t k = 0; k < recs.size(); ++k) {
      EXPECT_EQ(recs[k].Extent, next);
      EXPECT_EQ(recs[k].Flags, k + 1 < recs.size() ? 0x80 : 0);
      EXPECT_EQ(recs[k].DataLength % 2048 == 0, k + 1 < recs.size());
      next += (recs[k].DataLength + 2047) / 2048;
      total += recs[k].DataLength;
    }
    EXPECT_EQ(total, static_cast<uint64_t>(size));
    const auto after = RootRecords(header, joliet, joliet ? U16("z.txt;1") : std::string("Z.TXT;1"));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].Extent, b.FirstFileAddress + sectors);
  }
  // Our own reader joins the extents into one file again.
  iso::TSessionTree tree;
  std::string err;
  ASSERT_TRUE(iso::ReadSessionTree(header, 0, iso::TTreeChoice::PreferJoliet, tree, err)) << err;
  const int32_t at = iso::FindPath(tree, "/huge.bin");
  ASSERT_GE(at, 0);
  EXPECT_EQ(tree.Entries[at].Size, static_cast<uint64_t>(size));
  EXPECT_EQ(tree.Entries[at].Extents.size(), 3u);
}

TEST(ImportKeep, AJolietTreeThatCannotBeReadOrIsEmptyGivesWayToThePrimaryTree) {
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind == 0 ? "root beyond the end" : kind == 1 ? "empty root" : "broken root record");
    TImage img = TwoTrees({}, {{"README.;1", 30, 4, 0}, {"SUB", 24, 2048, 2}});
    img.Directory(24, 22, {{"IN.TXT;1", 31, 2, 0}});
    if (kind == 0)
      TImage::Record(img.Sector(17) + 156, std::string(1, '\0'), 5000, 2048, 2);
    if (kind == 2)
      img.Sector(17)[156] = 10;
    craft::TMemorySource src(img.data);
    iso::TSessionTree tree;
    std::string err;
    ASSERT_TRUE(iso::ReadSessionTree(src, 0, iso::TTreeChoice::PreferJoliet, tree, err)) << err;
    EXPECT_FALSE(tree.Joliet);
    EXPECT_GE(iso::FindPath(tree, "/SUB/IN.TXT"), 0);
    ASSERT_EQ(tree.Notices.size(), 1u);
    EXPECT_NE(tree.Notices[0].find("primary tree is read instead"), std::string::npos);

    TOrvBurner b;
    b.ResetCompilation(1000, 100);
    b.ImportSource = &src;
    ASSERT_TRUE(b.ImportSession(1, nullptr));
    EXPECT_NE(b.FindFile(b.Root(), "README."), nullptr);
    EXPECT_NE(b.FindFile(b.FindDir("\\SUB"), "IN.TXT"), nullptr);
  }
}

TEST(ImportKeep, JolietNamesLoseTheDotOfANameWithoutExtension) {
  EXPECT_EQ(iso::CleanName(U16("README.;1"), true), "README");
  EXPECT_EQ(iso::CleanName(U16("README."), true), "README");
  EXPECT_EQ(iso::CleanName(U16("a.b.;1"), true), "a.b");
  EXPECT_EQ(iso::CleanName(U16("a.txt;1"), true), "a.txt");
  EXPECT_EQ(iso::CleanName(U16("."), true), ".");
  EXPECT_EQ(iso::CleanName("README.;1", false), "README.");  // primary names as recorded
}

TEST(ImportKeep, ANewFileThatLosesToTheDiscIsNamedWithASlashPathAndTheWayToReplace) {
  TImage img = TwoTrees({{U16("a.txt;1"), 30, 1, 0}}, {{"A.TXT;1", 30, 1, 0}});
  craft::TMemorySource src(img.data);
  char t[] = "/tmp/skarvo-keep-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  Write(dir / "a.txt", "new");
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  ASSERT_EQ(b.InsertFile("\\", (dir / "a.txt").string(), false), 1);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  fs::remove_all(dir);
  ASSERT_FALSE(b.InsertNotes.empty());
  const TInsertNote &n = b.InsertNotes.back();
  EXPECT_EQ(n.Kind, TInsertNoteKind::NameTaken);
  EXPECT_NE(n.Detail.find("already on the disc in /"), std::string::npos) << n.Detail;
  EXPECT_EQ(n.Detail.find('\\'), std::string::npos) << n.Detail;
  EXPECT_NE(n.Detail.find("--replace"), std::string::npos) << n.Detail;
}

TEST(ImportKeep, DiscNamesThatDifferOnlyByCaseAreBothKept) {
  TImage img = TwoTrees({{U16("A.TXT;1"), 30, 1, 0}, {U16("a.txt;1"), 31, 1, 0}, {U16("a.txt;1"), 32, 1, 0}}, {});
  craft::TMemorySource src(img.data);
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.ImportSource = &src;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  ASSERT_NE(b.FindFile(b.Root(), "A.TXT"), nullptr);
  EXPECT_EQ(b.FindFile(b.Root(), "A.TXT")->ISOAddress, 30);
  ASSERT_NE(b.FindFile(b.Root(), "a (2).txt"), nullptr);
  EXPECT_EQ(b.FindFile(b.Root(), "a (2).txt")->ISOAddress, 31);
  EXPECT_EQ(b.FileCount(), 2);  // the exact repeat is named and left out
  EXPECT_TRUE(HasNote(b, TInsertNoteKind::Unreadable));
}
