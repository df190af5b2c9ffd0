// Session import from the disc in a virtual drive, and the new session laid
// out after the old one: the old files keep their extents, the volume space
// counts from sector 0, and readers of the appended image see old and new.
#include "../device/VDriveFixture.h"

#include "ovCDBC.h"
#include "ovDiscSource.h"
#include "ovSessionTree.h"

#include <filesystem>
#include <fstream>

#include "ImportTestUtil.h"

namespace fs = std::filesystem;

namespace {

using namespace importtest;

class ImportDrive : public VDriveTest {
protected:
  void SetUp() override {
    VDriveTest::SetUp();
    if (Shell("command -v genisoimage") != 0)
      GTEST_SKIP() << "genisoimage is not installed";
    src_ = fs::path(root_) / "src";
    Write(src_ / "a.txt", "old a\n");
    Write(src_ / "keep" / "k.txt", "kept\n");
    Write(src_ / "My Documents Backup.txt", "backup\n");
    s1_ = fs::path(root_) / "s1.iso";
    ASSERT_EQ(Shell("genisoimage -quiet -J -o '" + s1_.string() + "' '" + src_.string() + "'"), 0);
    AddDrive("w", "cdrw-writer");
    b_.OnDebugMessage = [this](TObject *, const std::string &m, uint8_t) { log_.push_back(m); };
  }

  void Open() {
    // The recorder library is loaded once per process: loading it again
    // would unload the copy that earlier tests used.
    if (!b_.ASPIInitialized())
      ASSERT_TRUE(b_.InitializeASPI(false, SKARVO_WNASPI32_PATH));
    else
      b_.ScanDevices();
    for (const std::string &s : b_.DeviceList)
      if (s.find(",w ") != std::string::npos)
        b_.SelectDevice(s);
    ASSERT_NE(b_.HaId, 254);
    b_.ResetCompilation(65535, 8191);
  }

  bool Logged(const std::string &m) const { return std::find(log_.begin(), log_.end(), m) != log_.end(); }

  fs::path src_, s1_;
  TOrvBurner b_;
  std::vector<std::string> log_;
};

} // namespace

