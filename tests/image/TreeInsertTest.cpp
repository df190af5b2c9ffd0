// Inserting local folders and files into the compilation tree.
#include "ovCDBC.h"
#include "ovSync.h"
#include "../platform/TestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

class TreeInsert : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-tree-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    root_ += "/";
    b_.OnDebugMessage = [this](TObject *, const std::string &m, uint8_t t) { log_.emplace_back(m, t); };
  }
  void TearDown() override { std::system(("chmod -R u+w '" + root_ + "'; rm -rf '" + root_ + "'").c_str()); }

  std::string Make(const std::string &rel, const std::string &content = "data") {
    const std::string p = root_ + rel;
    const size_t slash = p.rfind('/');
    std::system(("mkdir -p '" + p.substr(0, slash) + "'").c_str());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  std::string MakeDir(const std::string &rel) {
    std::system(("mkdir -p '" + root_ + rel + "'").c_str());
    return root_ + rel;
  }
  bool Logged(const std::string &text, int level) const {
    return std::any_of(log_.begin(), log_.end(),
                       [&](const auto &l) { return l.first.find(text) != std::string::npos && l.second == level; });
  }
  std::vector<std::string> Paths() const {
    std::vector<std::string> r;
    for (TDEntry *d : b_.DirList)
      r.push_back(d->Path);
    return r;
  }
  std::vector<std::string> Names(TDEntry *d) const {
    std::vector<std::string> r;
    for (TFEntry *e = d ? d->Entries : nullptr; e; e = e->Next)
      r.push_back(e->LongName);
    return r;
  }
  // Upper-cased image path of the temporary folder, e.g. "\TMP\SKARVO-TREE-AB12CD".
  std::string ImageRoot() const { return UpperCase("\\tmp\\" + root_.substr(5, root_.size() - 6)); }

  TOrvBurner b_;
  std::string root_;
  std::vector<std::pair<std::string, int>> log_;
};

bool XattrsWork(const std::string &file) {
  if (setxattr(file.c_str(), "user.skarvo.probe", "1", 1, 0) != 0)
    return false;
  removexattr(file.c_str(), "user.skarvo.probe");
  return true;
}

} // namespace

TEST_F(TreeInsert, RecursiveInsertMirrorsTheFolderAndDropsEmptyOnes) {
  Make("src/b.txt", "bbb");
  Make("src/a.txt", "a");
  Make("src/Sub/inner.dat", std::string(5000, 'x'));
  MakeDir("src/Empty/AlsoEmpty");
  MakeDir("src/OnlyEmpty/e1");
  MakeDir("src/OnlyEmpty/e2");
  EXPECT_TRUE(b_.InsertDir(b_.Root(), root_ + "src", false, false, true, 63, ""));
  EXPECT_EQ(Paths(), (std::vector<std::string>{"\\", "\\SUB"}));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"Sub", "a.txt", "b.txt"}));
  TFEntry *inner = b_.FindFile(b_.FindDir("\\Sub"), "inner.dat");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Size, 5000);
  EXPECT_EQ(inner->SourcePath(), root_ + "src/Sub/inner.dat");
  EXPECT_EQ(b_.FindFile(b_.Root(), "b.txt")->Size, 3);
  // File data order: subfolders first, then the files of the folder.
  EXPECT_EQ(b_.FileList[1], inner);
  EXPECT_EQ(b_.FileCount(), 4);
}

TEST_F(TreeInsert, SameFolderTwiceAddsNothingAndReplaceKeepsOrder) {
  Make("src/one.txt", "1");
  Make("src/two.txt", "22");
  Make("src/d/three.txt", "333");
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "src", false, false, true, 63, "*.*"));
  const std::vector<TFEntry *> before = b_.FileList;
  EXPECT_TRUE(b_.InsertDir(b_.Root(), root_ + "src/", false, false, true, 63, "*.*"));
  EXPECT_EQ(b_.FileList, before);
  Make("src/two.txt", "changed!");
  b_.ReplaceFile = true;
  EXPECT_TRUE(b_.InsertDir(b_.Root(), root_ + "src", false, false, true, 63, "*.*"));
  EXPECT_EQ(b_.FileList, before);
  EXPECT_EQ(b_.FindFile(b_.Root(), "two.txt")->Size, 8);
}

