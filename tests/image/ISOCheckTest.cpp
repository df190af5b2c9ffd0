// Identifier and order rules of the checker, the file sector source, and a
// check of a very large tree.
#include "SyntheticTree.h"
#include "ovCDBC.h"
#include "ovISOCheck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

std::string Ucs2(const std::u16string &u) {
  std::string out;
  for (char16_t c : u) {
    out.push_back(static_cast<char>(c >> 8));
    out.push_back(static_cast<char>(c & 0xFF));
  }
  return out;
}

struct TNames {
  std::vector<std::string> Errors, Warnings;
};
TNames Primary(const std::string &id, bool dir = false) {
  TNames n;
  iso::PrimaryNameProblems(id, dir, n.Errors, n.Warnings);
  return n;
}
TNames Joliet(const std::u16string &id, bool dir = false) {
  TNames n;
  iso::JolietNameProblems(Ucs2(id), dir, n.Errors, n.Warnings);
  return n;
}

TEST(CheckRules, PrimaryIdentifiers) {
  for (const char *ok : {"README.TXT;1", "A.;1", ".TXT;1", "ABCDEFGH.XYZ;32767", "X_1.C;2"})
    EXPECT_TRUE(Primary(ok).Errors.empty()) << ok;
  for (const char *bad : {"README.TXT", "README;1", "readme.txt;1", "ABCDEFGHI.TXT;1", "A.TEXT;1", "A.TXT;0",
                          "A.TXT;32768", "A.TXT;X", "A B.TXT;1", "A.B.C;1", ".;1"})
    EXPECT_FALSE(Primary(bad).Errors.empty()) << bad;
  EXPECT_TRUE(Primary("DOCS", true).Errors.empty());
  EXPECT_FALSE(Primary("DO.CS", true).Errors.empty()) << "directories have no extension";
  EXPECT_FALSE(Primary("NINECHARS", true).Errors.empty());
  const TNames alias = Primary("REPORT~1.DOC;1");
  EXPECT_TRUE(alias.Errors.empty());
  EXPECT_EQ(alias.Warnings.size(), 1u);
  EXPECT_EQ(Primary("R~PORT~1.DOC;1").Warnings.size(), 1u) << "one warning per identifier";
}

TEST(CheckRules, JolietIdentifiers) {
  EXPECT_TRUE(Joliet(u"Long name, with spaces (1).text;1").Errors.empty());
  EXPECT_TRUE(Joliet(u"caf\u00E9 \u4E2D\u6587").Errors.empty());
  EXPECT_TRUE(Joliet(u"folder", true).Errors.empty());
  for (const std::u16string &bad : {std::u16string(u"a/b;1"), std::u16string(u"a:b"), std::u16string(u"a*b"),
                                    std::u16string(u"a?b"), std::u16string(u"a\\b"), std::u16string(u"a;b;1"),
                                    std::u16string(u"tab\there"), std::u16string(u"x\xD83D;1")})
    EXPECT_FALSE(Joliet(bad).Errors.empty()) << std::string(bad.begin(), bad.end());
  EXPECT_FALSE(Joliet(u"dir;1", true).Errors.empty()) << "a directory has no version";
  std::vector<std::string> e, w;
  iso::JolietNameProblems(std::string("\0a\0", 3), false, e, w);
  EXPECT_FALSE(e.empty()) << "odd byte count";
  EXPECT_EQ(Joliet(std::u16string(65, u'x')).Warnings.size(), 1u);
  EXPECT_TRUE(Joliet(std::u16string(64, u'x')).Warnings.empty());
}

