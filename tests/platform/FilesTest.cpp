// Directory listing, masks, attributes and 8.3 aliases.
#include "ovFiles.h"
#include "TestEnv.h"

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

using namespace ov;

TEST(Masks, WindowsSemantics) {
  EXPECT_TRUE(MatchesMask("README", "*.*"));
  EXPECT_TRUE(MatchesMask(".bashrc", "*.*"));
  EXPECT_TRUE(MatchesMask("a.b.c", "*"));
  EXPECT_TRUE(MatchesMask("Photo.JPG", "*.jpg"));
  EXPECT_FALSE(MatchesMask("photo.jpeg", "*.jpg"));
  EXPECT_TRUE(MatchesMask("data1.bin", "data?.bin"));
  EXPECT_FALSE(MatchesMask("data12.bin", "data?.bin"));
  EXPECT_TRUE(MatchesMask("README", "READ*.*"));
  EXPECT_TRUE(MatchesMask("Makefile", "*."));
  EXPECT_FALSE(MatchesMask("a.txt", "*."));
  EXPECT_TRUE(MatchesMask("anything", ""));
  EXPECT_TRUE(MatchesMask("aXbXc", "a*b*c"));
  EXPECT_FALSE(MatchesMask("aXbXd", "a*b*c"));
}

TEST(Aliases, ValidNamesNeedNoAlias) {
  EXPECT_TRUE(IsValid83("README"));
  EXPECT_TRUE(IsValid83("A_1.TXT"));
  EXPECT_TRUE(IsValid83("ABCDEFGH.XYZ"));
  EXPECT_FALSE(IsValid83("readme"));
  EXPECT_FALSE(IsValid83("ABCDEFGHI"));
  EXPECT_FALSE(IsValid83("A.TEXT"));
  EXPECT_FALSE(IsValid83("A."));
  EXPECT_FALSE(IsValid83(".A"));
  EXPECT_FALSE(IsValid83("A-B.TXT"));
  EXPECT_FALSE(IsValid83("A.B.C"));
  EXPECT_EQ(BaseAlias("README"), "");
  EXPECT_EQ(BaseAlias("readme.txt"), "README.TXT");
  EXPECT_EQ(BaseAlias("My Long Document.html"), "MYLONGDO.HTM");
  EXPECT_EQ(BaseAlias(".bashrc"), "BASHRC");
  EXPECT_EQ(BaseAlias("archive.tar.gz"), "ARCHIVET.GZ");
  EXPECT_EQ(BaseAlias("na\xC3\xAFve-file.t~t"), "NA_VE_FI.T_T");
  EXPECT_EQ(BaseAlias("..."), "_");
  EXPECT_EQ(BaseAlias("a\\b"), "A_B");
  // Folder identifiers carry no "." at all.
  EXPECT_TRUE(IsValid83("DOCS", true));
  EXPECT_FALSE(IsValid83("DOCS.OLD", true));
  EXPECT_EQ(BaseAlias("DOCS.OLD", true), "DOCS_OLD");
  EXPECT_EQ(BaseAlias("my.folder.name", true), "MY_FOLDE");
  EXPECT_EQ(BaseAlias(".config", true), "CONFIG");
}

TEST(Aliases, CollisionsAreNumberedWithinEightCharacters) {
  TAliasSet set;
  EXPECT_EQ(set.MakeUnique("DOCUMENT.TXT"), "DOCUMENT.TXT");
  EXPECT_EQ(set.MakeUnique("DOCUMENT.TXT"), "DOCUME~1.TXT");
  for (int i = 2; i <= 9; ++i)
    EXPECT_EQ(set.MakeUnique("DOCUMENT.TXT"), "DOCUME~" + std::to_string(i) + ".TXT");
  EXPECT_EQ(set.MakeUnique("DOCUMENT.TXT"), "DOCUM~10.TXT");
  EXPECT_EQ(set.MakeUnique("AB"), "AB");
  EXPECT_EQ(set.MakeUnique("AB."), "AB~1");  // a reader shows "AB." as "AB"
  EXPECT_TRUE(set.Contains("AB~1."));
  set.Remove("AB");
  EXPECT_EQ(set.MakeUnique("AB"), "AB");
}