TEST_F(TreeInsert, KeepPathPutsContentsUnderTheSourcePath) {
  Make("A/B/f.txt");
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "A/B/", false, true, true, 63, ""));
  TDEntry *d = b_.FindDir(ImageRoot() + "\\A\\B");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Names(d), (std::vector<std::string>{"f.txt"}));

  b_.ResetCompilation(65535, 8191);
  b_.SavePathLastFolder = true;
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "A/B", false, true, true, 63, ""));
  EXPECT_EQ(Paths(), (std::vector<std::string>{"\\", "\\B"}));

  b_.ResetCompilation(65535, 8191);
  b_.SavePathLastFolder = false;
  EXPECT_EQ(b_.InsertFile("", root_ + "A/B/f.txt", true), 1);
  EXPECT_NE(b_.FindFile(b_.FindDir(ImageRoot() + "\\A\\B"), "f.txt"), nullptr);
  b_.SavePathLastFolder = true;
  EXPECT_EQ(b_.InsertFile("", root_ + "A/B/f.txt", true), 1);
  EXPECT_NE(b_.FindFile(b_.FindDir("\\B"), "f.txt"), nullptr);
}

TEST_F(TreeInsert, FoldersOfTheSourcePathGetAliasesLikeListedOnes) {
  Make("acc-image.xKkRHE/f.txt");
  Make("acc-image.other/g.txt");
  for (bool last : {false, true}) {
    b_.ResetCompilation(65535, 8191);
    b_.SavePathLastFolder = last;
    ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "acc-image.xKkRHE", false, true, true, 63, ""));
    ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "acc-image.other", false, true, true, 63, ""));
    ASSERT_EQ(b_.DirCount(), last ? 2 : 4);  // \tmp\skarvo-tree-X\acc-image.*
    std::set<std::string> siblings;
    for (size_t i = 1; i < b_.DirList.size(); ++i) {
      const TDEntry *d = b_.DirList[i];
      // Eight d-characters at most ("~N" marks a numbered alias), no ".".
      const bool alias = d->ISOName.size() <= 8 && d->ISOName.find_first_not_of(
                                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_~") == std::string::npos;
      EXPECT_TRUE(alias) << d->LongName << " -> " << d->ISOName;
      if (d->Parent == b_.DirList.back()->Parent)
        siblings.insert(d->ISOName);
    }
    EXPECT_EQ(siblings.size(), 2u) << "the two folders keep distinct aliases";
    EXPECT_EQ(b_.DirList.back()->LongName, "acc-image.other");
  }
}

TEST_F(TreeInsert, InsertFileResults) {
  const std::string f = Make("x.txt", "12345");
  MakeDir("folder");
  EXPECT_EQ(b_.InsertFile("\\", f, false), 1);
  EXPECT_EQ(b_.FindFile(b_.Root(), "x.txt")->Size, 5);
  EXPECT_EQ(b_.InsertFile("\\", root_ + "missing.txt", false), -1);
  EXPECT_EQ(b_.InsertFile("\\", root_ + "folder", false), -1);
  EXPECT_EQ(b_.InsertFile("\\nowhere", f, false), 0);
  EXPECT_TRUE(Logged("INVALID DESTINATION PATH", 4));
  EXPECT_FALSE(b_.InsertDir(nullptr, root_, false, false, true, 63, ""));
  // '*' and '?' in a Linux name are ordinary characters.
  const std::string star = Make("a*b?.txt");
  EXPECT_EQ(b_.InsertFile("\\", star, false), 1);
  EXPECT_EQ(b_.FileList.back()->LongName, "a_b_.txt");
}

TEST_F(TreeInsert, MasksAndArchiveOnly) {
  Make("s/a.txt");
  Make("s/b.log");
  Make("s/.hidden.txt");
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, false, 63 & ~ov::faHidden, "*.txt"));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"a.txt"}));
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, false, 63, "*.txt"));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"a.txt", ".hidden.txt"}));
  EXPECT_EQ(b_.FindFile(b_.Root(), ".hidden.txt")->Attr & ov::faHidden, ov::faHidden);
}

