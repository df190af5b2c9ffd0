// The checker against images built by the library with one field flipped:
// each kind of fault must be reported, and the sound image must give none.
#include "ovBytes.h"
#include "ovCDBC.h"
#include "ovISOCheck.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

// An image held in memory.
class TBytesSource : public TSectorSource {
public:
  explicit TBytesSource(const std::vector<uint8_t> &b) : bytes_(b) {}
  uint64_t SectorCount() const override { return bytes_.size() / SectorSize; }
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override {
    if (Lba + Count > SectorCount()) {
      Error = "beyond the end";
      return false;
    }
    std::memcpy(Buffer, bytes_.data() + Lba * SectorSize, size_t{Count} * SectorSize);
    return true;
  }

private:
  const std::vector<uint8_t> &bytes_;
};

std::string Ucs2(const std::string &ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back('\0');
    out.push_back(c);
  }
  return out;
}

class CorruptImage : public ::testing::Test {
protected:
  void SetUp() override {
    tmp_ = std::filesystem::temp_directory_path() / ("skarvo-check-" + std::to_string(getpid()));
    std::filesystem::create_directories(tmp_);
  }
  void TearDown() override { std::filesystem::remove_all(tmp_); }

  TFEntry *Add(TDEntry *dir, const std::string &name, int64_t size) {
    TSearchRec rec;
    rec.Name = name;
    rec.ShortName = ov::BaseAlias(name);
    rec.Size = size;
    rec.Attr = 0x20;
    rec.Time = ov::EncodeDateTime(2021, 6, 15, 10, 20, 30);
    EXPECT_EQ(b.AddFile(dir, rec, false, 0, "/nonexistent/" + name), 1) << name;
    return b.FindFile(dir, name);
  }

  // Root: README.TXT, NOTES.TXT; DOCS: A.TXT, B.BIN; MANY: 60 files, so that
  // its records fill more than one sector.
  void Build(bool boot = false, bool joliet = true) {
    b.ResetCompilation(65535, 8191);
    b.IdVolume = "CHECK";
    b.JolietFileSystem = joliet;
    TDEntry *root = b.DirList[0];
    Add(root, "README.TXT", 100);
    Add(root, "NOTES.TXT", 5000);
    docs = b.CreateDir(root, "DOCS", ov::faDirectory);
    many = b.CreateDir(root, "MANY", ov::faDirectory);
    Add(docs, "A.TXT", 3000);
    Add(docs, "B.BIN", 9000);
    for (int i = 0; i < 60; ++i)
      Add(many, "FILE" + std::to_string(1000 + i) + ".DAT", 10 + i);
    if (boot) {
      const std::string img = (tmp_ / "boot.img").string();
      std::ofstream(img, std::ios::binary) << std::string(1474560, '\0');
      b.Bootable = true;
      b.BootImage = img;
    }
    ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
    ASSERT_TRUE(b.BuildHeader(true, nullptr));
    pristine.assign(b.HeaderImage.Memory(), b.HeaderImage.Memory() + b.HeaderImage.Size());
    pristine.resize(static_cast<size_t>(b.ImageEnd) * 2048, 0);
    bytes = pristine;
  }

  iso::TCheckResult Check(const iso::TCheckOptions &options = {}) {
    TBytesSource src(bytes);
    return iso::CheckImage(src, options);
  }
  void Reset() { bytes = pristine; }

  uint8_t *At(uint64_t lba, size_t offset = 0) { return bytes.data() + lba * 2048 + offset; }
  // The directory record named Id in the extent at Lba (scanned without the
  // reader, so that a fault of the reader cannot hide one of the checker).
  uint8_t *Record(uint32_t lba, const std::string &id, uint32_t sectors = 4) {
    for (uint32_t s = 0; s < sectors; ++s)
      for (size_t off = 0; off < 2048 && At(lba + s)[off] != 0; off += At(lba + s)[off]) {
        uint8_t *r = At(lba + s, off);
        if (r[32] == id.size() && std::memcmp(r + 33, id.data(), id.size()) == 0)
          return r;
      }
    ADD_FAILURE() << "no record " << id;
    static uint8_t dummy[256];
    return dummy;
  }
  uint32_t IsoDir(const TDEntry *d) const { return b.DirRecordsStart + static_cast<uint32_t>(d->ISOAddress); }
  uint32_t JolietDir(const TDEntry *d) const {
    return b.JolietDirRecordsStart + static_cast<uint32_t>(d->JolietAddress);
  }
  uint32_t Root() const { return b.DirRecordsStart; }

