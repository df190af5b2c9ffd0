// The reader and the checker on crafted sessions: bounded walks, files in
// several extents, a zero volume size, and the sessions of peers' image files.
#include "CraftedImage.h"

#include "ovISOCheck.h"
#include "ovSessionTree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using craft::TImage;

namespace {

bool HasFinding(const iso::TCheckResult &r, iso::TSeverity s, const std::string &where, const std::string &what) {
  for (const iso::TFinding &f : r.Findings)
    if (f.Severity == s && f.Where.find(where) != std::string::npos && f.What.find(what) != std::string::npos)
      return true;
  return false;
}

size_t CountProblems(const iso::TTree &t, const std::string &text) {
  size_t n = 0;
  for (const iso::TReadProblem &p : t.Problems)
    n += p.Text.find(text) != std::string::npos;
  return n;
}

std::string Report(const iso::TCheckResult &r) { return iso::FormatReport(r, false); }

// The primary tree of an image in memory, read with Reader's limits.
void ReadPrimary(iso::TISOReader &reader, iso::TTree &tree) {
  std::string err;
  ASSERT_TRUE(reader.ReadDescriptors(err)) << err;
  reader.ReadTree(*reader.Primary(), tree);
}

// File records "F0000000.;1"... of size 0, for a directory of Count entries.
std::vector<TImage::TRec> ManyFiles(uint32_t count) {
  std::vector<TImage::TRec> recs;
  recs.reserve(count);
  char name[32];
  for (uint32_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "F%07u.;1", i);
    recs.push_back({name, 0, 0, 0});
  }
  return recs;
}

// Sectors a directory of these records takes ("." and ".." included).
uint32_t DirSectors(const std::vector<TImage::TRec> &recs) {
  uint32_t sectors = 1, off = 68;
  for (const TImage::TRec &r : recs) {
    const uint32_t len = 33 + static_cast<uint32_t>(r.Id.size()) + (r.Id.size() % 2 == 0 ? 1 : 0);
    if (off + len > 2048) {
      ++sectors;
      off = 0;
    }
    off += len;
  }
  return sectors;
}

// Root at 20 holding Dirs directories; each points into one region of
// Files records after the root, one sector further than the one before, so
// that every extent overlaps the first.
TImage OverlappingDirectories(uint32_t dirs, uint32_t files) {
  const auto region = ManyFiles(files);
  const uint32_t sectors = DirSectors(region);
  std::vector<TImage::TRec> subdirs;
  for (uint32_t k = 0; k < dirs; ++k)
    subdirs.push_back({"D" + std::to_string(1000 + k), 0, sectors * 2048, 2});
  const uint32_t rootSectors = DirSectors(subdirs);
  const uint32_t at = 20 + rootSectors + 1;
  for (uint32_t k = 0; k < dirs; ++k)
    subdirs[k].Extent = at + std::min(k, sectors - 1);
  TImage img(at + sectors);
  img.Descriptor(16, false, 20, rootSectors * 2048);
  img.Terminator(17);
  img.Directory(20, 20, subdirs, rootSectors);
  img.Directory(at, 20, region, sectors);
  return img;
}

} // namespace

TEST(BoundedWalk, OverlappingDirectoriesAreEnteredOnce) {
  // 20 directories over one region of 5,000 records: the region is walked
  // once, the 19 others are named and left.
  TImage img = OverlappingDirectories(20, 5000);
  craft::TMemorySource src(img.data);
  iso::TISOReader reader(src);
  iso::TTree tree;
  ReadPrimary(reader, tree);
  EXPECT_EQ(tree.Nodes.size(), 1u + 20u + 5000u);
  EXPECT_EQ(CountProblems(tree, "overlaps the directory extent at 22"), 19u);
  EXPECT_LT(src.reads, 400u) << "the region is read once";
}