TEST(Aliases, ListingAliasesAreUniqueAndValidNamesKeepTheirs) {
  std::vector<TSearchRec> recs(4);
  recs[0].Name = "readme.txt";
  recs[1].Name = "README.TXT";
  recs[2].Name = "ReadMe.txt";
  recs[3].Name = "Other";
  AssignAliases(recs);
  EXPECT_EQ(recs[0].ShortName, "README~1.TXT");
  EXPECT_EQ(recs[1].ShortName, "");
  EXPECT_EQ(recs[2].ShortName, "README~2.TXT");
  EXPECT_EQ(recs[3].ShortName, "OTHER");
}

// Thousands of names sharing their first characters all get distinct
// aliases of at most 8.3 characters (the cost is measured by bench_tree).
TEST(Aliases, ManyCollisionsAllGetDistinctAliases) {
  std::vector<TSearchRec> recs(120000);
  for (size_t i = 0; i < recs.size(); ++i)
    recs[i].Name = "Holiday photograph number " + std::to_string(i) + ".jpeg";
  AssignAliases(recs);
  std::set<std::string> unique;
  for (const auto &r : recs) {
    const size_t dot = r.ShortName.find('.');
    ASSERT_NE(dot, std::string::npos) << r.ShortName;
    ASSERT_LE(dot, 8u) << r.ShortName;
    ASSERT_EQ(r.ShortName.substr(dot), ".JPE");
    unique.insert(r.ShortName);
  }
  EXPECT_EQ(unique.size(), recs.size());
  EXPECT_EQ(recs[0].ShortName, "HOLIDAYP.JPE");
  EXPECT_EQ(recs[1].ShortName, "HOLIDA~1.JPE");
  EXPECT_EQ(recs[100000].ShortName, "H~100000.JPE");
}

namespace {

class Listing : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skarvo-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
  }
  void TearDown() override { std::system(("chmod -R u+w '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str()); }
  void Make(const std::string &name, const std::string &content = "x") { std::ofstream(dir_ + name) << content; }
  std::string dir_;
};

} // namespace

TEST_F(Listing, AttributesDatesAndOrder) {
  Make("b.txt", "hello");
  Make("A.txt");
  Make(".hidden");
  Make("ro.txt");
  chmod((dir_ + "ro.txt").c_str(), 0444);
  mkdir((dir_ + "sub").c_str(), 0755);
  mkfifo((dir_ + "fifo").c_str(), 0600);
  symlink((dir_ + "gone").c_str(), (dir_ + "dangling").c_str());
  struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
  utimensat(AT_FDCWD, (dir_ + "b.txt").c_str(), times, 0);

  std::vector<TSearchRec> recs;
  ASSERT_TRUE(FindFiles(dir_ + "*.*", faAnyFile, recs));
  std::vector<std::string> names;
  for (const auto &r : recs)
    names.push_back(r.Name);
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "A.txt", "b.txt", "ro.txt", "sub"}));
  EXPECT_EQ(recs[0].Attr & faHidden, faHidden);
  EXPECT_EQ(recs[1].Attr & (faHidden | faDirectory | faReadOnly), 0);
  EXPECT_EQ(recs[2].Size, 5);
  EXPECT_DOUBLE_EQ(recs[2].Time, UnixToDateTime(1600000000));
  if (geteuid() != 0) {
    EXPECT_EQ(recs[3].Attr & faReadOnly, faReadOnly);
  }
  EXPECT_EQ(recs[4].Attr & faDirectory, faDirectory);
  EXPECT_EQ(recs[4].Size, 0);
  EXPECT_EQ(recs[1].ShortName, "A.TXT");

  // Hidden entries and folders only when the mask asks for them.
  ASSERT_TRUE(FindFiles(dir_ + "*.*", faArchive | faReadOnly, recs));
  names.clear();
  for (const auto &r : recs)
    names.push_back(r.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "b.txt", "ro.txt"}));

  ASSERT_TRUE(FindFiles(dir_ + "b.txt", faAnyFile, recs));
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].Size, 5);
  EXPECT_FALSE(FindFiles(dir_ + "fifo", faAnyFile, recs));
  EXPECT_FALSE(FindFiles(dir_ + "nothing/*.*", faAnyFile, recs));
  EXPECT_TRUE(DirectoryExists(dir_ + "sub"));
  EXPECT_FALSE(FileExists(dir_ + "sub"));
  EXPECT_TRUE(FileExists(dir_ + "b.txt"));
  EXPECT_EQ(FileGetAttr(dir_ + "nothing"), -1);
}