  static bool Has(const iso::TCheckResult &r, iso::TSeverity s, const std::string &where, const std::string &what) {
    for (const iso::TFinding &f : r.Findings)
      if (f.Severity == s && f.Where.find(where) != std::string::npos && f.What.find(what) != std::string::npos)
        return true;
    return false;
  }
  static bool HasError(const iso::TCheckResult &r, const std::string &where, const std::string &what) {
    return Has(r, iso::TSeverity::Error, where, what);
  }
  static std::string Report(const iso::TCheckResult &r) { return iso::FormatReport(r, false); }

  TOrvBurner b;
  TDEntry *docs = nullptr, *many = nullptr;
  std::vector<uint8_t> pristine, bytes;
  std::filesystem::path tmp_;
};

TEST_F(CorruptImage, SoundImagesHaveNoErrors) {
  for (bool boot : {false, true}) {
    for (bool joliet : {false, true}) {
      Build(boot, joliet);
      const iso::TCheckResult r = Check();
      EXPECT_EQ(r.Errors, 0u) << Report(r);
      EXPECT_EQ(r.Dirs, 3u);
      EXPECT_EQ(r.Files, 64u);
      EXPECT_NE(r.Summary.find("volume CHECK"), std::string::npos) << r.Summary;
      EXPECT_EQ(r.Summary.find(", no Joliet") == std::string::npos, joliet) << r.Summary;
      if (boot) {
        EXPECT_NE(r.Summary.find("El Torito (1.44M floppy, image at sector " + std::to_string(b.BootImageAddress)),
                  std::string::npos)
            << r.Summary;
      }
    }
  }
}

TEST_F(CorruptImage, BothEndianHalvesThatDisagree) {
  Build();
  ov::PutBE32(Record(Root(), "README.TXT;1") + 14, 101);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary:/README.TXT;1", "both-endian data length disagrees: little-endian 100, "
                                                   "big-endian 101"))
      << Report(r);

  Reset();
  ov::PutBE32(Record(JolietDir(docs), Ucs2("A.TXT;1")) + 6, 7);
  r = Check();
  EXPECT_TRUE(HasError(r, "joliet:/DOCS/A.TXT;1", "both-endian extent disagrees")) << Report(r);

  Reset();
  ov::PutBE32(At(16, 84), 5);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary volume descriptor (sector 16)", "both-endian volume space size")) << Report(r);

  Reset();
  ov::PutBE16(At(16, 130), 512);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary volume descriptor", "both-endian logical block size")) << Report(r);
}

TEST_F(CorruptImage, RecordsCrossingASectorOrOverrunningTheirExtent) {
  Build();
  // The last record of MANY's first sector is made to reach into the next.
  const uint32_t lba = IsoDir(many);
  ASSERT_GE(many->ISOSize, 4096);
  size_t last = 0;
  for (size_t off = 0; off < 2048 && At(lba)[off] != 0; off += At(lba)[off])
    last = off;
  ASSERT_GT(last, 1800u);
  At(lba)[last] = static_cast<uint8_t>(2048 - last + 2);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary tree (sector " + std::to_string(lba) + " byte " + std::to_string(last),
                       "crosses the sector boundary"))
      << Report(r);

  // DOCS claims 60 bytes, but its records take more.
  Reset();
  ov::PutBoth32(Record(Root(), "DOCS") + 10, 60);
  ov::PutBoth32(At(IsoDir(docs)) + 10, 60);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary tree (sector " + std::to_string(IsoDir(docs)),
                       "runs past the end of its directory extent (60 bytes)"))
      << Report(r);
}

