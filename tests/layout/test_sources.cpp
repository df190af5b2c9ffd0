// Source paths held compactly: each folder once, a file's own name only when
// its long name does not give it; and the packed file list a write reads.
#include "layout_helpers.h"
#include "ovSourceList.h"

#include "../../bench/tree/SyntheticTree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <malloc.h>
#include <set>

namespace {

using layout_test::ReadFile;
using layout_test::TTempDir;
using layout_test::WriteFile;

struct TSourceCase {
  std::string LongName, Path;
};

TEST(SourcePaths, EveryNameFormComesBackAsGivenAndMatchesOnlyItself) {
  const std::vector<TSourceCase> cases = {
      {"report.txt", "/data/docs/report.txt"},       // the long name is the source name
      {"Makefile.", "/data/src/Makefile"},           // a "." added to a name without one
      {"a.", "/data/src/a."},                        // a name that ends in "." itself
      {"what_.txt", "/data/src/what?.txt"},          // cleaned for the image
      {"notes (2).txt", "/data/notes.txt"},          // numbered on a collision
      {"bare.bin", "bare.bin"},                      // relative, without a folder
      {"root.dat", "/root.dat"},                     // in the top folder
      {"x.", "/data/src/"},                          // an empty own name
  };
  TSourceFolders folders;
  std::vector<std::unique_ptr<TFEntry>> entries;
  for (const TSourceCase &c : cases) {
    auto e = std::make_unique<TFEntry>();
    e->LongName = c.LongName;
    e->SetSource(folders, c.Path);
    EXPECT_TRUE(e->HasSource()) << c.Path;
    EXPECT_EQ(e->SourcePath(), c.Path);
    std::string name = "<";
    e->AppendSourceName(name);
    EXPECT_EQ(name, "<" + c.Path.substr(c.Path.rfind('/') + 1)) << c.Path;
    entries.push_back(std::move(e));
  }
  // Each entry matches its own path and no other's, nor near misses of it.
  for (size_t i = 0; i < cases.size(); ++i) {
    for (size_t j = 0; j < cases.size(); ++j)
      EXPECT_EQ(entries[i]->SourceIs(cases[j].Path), i == j) << cases[i].Path << " vs " << cases[j].Path;
    const std::string &p = cases[i].Path;
    for (const std::string &miss : {p + ".", p + "x", p.substr(0, p.size() - 1), "/other" + p, std::string()})
      EXPECT_FALSE(entries[i]->SourceIs(miss)) << p << " vs " << miss;
  }
  // Folders are held once: /data/docs/, /data/src/, /data/, "" and /.
  EXPECT_EQ(folders.Size(), 5u);
  EXPECT_EQ(entries[1]->SourceFolder(), entries[2]->SourceFolder());
  EXPECT_EQ(*entries[0]->SourceFolder(), "/data/docs/");

  // A new source replaces the old one; an empty one clears it.
  TFEntry &e = *entries[4];
  e.SetSource(folders, "/data/docs/notes (2).txt");
  EXPECT_EQ(e.SourcePath(), "/data/docs/notes (2).txt");
  EXPECT_EQ(e.SourceFolder(), entries[0]->SourceFolder());
  e.SetSource(folders, "");
  EXPECT_FALSE(e.HasSource());
  EXPECT_EQ(e.SourcePath(), "");
  EXPECT_TRUE(e.SourceIs(""));
  EXPECT_FALSE(e.WritesData());
}

TEST(SourcePaths, RenamedAndExtensionlessFilesOfARealFolderAreReadFromTheirSources) {
  TTempDir t;
  std::filesystem::create_directories(t / "src/sub");
  WriteFile(t / "src/readme", "lower");
  WriteFile(t / "src/README", "upper");
  WriteFile(t / "src/Makefile", "all:");
  WriteFile(t / "src/sub/odd:name?.txt", "odd");
  WriteFile(t / "src/sub/plain.txt", "plain");
  TOrvBurner b;
  b.RockRidge = true;
  ASSERT_TRUE(b.InsertDir(b.Root(), t / "src", false, false, true));
  std::set<std::string> seen;
  for (const TFEntry *f : b.FileList) {
    if (f->IsDir())
      continue;
    ASSERT_TRUE(f->HasSource()) << f->LongName;
    const std::string path = f->SourcePath();
    EXPECT_TRUE(f->SourceIs(path));
    EXPECT_EQ(path.compare(0, t.Path().size(), t.Path()), 0) << path;
    seen.insert(path.substr(t.Path().size()));
  }
  EXPECT_EQ(seen, (std::set<std::string>{"/src/readme", "/src/README", "/src/Makefile", "/src/sub/odd:name?.txt",
                                         "/src/sub/plain.txt"}));
  // Removing entries and adding a source again leaves every other path whole.
  TDEntry *sub = b.FindDir("\\SUB");
  ASSERT_NE(sub, nullptr);
  ASSERT_TRUE(b.RemoveEntry(sub, b.FindFile(sub, "plain.txt")));
  ASSERT_EQ(b.InsertFile("\\", t / "src/sub/plain.txt", false), 1);
  for (const TFEntry *f : b.FileList)
    if (!f->IsDir())
      EXPECT_FALSE(ReadFile(f->SourcePath()).empty()) << f->LongName;
}

TEST(SourceList, KeepsEveryPathAndSizeInOrderAcrossFoldersChunksAndMoves) {
  std::vector<TCacheSource> want = {{"/a/one", 1}, {"/b/two", 2}, {"/a/three", 3}, {"four", 4}, {"/a/", 5}};
  // Names that fill several chunks, and one longer than a chunk.
  for (int k = 0; k < 20000; ++k)
    want.push_back({"/many/" + std::string(20 + k % 40, static_cast<char>('a' + k % 26)), k});
  want.push_back({"/big/" + std::string(300 * 1024, 'z'), 7});
  want.push_back({"/b/after-big", 8});
  TSourceList list;
  for (const TCacheSource &s : want)
    list.push_back(s);
  TSourceList moved = std::move(list);
  ASSERT_EQ(moved.size(), want.size());
  size_t k = 0;
  for (const TCacheSource &s : moved) {
    ASSERT_LT(k, want.size());
    EXPECT_EQ(s.Path, want[k].Path) << k;
    EXPECT_EQ(s.Size, want[k].Size) << k;
    ++k;
  }
  EXPECT_EQ(k, want.size());

  const TSourceList braced = {{"/x/y", 10}, {"", 0}};
  ASSERT_EQ(braced.size(), 2u);
  EXPECT_EQ(braced[0].Path, "/x/y");
  EXPECT_EQ(braced[1].Path, "");
  EXPECT_EQ(braced[1].Size, 0);
}

// Heap bytes per entry of a compilation of synthetic files in folders, as
// an insertion from local folders makes it (source paths included).
double HeapBytesPerEntry(bool rockRidge) {
  const size_t before = mallinfo2().uordblks;
  size_t after = 0;
  int64_t entries = 0;
  {
    TOrvBurner b;
    b.RockRidge = rockRidge;
    EXPECT_TRUE(synthetic::InsertFolderByFolder(b, 2000, 60000));
    entries = static_cast<int64_t>(b.FileList.size());
    after = mallinfo2().uordblks;
  }
  return static_cast<double>(after - before) / static_cast<double>(entries);
}

// Memory of large compilations: 620,000 entries must lay out in bounded
// memory, and the tree is most of it. The records take about 335 bytes per
// entry here; a whole source path per file adds some 150.
TEST(SourcePaths, CompilationTreeStaysUnderItsPerEntryBudget) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators do not report through mallinfo2";
#endif
  for (bool rr : {false, true}) {
    const double perEntry = HeapBytesPerEntry(rr);
    RecordProperty(rr ? "bytes_per_entry_rr" : "bytes_per_entry", std::to_string(perEntry));
    EXPECT_GT(perEntry, 100.0) << "the measure saw no allocation";
    EXPECT_LT(perEntry, 380.0) << (rr ? "with" : "without") << " Rock Ridge";
  }
}

} // namespace