TEST_F(Listing, ArchiveBitThroughTheExtendedAttribute) {
  Make("f.txt");
  const std::string f = dir_ + "f.txt";
  EXPECT_NE(FileGetAttr(f) & faArchive, 0);
  if (!FileSetAttr(f, 0))
    GTEST_SKIP() << "no user extended attributes on /tmp";
  EXPECT_EQ(FileGetAttr(f) & faArchive, 0);
  EXPECT_TRUE(FileSetAttr(f, faArchive));
  EXPECT_NE(FileGetAttr(f) & faArchive, 0);
  EXPECT_TRUE(FileSetAttr(f, 0));
  Make("f.txt", "changed content");  // a write moves the modification time
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
  utimensat(AT_FDCWD, f.c_str(), times, 0);
  EXPECT_NE(FileGetAttr(f) & faArchive, 0);
  EXPECT_FALSE(FileSetAttr(dir_ + "missing", 0));
}

TEST_F(Listing, ListingFindsTheArchiveBitOfEachFileAsItsPathDoes) {
  // Cleared, never cleared, cleared before a change, a foreign value too
  // long to be a stamp, and links to a cleared file here and elsewhere.
  mkdir((dir_ + "other").c_str(), 0755);
  for (const char *n : {"cleared", "set", "changed", "long", "other/target"})
    Make(n);
  if (!FileSetAttr(dir_ + "cleared", 0))
    GTEST_SKIP() << "no user extended attributes on /tmp";
  ASSERT_TRUE(FileSetAttr(dir_ + "changed", 0));
  ASSERT_TRUE(FileSetAttr(dir_ + "other/target", 0));
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
  utimensat(AT_FDCWD, (dir_ + "changed").c_str(), times, 0);
  const std::string longValue(200, '7');
  ASSERT_EQ(setxattr((dir_ + "long").c_str(), kArchiveXattr, longValue.data(), longValue.size(), 0), 0);
  symlink((dir_ + "other/target").c_str(), (dir_ + "link-away").c_str());
  symlink("cleared", (dir_ + "link-here").c_str());

  std::vector<TSearchRec> recs;
  ASSERT_TRUE(FindFiles(dir_ + "*.*", faAnyFile, recs));
  std::string archived;
  for (const TSearchRec &r : recs) {
    if (r.Attr & faDirectory)
      continue;
    EXPECT_EQ(r.Attr & faArchive, FileGetAttr(dir_ + r.Name) & faArchive) << r.Name;
    if (r.Attr & faArchive)
      archived += r.Name + " ";
  }
  EXPECT_EQ(archived, "changed long set ");

  // Asked to leave the bit out: the same records without it.
  std::vector<TSearchRec> without;
  std::vector<TPassedOver> passedOver;
  ASSERT_TRUE(FindFiles(dir_ + "*.*", faAnyFile, without, passedOver, false));
  ASSERT_EQ(without.size(), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(without[i].Name, recs[i].Name);
    EXPECT_EQ(without[i].Attr, recs[i].Attr & ~faArchive) << recs[i].Name;
  }
}

namespace {

std::string Describe(const std::vector<TPassedOver> &v) {
  std::string out;
  for (const TPassedOver &p : v)
    out += p.Name + ":" + std::to_string(p.Reason) + ":" + std::to_string(p.Error) + "\n";
  return out;
}

} // namespace

TEST_F(Listing, FoldersThatCannotBeListedOrEnteredAreReported) {
  chmod(dir_.c_str(), 0755);
  mkdir((dir_ + "noexec").c_str(), 0755);
  Make("noexec/inner.txt");
  mkdir((dir_ + "noexec/sub").c_str(), 0755);
  chmod((dir_ + "noexec").c_str(), 0644);  // names can be read, not their status
  mkdir((dir_ + "locked").c_str(), 0);
  const std::string dir = dir_;
  const auto out = testenv::RunUnprivileged([dir] {
    std::vector<TSearchRec> recs;
    std::vector<TPassedOver> over;
    std::string r = FindFiles(dir + "noexec/*.*", faAnyFile, recs, over) ? "listed " : "failed ";
    r += std::to_string(recs.size()) + "\n";
    std::sort(over.begin(), over.end(), [](const auto &a, const auto &b) { return a.Name < b.Name; });
    r += Describe(over);
    errno = 0;
    r += FindFiles(dir + "locked/*.*", faAnyFile, recs, over) ? "locked listed" : "locked " + std::to_string(errno);
    return r;
  });
  ASSERT_TRUE(out.has_value()) << "could not run as an unprivileged user";
  const std::string eacces = std::to_string(EACCES);
  EXPECT_EQ(*out, "listed 0\ninner.txt:0:" + eacces + "\nsub:0:" + eacces + "\nlocked " + eacces);
}