TEST_F(CorruptImage, RecordsOutOfOrder) {
  Build();
  uint8_t *a = Record(IsoDir(docs), "A.TXT;1");
  uint8_t *bb = Record(IsoDir(docs), "B.BIN;1");
  ASSERT_EQ(a[0], bb[0]);
  std::swap_ranges(a, a + a[0], bb);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary:/DOCS", "records out of order: \"B.BIN;1\" comes before \"A.TXT;1\"")) << Report(r);

  // Joliet sets no order readers rely on: a warning.
  Reset();
  a = Record(JolietDir(docs), Ucs2("A.TXT;1"));
  bb = Record(JolietDir(docs), Ucs2("B.BIN;1"));
  std::swap_ranges(a, a + a[0], bb);
  r = Check();
  EXPECT_EQ(r.Errors, 0u) << Report(r);
  EXPECT_TRUE(Has(r, iso::TSeverity::Warning, "joliet:/DOCS", "records out of order")) << Report(r);
}

TEST_F(CorruptImage, PathTablesThatDisagreeWithEachOtherOrTheTree) {
  Build();
  // Records: 1 root (10 bytes), 2 DOCS at byte 10, 3 MANY at byte 22.
  uint8_t *l = At(b.PathTableL), *m = At(b.PathTableM);
  ASSERT_EQ(std::memcmp(l + 18, "DOCS", 4), 0);
  ASSERT_EQ(std::memcmp(l + 30, "MANY", 4), 0);

  ov::PutBE16(m + 22 + 6, 2);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary M path table record 3", "differs from the L path table")) << Report(r);

  // Parent numbers: MANY said to be inside DOCS in both tables.
  Reset();
  ov::PutLE16(l + 22 + 6, 2);
  ov::PutBE16(m + 22 + 6, 2);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary L path table record 3 (\"MANY\")", "parent number 2 names the directory at extent"))
      << Report(r);

  // An extent that is no directory.
  Reset();
  ov::PutLE32(l + 10 + 2, 150);
  ov::PutBE32(m + 10 + 2, 150);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary L path table record 2", "extent 150 is not the extent of a directory")) << Report(r);
  EXPECT_TRUE(HasError(r, "primary L path table", "no record for directory /DOCS")) << Report(r);

  // Siblings swapped in both tables: the order is broken.
  Reset();
  for (uint8_t *t : {l, m})
    std::swap_ranges(t + 10, t + 22, t + 22);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary L path table record 3 (\"DOCS\")", "out of order")) << Report(r);

  // A table size that leaves the last record out.
  Reset();
  ov::PutBoth32(At(16, 132), 22);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary L path table", "no record for directory /MANY")) << Report(r);
}

TEST_F(CorruptImage, ExtentsOutsideTheVolumeAndOverlappingFiles) {
  Build();
  const uint32_t end = static_cast<uint32_t>(b.ImageEnd);
  ov::PutBoth32(Record(Root(), "README.TXT;1") + 2, end + 10);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary:/README.TXT;1", "lies outside the volume")) << Report(r);

  // NOTES.TXT (3 sectors) moved onto README.TXT's sector and the next two.
  Reset();
  const uint32_t readme = ov::GetLE32(Record(Root(), "README.TXT;1") + 2);
  ov::PutBoth32(Record(Root(), "NOTES.TXT;1") + 2, readme);
  r = Check();
  EXPECT_TRUE(HasError(r, "NOTES.TXT;1", "overlap")) << Report(r);

  // A file over a directory extent.
  Reset();
  ov::PutBoth32(Record(IsoDir(docs), "A.TXT;1") + 2, IsoDir(many));
  r = Check();
  EXPECT_TRUE(HasError(r, "A.TXT;1", "overlap")) << Report(r);
}