TEST_F(TreeInsert, ArchiveBitsAreClearedAndComeBackOnChange) {
  const std::string a = Make("s/a.txt", "a");
  Make("s/b.txt", "b");
  if (!XattrsWork(a))
    GTEST_SKIP() << "no user extended attributes on /tmp";
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", true, false, true, 63, ""));
  EXPECT_EQ(b_.FileCount(), 2);
  EXPECT_TRUE(b_.FileList[0]->ClearArchive);
  EXPECT_TRUE(b_.ClearArchiveBits());
  EXPECT_EQ(ov::FileGetAttr(a) & ov::faArchive, 0);

  b_.ResetCompilation(65535, 8191);
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", true, false, true, 63, ""));
  EXPECT_EQ(b_.FileCount(), 0);
  // A later change sets the bit again.
  struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", true, false, true, 63, ""));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"a.txt"}));
  // Without archive-only nothing is marked for clearing.
  b_.ResetCompilation(65535, 8191);
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  b_.ClearArchiveBits();
  EXPECT_NE(ov::FileGetAttr(a) & ov::faArchive, 0);
}

TEST_F(TreeInsert, LinksAreFollowedAndLoopsAndSpecialFilesPassedOver) {
  Make("s/real/f.txt", "ff");
  ASSERT_EQ(symlink((root_ + "s/real").c_str(), (root_ + "s/link").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "s").c_str(), (root_ + "s/real/loop").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "s/real/f.txt").c_str(), (root_ + "s/flink.txt").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "nowhere").c_str(), (root_ + "s/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((root_ + "s/pipe").c_str(), 0600), 0);
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"link", "real", "flink.txt"}));
  EXPECT_EQ(b_.FindFile(b_.Root(), "flink.txt")->Size, 2);
  // The same folder reached twice is fine; the link back up is not followed.
  EXPECT_NE(b_.FindFile(b_.FindDir("\\LINK"), "f.txt"), nullptr);
  EXPECT_NE(b_.FindFile(b_.FindDir("\\REAL"), "f.txt"), nullptr);
  EXPECT_EQ(b_.FindDir("\\REAL\\LOOP"), nullptr);
  // Each passed-over name is noted once, none as a loss.
  std::vector<std::string> notes;
  for (const TInsertNote &n : b_.InsertNotes) {
    EXPECT_FALSE(n.IsLoss()) << n.SourcePath;
    notes.push_back(n.SourcePath.substr(root_.size()));
  }
  std::sort(notes.begin(), notes.end());
  EXPECT_EQ(notes, (std::vector<std::string>{"s/dangling", "s/link/loop", "s/pipe", "s/real/loop"}));
  EXPECT_GT(b_.SourceSize(root_ + "s/"), 0);
}

TEST_F(TreeInsert, SourceSizeAddsEverythingBelowAFolder) {
  Make("s/a", std::string(1000, 'a'));
  Make("s/d/b", std::string(24, 'b'));
  Make("s/d/e/c", std::string(3, 'c'));
  EXPECT_EQ(b_.SourceSize(root_ + "s/"), 1027);
  EXPECT_EQ(b_.SourceSize(root_ + "s/d/b"), 24);
  EXPECT_EQ(b_.SourceSize(root_ + "s/missing"), 0);
}

TEST_F(TreeInsert, FourGibibyteFileIsKept) {
  Make("s/small.txt", "x");
  const std::string big = root_ + "s/huge.bin";
  const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, int64_t(4) << 30), 0);  // sparse
  close(fd);
  EXPECT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"huge.bin", "small.txt"}));
  EXPECT_TRUE(b_.RefusedFiles.empty());
  EXPECT_EQ(b_.FindFile(b_.Root(), "huge.bin")->Size, int64_t(4) << 30);
  EXPECT_EQ(b_.SourceSize(root_ + "s/"), (int64_t(4) << 30) + 1);
}