TEST(BoundedWalk, EntryAndByteLimitsStopTheWalkWithAMessage) {
  TImage img(200);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  img.Directory(20, 20, {{"BIG", 30, 0, 2}, {"SMALL", 80, 2048, 2}});
  const auto files = ManyFiles(500);
  const uint32_t sectors = DirSectors(files);
  img.Directory(30, 20, files, sectors);
  TImage::Both32(img.Sector(20) + 68 + 10, sectors * 2048);  // BIG's data length
  img.Directory(80, 20, {{"X.;1", 0, 0, 0}});
  craft::TMemorySource src(img.data);
  iso::TISOReader reader(src);
  iso::TTree tree;
  ReadPrimary(reader, tree);
  EXPECT_FALSE(tree.Stopped);
  EXPECT_EQ(tree.Nodes.size(), 1u + 2u + 500u + 1u);

  reader.Limits.MaxEntries = 100;
  reader.ReadTree(*reader.Primary(), tree);
  EXPECT_TRUE(tree.Stopped);
  EXPECT_EQ(tree.Nodes.size(), 100u);
  EXPECT_EQ(CountProblems(tree, "entries, its limit: stopped in /BIG"), 1u);
  EXPECT_TRUE(tree.Nodes[2].NotEntered) << "SMALL, after the limit, is not read";

  reader.Limits = iso::TWalkLimits();
  reader.Limits.MaxDirectoryBytes = 2048 + 4096;
  reader.ReadTree(*reader.Primary(), tree);
  EXPECT_TRUE(tree.Stopped);
  EXPECT_EQ(CountProblems(tree, "past the limit of 6144"), 1u);
  EXPECT_EQ(tree.Nodes.size(), 3u);

  // The same bound reaches the checker and the session tree.
  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_EQ(r.Files, 501u);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(BoundedWalk, HostileImageStaysInBoundedMemory) {
  // 1,000 directories over one region of 100,000 records, in an image of
  // 1.6 GB (sparse) so that a budget of "twice the image" allows reading the
  // region hundreds of times. Listing and checking it in a process limited
  // to 700 MB more address space must work and find the region once.
  TImage img = OverlappingDirectories(1000, 100000);
  const fs::path file = fs::temp_directory_path() / ("skarvo-hostile-" + std::to_string(getpid()) + ".iso");
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(img.data.data()), static_cast<std::streamsize>(img.data.size()));
  }
  const uint64_t sectors = 800000;
  ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(sectors * 2048)), 0);
  // The descriptor gives the image's whole size.
  {
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    uint8_t both[8];
    TImage::Both32(both, static_cast<uint32_t>(sectors));
    io.seekp(16 * 2048 + 80);
    io.write(reinterpret_cast<const char *>(both), 8);
  }
  img.data.clear();
  img.data.shrink_to_fit();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit lim{};
    getrlimit(RLIMIT_AS, &lim);
    long pages = 0;
    if (std::ifstream statm("/proc/self/statm"); statm)
      statm >> pages;
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (700ull << 20);
    lim.rlim_cur = cap;
    setrlimit(RLIMIT_AS, &lim);
    TFileSectorSource src;
    std::string err;
    if (!src.Open(file.string(), err))
      _exit(3);
    iso::TSessionTree tree;
    if (!iso::ReadSessionTree(src, 0, iso::TTreeChoice::Primary, tree, err))
      _exit(4);
    // The root, the one directory walked and its files; the 999 others are
    // named and left out.
    if (tree.Entries.size() != 1 + 1 + 100000)
      _exit(5);
    const iso::TCheckResult r = iso::CheckImage(src);
    _exit(r.Files >= 100000 && r.Files < 101000 ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  fs::remove(file);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                 << " (memory exhausted)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

TEST(CheckMultiExtent, ChainsAreVerifiedAndCountedAsOneFile) {
  TImage img(60);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  img.Directory(20, 20,
                {{"BAD.DAT;1", 30, 3000, 0x80},   // a first part that is not whole blocks
                 {"BAD.DAT;1", 32, 100, 0},
                 {"BIG.DAT;1", 34, 4096, 0x80},   // sound: 4096 + 100 bytes
                 {"BIG.DAT;1", 36, 100, 0},
                 {"CUT.DAT;1", 38, 2048, 0x80},   // its next part is missing
                 {"OTHER.DAT;1", 40, 10, 0},
                 {"SUB", 50, 2048, 0x82},         // a directory flagged as a part
                 {"ZLAST.DAT;1", 42, 2048, 0x80}});  // flagged, but the last record
  img.Directory(50, 20, {});
  craft::TMemorySource src(img.data);
  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_TRUE(HasFinding(r, iso::TSeverity::Error, "primary:/BAD.DAT;1", "not a whole number of 2048-byte blocks"))
      << Report(r);
  EXPECT_TRUE(HasFinding(r, iso::TSeverity::Error, "primary:/OTHER.DAT;1", "is not its next part")) << Report(r);
  EXPECT_TRUE(HasFinding(r, iso::TSeverity::Error, "primary:/SUB", "directory record flagged")) << Report(r);
  EXPECT_TRUE(HasFinding(r, iso::TSeverity::Error, "primary:/ZLAST.DAT;1", "rest of the file is missing"))
      << Report(r);
  for (const iso::TFinding &f : r.Findings)
    EXPECT_EQ(f.Where.find("BIG.DAT"), std::string::npos) << "the sound chain: " << f.Where << ": " << f.What;
  EXPECT_FALSE(HasFinding(r, iso::TSeverity::Error, "BAD.DAT", "more than once")) << Report(r);
  EXPECT_EQ(r.Files, 5u) << "BAD, BIG, CUT, OTHER and ZLAST";
  EXPECT_EQ(r.Level, 3u) << "files in several extents show level 3";
}

TEST(ZeroVolumeSize, TheFaultIsNamedAndTheTreeRead) {
  TImage img(40);
  img.Descriptor(16, false, 20, 2048);
  img.Terminator(17);
  img.Directory(20, 20, {{"A.TXT;1", 30, 5, 0}});
  TImage::Both32(img.Sector(16) + 80, 0);
  craft::TMemorySource src(img.data);

  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_TRUE(HasFinding(r, iso::TSeverity::Error, "primary volume descriptor", "volume space size is 0"))
      << Report(r);
  EXPECT_FALSE(HasFinding(r, iso::TSeverity::Error, "A.TXT", "outside the volume")) << Report(r);
  EXPECT_EQ(r.Files, 1u);

  std::vector<TSessionExtent> sessions;
  std::vector<std::string> notes;
  ASSERT_TRUE(iso::FindImageSessions(src, sessions, &notes));
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].Start, 0u);
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes[0].find("volume space size of 0"), std::string::npos) << notes[0];
  iso::TSessionTree tree;
  std::string err;
  ASSERT_TRUE(iso::ReadSessionTree(src, sessions[0].Start, iso::TTreeChoice::PreferJoliet, tree, err)) << err;
  EXPECT_GE(iso::FindPath(tree, "/A.TXT"), 0);

  // Sector 16 without a descriptor is named as such.
  std::memset(img.Sector(16), 0, 2048);
  notes.clear();
  EXPECT_FALSE(iso::FindImageSessions(src, sessions, &notes));
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes[0].find("no ISO 9660 volume descriptor"), std::string::npos) << notes[0];
}