TEST_F(CorruptImage, IdentifiersBreakingTheRulesOfTheirTree) {
  Build();
  const auto rename = [&](uint8_t *rec, const std::string &to) {
    ASSERT_EQ(rec[32], to.size());
    std::memcpy(rec + 33, to.data(), to.size());
  };
  rename(Record(Root(), "README.TXT;1"), "README.TxT;1");
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary:/README.TxT;1", "characters outside the d-characters: \"x\"")) << Report(r);

  Reset();
  rename(Record(Root(), "README.TXT;1"), "READMEXYZ.;1");
  iso::TCheckOptions level1;
  level1.Level = 1;
  r = Check(level1);
  EXPECT_TRUE(HasError(r, "primary:/READMEXYZ.;1", "longer than 8.3")) << Report(r);
  // Without a level given, the long name shows level 2: a warning.
  r = Check();
  EXPECT_EQ(r.Level, 2u);
  EXPECT_FALSE(HasError(r, "primary:/READMEXYZ.;1", "8.3")) << Report(r);
  EXPECT_TRUE(Has(r, iso::TSeverity::Warning, "primary:/READMEXYZ.;1", "longer than 8.3")) << Report(r);

  // Our own collision aliases carry "~": a warning only.
  Reset();
  rename(Record(Root(), "README.TXT;1"), "READ~1.TXT;1");
  r = Check();
  EXPECT_EQ(r.Errors, 0u) << Report(r);
  EXPECT_TRUE(Has(r, iso::TSeverity::Warning, "primary:/READ~1.TXT;1", "\"~\"")) << Report(r);

  Reset();
  rename(Record(IsoDir(docs), "A.TXT;1"), "A.TXT;0");
  r = Check();
  EXPECT_TRUE(HasError(r, "primary:/DOCS/A.TXT;0", "not a number from 1 to 32767")) << Report(r);

  Reset();
  rename(Record(JolietDir(docs), Ucs2("B.BIN;1")), Ucs2("B/BIN;1"));
  r = Check();
  EXPECT_TRUE(HasError(r, "joliet:/DOCS/B/BIN;1", "characters Joliet forbids: \"/\"")) << Report(r);

  Reset();
  uint8_t *rec = Record(JolietDir(docs), Ucs2("B.BIN;1"));
  rec[33] = 0xD8;  // "B" becomes an unpaired surrogate
  r = Check();
  EXPECT_TRUE(HasError(r, "joliet:/DOCS/", "not valid UCS-2")) << Report(r);
}

TEST_F(CorruptImage, ElToritoChecksumAndPointers) {
  Build(true);
  const uint32_t cat = b.BootCatalogAddress;
  At(cat)[4] ^= 0x20;  // a letter of the ID string: the checksum no longer matches
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "boot catalog (sector " + std::to_string(cat) + ")", "validation entry checksum")) << Report(r);

  Reset();
  At(cat)[31] = 0xAB;
  r = Check();
  EXPECT_TRUE(HasError(r, "boot catalog", "key bytes")) << Report(r);

  Reset();
  ov::PutLE32(At(17, 71), static_cast<uint32_t>(b.ImageEnd) + 3);
  r = Check();
  EXPECT_TRUE(HasError(r, "boot record (sector 17)", "catalog pointer")) << Report(r);

  Reset();
  ov::PutLE32(At(cat, 40), static_cast<uint32_t>(b.ImageEnd) - 100);
  r = Check();
  EXPECT_TRUE(HasError(r, "boot catalog (sector " + std::to_string(cat) + ") initial entry", "outside the volume"))
      << Report(r);
}

TEST_F(CorruptImage, LoopsAndGarbageEndWithFindingsNotHangsOrStrayReads) {
  Build();
  // DOCS points back at the root: a loop.
  ov::PutBoth32(Record(Root(), "DOCS") + 2, Root());
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary tree", "already walked")) << Report(r);

  // Random bytes over the descriptors, path tables and directories; the
  // sanitizer builds catch any read outside a buffer.
  std::mt19937 rng(7);
  const size_t header = b.HeaderImage.Size();
  size_t withErrors = 0;
  for (int round = 0; round < 300; ++round) {
    Reset();
    for (int k = 0; k < 12; ++k)
      bytes[16 * 2048 + rng() % (header - 16 * 2048)] = static_cast<uint8_t>(rng());
    if (Check().Errors > 0)
      ++withErrors;
  }
  EXPECT_GT(withErrors, 100u);
}

} // namespace