TEST_F(TreeInsert, CaseTwinsFromOneFolderAreBothKept) {
  Make("s/Notes.txt", "upper");
  Make("s/notes.txt", "lower");
  Make("s/Docs/a.txt", "1");
  Make("s/docs/a.txt", "2");
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  EXPECT_EQ(Names(b_.Root()), (std::vector<std::string>{"Docs", "docs (2)", "Notes.txt", "notes (2).txt"}));
  EXPECT_EQ(b_.FindFile(b_.FindDir("\\docs (2)"), "a.txt")->Size, 1);
  EXPECT_TRUE(Logged("STORED AS \"notes (2).txt\"", 1));
  const size_t files = b_.FileList.size();
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  EXPECT_EQ(b_.FileList.size(), files);
}

TEST_F(TreeInsert, InstallerFolderBeeps) {
  Make("s/Installer/setup.exe");
  int beeps = 0;
  ov::SetBeepHook([&] { ++beeps; });
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  ov::SetBeepHook(nullptr);
  EXPECT_EQ(beeps, 1);
}

TEST_F(TreeInsert, AddDirEventCanSkipAFolder) {
  Make("s/keep/a.txt");
  Make("s/skip/b.txt");
  std::vector<std::string> seen;
  b_.OnAddDir = [&](TObject *, std::string &lng, std::string &shrt, bool &skip) {
    seen.push_back(lng + "|" + shrt);
    skip = lng == "skip";
  };
  ASSERT_TRUE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  EXPECT_EQ(seen, (std::vector<std::string>{"keep|KEEP", "skip|SKIP"}));
  EXPECT_EQ(Paths(), (std::vector<std::string>{"\\", "\\KEEP"}));
}

TEST_F(TreeInsert, CapacityStopsTheWholeInsertion) {
  for (int i = 0; i < 5; ++i)
    Make("s/d" + std::to_string(i) + "/f.txt");
  b_.ResetCompilation(65535, 3);
  EXPECT_FALSE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  EXPECT_EQ(b_.DirCount(), 2);
  b_.ResetCompilation(3, 100);
  EXPECT_FALSE(b_.InsertDir(b_.Root(), root_ + "s", false, false, true, 63, ""));
  // The folder whose file did not fit is left out again.
  EXPECT_EQ(b_.FileCount(), 2);
  EXPECT_EQ(b_.DirCount(), 1);
}

TEST_F(TreeInsert, EntriesThatCannotBeReadAreNotedAndTheRestKept) {
  Make("s/ok.txt", "ok");
  Make("s/locked/inside.txt");
  Make("s/noexec/inner.txt");
  MakeDir("s/noexec/sub");
  Make("s/listonly/hidden.txt");
  Make("s/secret.txt");
  Make("s/deep/fine/a.txt", "a");
  chmod(root_.c_str(), 0755);
  chmod((root_ + "s/locked").c_str(), 0);
  chmod((root_ + "s/noexec").c_str(), 0644);
  chmod((root_ + "s/listonly").c_str(), 0311);
  chmod((root_ + "s/secret.txt").c_str(), 0);
  const std::string root = root_;
  const auto out = testenv::RunUnprivileged([root] {
    TOrvBurner b;
    std::string r = b.InsertDir(b.Root(), root + "s", false, false, true, 63, "") ? "" : "stopped\n";
    b.RemoveEmptyDirs();
    for (TFEntry *e : b.FileList)
      if (!e->IsDir())
        r += "file " + e->SourcePath().substr(root.size()) + "\n";
    for (const TInsertNote &n : b.InsertNotes)
      r += std::string(n.IsLoss() ? "lost " : "note ") + n.SourcePath.substr(root.size()) + "\n";
    return r;
  });
  ASSERT_TRUE(out.has_value()) << "could not run as an unprivileged user";
  EXPECT_EQ(*out, "file s/deep/fine/a.txt\n"
                  "file s/ok.txt\n"
                  "lost s/listonly\n"
                  "lost s/locked\n"
                  "lost s/noexec/inner.txt\n"
                  "lost s/noexec/sub\n"
                  "lost s/secret.txt\n");
}