TEST_F(ImportDrive, SessionNumbersAndDiscsWithoutSessions) {
  Insert("w", "CD-R");
  Open();
  EXPECT_FALSE(b_.ImportSession(-1, nullptr));  // a blank disc has no session
  EXPECT_EQ(b_.FileCount(), 0);

  Insert("w", "CD-ROM", 0, s1_.string());
  b_.ResetCompilation(65535, 8191);
  EXPECT_FALSE(b_.ImportSession(0, nullptr));
  EXPECT_EQ(b_.FileCount(), 0);
  ASSERT_TRUE(b_.ImportSession(7, nullptr));  // above the count: the last
  EXPECT_TRUE(Logged(">>> IMPORTING SESSION # 1"));
  TFEntry *e = b_.FindFile(b_.Root(), "My Documents Backup.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->Imported);
  ASSERT_NE(b_.FindDir("\\KEEP"), nullptr);

  const fs::path out = fs::path(root_) / "out" / "backup.txt";
  fs::create_directories(out.parent_path());
  EXPECT_EQ(b_.ExtractFile(e, out.string()), 1);
  EXPECT_EQ(Slurp(out), "backup\n");
}

TEST_F(ImportDrive, NewSessionFollowsTheOldAndDescribesBoth) {
  Insert("w", "CD-R", 0, s1_.string());
  Open();
  const fs::path fresh = fs::path(root_) / "new";
  Write(fresh / "a.txt", "new a, longer\n");
  Write(fresh / "b.txt", "b is new\n");
  b_.ReplaceFile = true;
  ASSERT_EQ(b_.InsertFile("\\", (fresh / "a.txt").string(), false), 1);
  ASSERT_EQ(b_.InsertFile("\\", (fresh / "b.txt").string(), false), 1);
  b_.ImportSessionNumber = -1;
  b_.QueryNextWritableAddress = true;
  ASSERT_EQ(b_.PrepareLayout(false, nullptr), 1);
  ASSERT_TRUE(b_.BuildHeader(false, nullptr));
  b_.QueryNextWritableAddress = false;

  // The drive's next writable address, asked separately.
  TSCSIDevice &dev = b_;
  ASSERT_TRUE(dev.ReadTrackInformation(static_cast<uint8_t>(dev.SessionCount() + 1)));
  const uint32_t nwa = dev.TrackNextWritable();
  const uint64_t s1Sectors = fs::file_size(s1_) / 2048;
  ASSERT_GE(nwa, s1Sectors);
  EXPECT_EQ(b_.SessionStart, nwa);
  // Imported once, though the layout ran with ImportSessionNumber set.
  int kept = 0;
  for (TFEntry *f : b_.FileList)
    kept += f->LongName == "k.txt";
  EXPECT_EQ(kept, 1);
  const uint8_t *pvd = b_.HeaderImage.Memory() + 16 * 2048;
  ASSERT_EQ(pvd[0], 1);
  const uint32_t space = pvd[80] | pvd[81] << 8 | pvd[82] << 16 | static_cast<uint32_t>(pvd[83]) << 24;
  EXPECT_EQ(space, b_.ImageEnd);

  // The appended image: session 1, then the new session at its address as
  // the writer sends it (header, padding, the new files' data).
  std::vector<char> image(static_cast<size_t>(b_.ImageEnd) * 2048, 0);
  const std::string s1 = Slurp(s1_);
  std::copy(s1.begin(), s1.end(), image.begin());
  std::copy(b_.HeaderImage.Memory(), b_.HeaderImage.Memory() + b_.HeaderImage.Size(),
            image.begin() + static_cast<long>(b_.SessionStart) * 2048);
  for (TFEntry *f : b_.FileList) {
    if (f->IsDir() || f->Imported || f->Size <= 0)
      continue;
    const std::string data = Slurp(f->SourcePath());
    std::copy(data.begin(), data.end(), image.begin() + (static_cast<long>(b_.FirstFileAddress) + f->ISOAddress) * 2048);
  }
  const fs::path ms = fs::path(root_) / "ms.iso";
  std::ofstream(ms, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

  TFileSectorSource file;
  std::string err;
  ASSERT_TRUE(file.Open(ms.string(), err)) << err;
  std::vector<TSessionExtent> sessions;
  ASSERT_TRUE(iso::FindImageSessions(file, sessions));
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[1].Start, b_.SessionStart);
  iso::TSessionTree last, first;
  ASSERT_TRUE(iso::ReadSessionTree(file, sessions[1].Start, iso::TTreeChoice::PreferJoliet, last, err)) << err;
  ASSERT_TRUE(iso::ReadSessionTree(file, 0, iso::TTreeChoice::PreferJoliet, first, err)) << err;
  EXPECT_TRUE(last.Messages.empty()) << last.Messages.front();
  for (const char *p : {"/a.txt", "/b.txt", "/keep/k.txt", "/My Documents Backup.txt"})
    EXPECT_GE(iso::FindPath(last, p), 0) << p;
  EXPECT_LT(iso::FindPath(first, "/b.txt"), 0);
  const iso::TEntry &newA = last.Entries[static_cast<size_t>(iso::FindPath(last, "/a.txt"))];
  const iso::TEntry &oldA = first.Entries[static_cast<size_t>(iso::FindPath(first, "/a.txt"))];
  EXPECT_GE(newA.Extents[0].Lba, b_.SessionStart);
  EXPECT_LT(oldA.Extents[0].Lba, s1Sectors);
  const iso::TEntry &k1 = first.Entries[static_cast<size_t>(iso::FindPath(first, "/keep/k.txt"))];
  const iso::TEntry &k2 = last.Entries[static_cast<size_t>(iso::FindPath(last, "/keep/k.txt"))];
  EXPECT_EQ(k1.Extents[0].Lba, k2.Extents[0].Lba);

  // An independent reader agrees, on both sessions.
  if (Shell("command -v xorriso") != 0)
    GTEST_SKIP() << "xorriso is not installed: the independent read is skipped";
  const fs::path x2 = fs::path(root_) / "x2", x1 = fs::path(root_) / "x1";
  ASSERT_EQ(Shell("xorriso -abort_on NEVER -return_with SORRY 32 -load sbsector " + std::to_string(b_.SessionStart) +
                  " -indev '" + ms.string() + "' -osirrox on -extract / '" + x2.string() + "'"),
            0);
  ASSERT_EQ(Shell("xorriso -abort_on NEVER -return_with SORRY 32 -indev '" + s1_.string() +
                  "' -osirrox on -extract / '" + x1.string() + "'"),
            0);
  EXPECT_EQ(Slurp(x2 / "a.txt"), "new a, longer\n");
  EXPECT_EQ(Slurp(x2 / "b.txt"), "b is new\n");
  EXPECT_EQ(Slurp(x2 / "keep" / "k.txt"), "kept\n");
  EXPECT_EQ(Slurp(x2 / "My Documents Backup.txt"), "backup\n");
  EXPECT_EQ(Slurp(x1 / "a.txt"), "old a\n");
}
