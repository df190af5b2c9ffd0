// Session import from images made by genisoimage: names, the edge cases of
// the import, ReplaceFile in both orders, and ExtractFile's checked reads.
#include "CraftedImage.h"

#include "ovCDBC.h"
#include "ovSessionTree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "ImportTestUtil.h"

namespace fs = std::filesystem;

namespace {

using namespace importtest;

std::vector<uint8_t> Bytes(const fs::path &p) {
  const std::string s = Slurp(p);
  return std::vector<uint8_t>(s.begin(), s.end());
}

class Import : public ::testing::Test {
protected:
  void SetUp() override {
    if (Shell("command -v genisoimage") != 0)
      GTEST_SKIP() << "genisoimage is not installed";
    char t[] = "/tmp/skarvo-import-XXXXXX";
    dir_ = ::mkdtemp(t);
    src_ = dir_ / "src";
    Write(src_ / "README", "read me\n");
    Write(src_ / "D" / "inner.txt", "inner\n");
    Write(src_ / "EMPTY", "");
    Write(src_ / "My Documents Backup.txt", "backup\n");
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
      big[i] = static_cast<char>(i * 7 + i / 251);
    Write(src_ / "big.bin", big);
    ASSERT_EQ(Shell("touch -d '2020-05-06 07:08:09' '" + (src_ / "big.bin").string() + "'"), 0);
    b_.ResetCompilation(65535, 8191);
  }
  void TearDown() override {
    if (!dir_.empty())
      fs::remove_all(dir_);
  }

  // Imports session 1 of an image made by genisoimage with these options.
  void ImportImage(const std::string &options) {
    image_ = dir_ / "s1.iso";
    ASSERT_EQ(Shell("genisoimage -quiet " + options + " -o '" + image_.string() + "' '" + src_.string() + "'"), 0);
    data_ = Bytes(image_);
    source_ = std::make_unique<craft::TMemorySource>(data_);
    b_.ImportSource = source_.get();
    ASSERT_TRUE(b_.ImportSession(-1, nullptr));
  }

  // The extent the image's own tree gives a path.
  uint64_t ExtentOf(const std::string &path, bool primary) {
    iso::TSessionTree tree;
    std::string err;
    EXPECT_TRUE(iso::ReadSessionTree(*source_, 0, primary ? iso::TTreeChoice::Primary : iso::TTreeChoice::PreferJoliet,
                                     tree, err));
    const int32_t at = iso::FindPath(tree, path);
    EXPECT_GE(at, 0) << path;
    return at < 0 || tree.Entries[at].Extents.empty() ? 0 : tree.Entries[at].Extents[0].Lba;
  }

  fs::path dir_, src_, image_;
  std::vector<uint8_t> data_;
  std::unique_ptr<craft::TMemorySource> source_;
  TOrvBurner b_;
};

} // namespace

TEST_F(Import, ISOOnlySessionKeepsItsNamesExtentsAndEmptyFiles) {
  ImportImage("");
  TFEntry *readme = b_.FindFile(b_.Root(), "README.");
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->LongName, "README.");
  EXPECT_TRUE(readme->Imported);
  EXPECT_EQ(static_cast<uint64_t>(readme->ISOAddress), ExtentOf("/README.", true));
  EXPECT_EQ(readme->Size, 8);
  TDEntry *d = b_.FindDir("\\D");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->LongName, "D");
  EXPECT_NE(b_.FindFile(d, "INNER.TXT"), nullptr);
  // A file of size 0 comes back as a new, empty file: no extent to keep.
  TFEntry *empty = b_.FindFile(b_.Root(), "EMPTY.");
  ASSERT_NE(empty, nullptr);
  EXPECT_FALSE(empty->Imported);
  EXPECT_EQ(empty->ISOAddress, 0);
  EXPECT_EQ(empty->Size, 0);
  TFEntry *big = b_.FindFile(b_.Root(), "BIG.BIN");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(ov::FormatDateTime("yyyy-mm-dd hh:nn:ss", big->DateTime), "2020-05-06 07:08:09");
}