TEST_F(CorruptImage, ExtentsInTheSystemAreaOrOnTheDescriptorSet) {
  Build();
  ov::PutBoth32(Record(Root(), "README.TXT;1") + 2, 5);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary:/README.TXT;1", "lies in the system area")) << Report(r);

  // Sector 17 holds the Joliet descriptor, 18 the terminator.
  Reset();
  ov::PutBoth32(Record(Root(), "README.TXT;1") + 2, 17);
  r = Check();
  EXPECT_TRUE(HasError(r, "primary file /README.TXT;1", "overlap volume descriptor set")) << Report(r);
  Reset();
  ov::PutBoth32(Record(Root(), "README.TXT;1") + 2, 18);
  r = Check();
  EXPECT_TRUE(HasError(r, "/README.TXT;1", "volume descriptor set")) << Report(r);
}

TEST_F(CorruptImage, AnIdentifierTwiceInOneDirectory) {
  Build();
  uint8_t *rec = Record(IsoDir(docs), "B.BIN;1");
  std::memcpy(rec + 33, "A.TXT;1", 7);
  iso::TCheckResult r = Check();
  EXPECT_TRUE(HasError(r, "primary:/DOCS/A.TXT;1", "appears more than once")) << Report(r);
}

TEST_F(CorruptImage, RepeatedWarningsAreListedOnceWithTheirCount) {
  Build();
  for (int i = 0; i < 60; ++i) {
    const std::string id = "FILE" + std::to_string(1000 + i) + ".DAT;1";
    std::string to = id;
    to[3] = '~';
    std::memcpy(Record(IsoDir(many), id) + 33, to.data(), to.size());
  }
  const iso::TCheckResult r = Check();
  EXPECT_EQ(r.Errors, 0u) << Report(r);
  EXPECT_EQ(r.Warnings, 60u) << Report(r);
  const std::string report = Report(r);
  size_t lines = 0;
  for (size_t at = report.find("is not a d-character"); at != std::string::npos;
       at = report.find("is not a d-character", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << report;
  EXPECT_NE(report.find("(a collision alias) ... and 59 more"), std::string::npos) << report;
  EXPECT_NE(report.find("60 warnings"), std::string::npos) << report;
}

TEST(JolietPathTable, OurOwnOrderIsTheOneTheCheckerExpects) {
  // Folders whose order by code unit ("B2" "C" "a" "b") differs from their
  // order ignoring case ("a" "b" "B2" "C").
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.JolietFileSystem = true;
  TDEntry *root = b.DirList[0];
  for (const char *name : {"b", "C", "a", "B2"}) {
    TDEntry *d = b.CreateDir(root, name, ov::faDirectory);
    ASSERT_NE(d, nullptr);
    b.CreateDir(d, std::string("in_") + name, ov::faDirectory);
  }
  ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  std::vector<uint8_t> bytes(b.HeaderImage.Memory(), b.HeaderImage.Memory() + b.HeaderImage.Size());
  bytes.resize(static_cast<size_t>(b.ImageEnd) * 2048, 0);
  TBytesSource src(bytes);
  const iso::TCheckResult r = iso::CheckImage(src);
  EXPECT_EQ(r.Errors, 0u) << iso::FormatReport(r, false);
  for (const iso::TFinding &f : r.Findings)
    EXPECT_EQ(f.What.find("out of order"), std::string::npos) << f.Where << ": " << f.What;
  // The Joliet L table holds the root, then B2, C, a, b.
  const uint8_t *t = bytes.data() + size_t{b.JolietPathTableL} * 2048 + 10;
  std::string order;
  for (int k = 0; k < 4; ++k) {
    const uint8_t n = t[0];
    for (uint8_t i = 1; i < n; i += 2)
      order.push_back(static_cast<char>(t[8 + i]));
    order.push_back(' ');
    t += 8 + n;
  }
  EXPECT_EQ(order, "B2 C a b ");
}