TEST(PeerSessions, EveryXorrisoSessionOfAnImageFileIsFound) {
  if (std::system("command -v xorriso >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "xorriso is not installed";
  char t[] = "/tmp/skarvo-sessions-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  std::ofstream(dir / "a" / "one.txt") << "one\n";
  std::ofstream(dir / "b" / "two.txt") << "two\n";
  const std::string iso = (dir / "x.iso").string();
  ASSERT_EQ(std::system(("xorriso -outdev stdio:" + iso + " -map " + (dir / "a").string() +
                         " / -commit >/dev/null 2>&1 && xorriso -dev stdio:" + iso + " -map " + (dir / "b").string() +
                         " /b -commit >/dev/null 2>&1")
                            .c_str()),
            0);
  TFileSectorSource src;
  std::string err;
  ASSERT_TRUE(src.Open(iso, err)) << err;
  std::vector<TSessionExtent> sessions;
  ASSERT_TRUE(iso::FindImageSessions(src, sessions));
  ASSERT_EQ(sessions.size(), 2u);
  iso::TSessionTree first, last;
  ASSERT_TRUE(iso::ReadSessionTree(src, sessions[0].Start, iso::TTreeChoice::PreferJoliet, first, err)) << err;
  ASSERT_TRUE(iso::ReadSessionTree(src, sessions[1].Start, iso::TTreeChoice::PreferJoliet, last, err)) << err;
  EXPECT_GE(iso::FindPath(first, "/one.txt"), 0);
  EXPECT_LT(iso::FindPath(first, "/b"), 0) << "session 1 is the older one";
  EXPECT_GE(iso::FindPath(last, "/b/two.txt"), 0);
  // Each session checks on its own.
  for (const TSessionExtent &s : sessions) {
    iso::TCheckOptions o;
    o.SessionStart = s.Start;
    const iso::TCheckResult r = iso::CheckImage(src, o);
    EXPECT_EQ(r.Errors, 0u) << "session at " << s.Start << "\n" << Report(r);
  }
  fs::remove_all(dir);
}

TEST(PeerLevels, ImagesOfLevelsTwoToFourPassTheCheck) {
  if (std::system("command -v genisoimage >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "genisoimage is not installed";
  char t[] = "/tmp/skarvo-levels-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  fs::create_directories(dir / "src" / "A_RATHER_LONG_DIRECTORY");
  std::ofstream(dir / "src" / "A_RATHER_LONG_DIRECTORY" / "LONG_FILE_NAME_OF_SOME_LENGTH.TEXT") << "x\n";
  std::ofstream(dir / "src" / "SHORT.TXT") << "y\n";
  for (int level : {2, 3, 4}) {
    const std::string iso = (dir / ("l" + std::to_string(level) + ".iso")).string();
    ASSERT_EQ(std::system(("genisoimage -quiet -J -iso-level " + std::to_string(level) + " -o " + iso + " " +
                           (dir / "src").string() + " 2>/dev/null")
                              .c_str()),
              0);
    TFileSectorSource src;
    std::string err;
    ASSERT_TRUE(src.Open(iso, err)) << err;
    const iso::TCheckResult r = iso::CheckImage(src);
    EXPECT_EQ(r.Errors, 0u) << "level " << level << "\n" << Report(r);
    EXPECT_GE(r.Level, 2u) << "level " << level;
    // Held to level 1, the long names are errors.
    iso::TCheckOptions strict;
    strict.Level = 1;
    EXPECT_GT(iso::CheckImage(src, strict).Errors, 0u) << "level " << level;
  }
  fs::remove_all(dir);
}