TEST_F(Import, JolietSessionGivesLongNamesAndNewShortNames) {
  ImportImage("-J");
  TFEntry *e = b_.FindFile(b_.Root(), "My Documents Backup.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->Imported);
  EXPECT_EQ(e->ISOName, "MYDOCUME.TXT");  // a fresh 8.3 alias, as a new file gets
  EXPECT_EQ(static_cast<uint64_t>(e->ISOAddress), ExtentOf("/My Documents Backup.txt", false));
  EXPECT_NE(b_.FindFile(b_.Root(), "README."), nullptr);  // a file name always has its "."
  ASSERT_NE(b_.FindDir("\\D"), nullptr);

  // The new session's layout writes the old extents and gives them no sectors.
  b_.JolietFileSystem = true;
  b_.PrepareLayout(true, nullptr);
  EXPECT_EQ(e->ISOAddress, static_cast<int32_t>(ExtentOf("/My Documents Backup.txt", false)));
  EXPECT_EQ(b_.ImageEnd, b_.FirstFileAddress);
}

TEST_F(Import, ReplaceFileDecidesBetweenTheDiscAndTheNewFileInEitherOrder) {
  const fs::path fresh = dir_ / "new" / "README";
  Write(fresh, "new content\n");
  for (int order = 0; order < 2; ++order) {
    for (bool replace : {false, true}) {
      SCOPED_TRACE("import " + std::string(order == 0 ? "first" : "last") + ", ReplaceFile " +
                   (replace ? "on" : "off"));
      b_.ResetCompilation(65535, 8191);
      b_.ReplaceFile = replace;
      if (order == 1) {
        ASSERT_EQ(b_.InsertFile("\\", fresh.string(), false), 1);
      }
      ImportImage("-J");
      if (order == 0)
        b_.InsertFile("\\", fresh.string(), false);
      TFEntry *e = b_.FindFile(b_.Root(), "README.");
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->Imported, !replace);
      EXPECT_EQ(e->SourcePath(), replace ? fresh.string() : std::string());
      EXPECT_EQ(e->Size, replace ? 12 : 8);
      bool leftOut = false;
      for (const TInsertNote &n : b_.InsertNotes)
        leftOut = leftOut || (n.Kind == TInsertNoteKind::NameTaken && n.SourcePath == fresh.string());
      EXPECT_EQ(leftOut, !replace);
      int copies = 0;
      for (TFEntry *f : b_.FileList)
        copies += f->LongName == "README.";
      EXPECT_EQ(copies, 1);
    }
  }
}

TEST_F(Import, ExtractFileChecksEveryReadAndLeavesNoPartialFile) {
  ImportImage("-J");
  TFEntry *big = b_.FindFile(b_.Root(), "big.bin");
  ASSERT_NE(big, nullptr);
  const fs::path out = dir_ / "out" / "big.bin";
  Write(out, "older copy");
  source_->FailAt = static_cast<uint64_t>(big->ISOAddress) + 40;
  EXPECT_EQ(b_.ExtractFile(big, out.string()), 0);
  EXPECT_EQ(Slurp(out), "older copy");
  EXPECT_EQ(std::distance(fs::directory_iterator(out.parent_path()), fs::directory_iterator()), 1);

  source_->FailAt = ~uint64_t{0};
  EXPECT_EQ(b_.ExtractFile(big, out.string()), 1);
  EXPECT_EQ(Slurp(out), Slurp(src_ / "big.bin"));
  struct stat a {}, c {};
  ASSERT_EQ(::stat(out.c_str(), &a), 0);
  ASSERT_EQ(::stat((src_ / "big.bin").c_str(), &c), 0);
  EXPECT_EQ(a.st_mtime, c.st_mtime);

  // A file of size 0 comes back empty; a new file is not on the disc.
  TFEntry *empty = b_.FindFile(b_.Root(), "EMPTY.");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(b_.ExtractFile(empty, (dir_ / "out" / "EMPTY").string()), 1);
  EXPECT_EQ(fs::file_size(dir_ / "out" / "EMPTY"), 0u);
  ASSERT_EQ(b_.InsertFile("\\", (src_ / "D" / "inner.txt").string(), false), 1);
  EXPECT_EQ(b_.ExtractFile(b_.FindFile(b_.Root(), "inner.txt"), (dir_ / "out" / "x").string()), 0);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "x"));
}

TEST_F(Import, ExtractFileStopsBetweenReadsWhenTold) {
  Write(src_ / "large.bin", std::string(3000000, 'L'));  // three reads of 1 MiB
  ImportImage("-J");
  TFEntry *large = b_.FindFile(b_.Root(), "large.bin");
  ASSERT_NE(large, nullptr);
  const fs::path out = dir_ / "out" / "large.bin";
  Write(out, "older copy");
  std::vector<uint64_t> calls;
  EXPECT_EQ(b_.ExtractFile(large, out.string(),
                           [&](uint64_t done) {
                             calls.push_back(done);
                             return calls.size() < 2;
                           }),
            0);
  EXPECT_EQ(calls, (std::vector<uint64_t>{1048576, 2097152}));
  EXPECT_EQ(Slurp(out), "older copy");
  EXPECT_EQ(std::distance(fs::directory_iterator(out.parent_path()), fs::directory_iterator()), 1);
}