TEST(CheckRules, RecordOrder) {
  // Name and extension are compared apart, each padded with spaces: "AB.TXT"
  // comes before "AB-C.TXT" although "." sorts after "-".
  EXPECT_LT(iso::CompareRecordOrder("AB.TXT;1", "AB-C.TXT;1", false), 0);
  EXPECT_LT(iso::CompareRecordOrder("A.Z;1", "AB.A;1", false), 0);
  EXPECT_LT(iso::CompareRecordOrder("A.B;2", "A.B;1", false), 0) << "higher versions first";
  EXPECT_EQ(iso::CompareRecordOrder("A.B;1", "A.B;1", false), 0);
  EXPECT_GT(iso::CompareRecordOrder("B;1", "A;1", false), 0);
  // Joliet compares the whole name by code unit, without the version.
  EXPECT_GT(iso::CompareRecordOrder(Ucs2(u"ab.txt;1"), Ucs2(u"ab-c.txt;1"), true), 0);
  EXPECT_LT(iso::CompareRecordOrder(Ucs2(u"Z;1"), Ucs2(u"a;1"), true), 0);
  EXPECT_LT(iso::CompareRecordOrder(Ucs2(u"a;1"), Ucs2(u"a b;1"), true), 0);
}

TEST(SectorSource, FileReadsWholeSectorsAndRefusesTheRest) {
  const std::string path = std::filesystem::temp_directory_path() / ("skarvo-src-" + std::to_string(getpid()));
  std::string data(3 * 2048 + 100, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i / 2048 + 1);
  std::ofstream(path, std::ios::binary) << data;
  TFileSectorSource src;
  std::string err;
  ASSERT_TRUE(src.Open(path, err)) << err;
  EXPECT_EQ(src.SectorCount(), 3u) << "a partial last sector is not counted";
  std::vector<uint8_t> buf(2 * 2048);
  ASSERT_TRUE(src.ReadSectors(1, 2, buf.data(), err)) << err;
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(buf[2048], 3);
  EXPECT_FALSE(src.ReadSectors(2, 2, buf.data(), err));
  EXPECT_NE(err.find("sector 2"), std::string::npos) << err;
  EXPECT_FALSE(src.ReadSectors(~0ull - 1, 2, buf.data(), err)) << "no overflow of the bounds check";
  std::filesystem::remove(path);
  TFileSectorSource missing;
  EXPECT_FALSE(missing.Open(path, err));
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
}

// The header image of a layout, with zero sectors for the file data.
class THeaderSource : public TSectorSource {
public:
  THeaderSource(const uint8_t *header, size_t bytes, uint64_t sectors) : h_(header), n_(bytes), sectors_(sectors) {}
  uint64_t SectorCount() const override { return sectors_; }
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override {
    if (Lba > sectors_ || Count > sectors_ - Lba) {
      Error = "beyond the end";
      return false;
    }
    for (uint32_t k = 0; k < Count; ++k) {
      const uint64_t at = (Lba + k) * SectorSize;
      uint8_t *out = Buffer + size_t{k} * SectorSize;
      if (at + SectorSize <= n_)
        std::memcpy(out, h_ + at, SectorSize);
      else
        std::memset(out, 0, SectorSize);
    }
    return true;
  }

private:
  const uint8_t *h_;
  size_t n_;
  uint64_t sectors_;
};

TEST(CheckScale, TwentyTwoThousandDirectoriesAndAHundredThousandFiles) {
  TOrvBurner b;
  b.ResetCompilation(200000, 30000);
  ASSERT_TRUE(synthetic::FillSyntheticTree(b, 22000, 100000));
  ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  THeaderSource src(b.HeaderImage.Memory(), static_cast<size_t>(b.HeaderImage.Size()),
                    static_cast<uint64_t>(b.ImageEnd));
  const auto t0 = std::chrono::steady_clock::now();
  const iso::TCheckResult r = iso::CheckImage(src);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("checked %zu dirs and %zu files in %.2f s\n", r.Dirs, r.Files, seconds);
  EXPECT_EQ(r.Dirs, 22001u);
  EXPECT_EQ(r.Files, 100000u);
  EXPECT_EQ(r.Errors, 0u) << iso::FormatReport(r, true).substr(0, 4000);
  EXPECT_LT(seconds, 60.0) << "no quadratic work";
}

} // namespace
