// A peer's Rock Ridge session imported and written again: the new session
// keeps the names, modes, owners, times and links the old one recorded.
#include "ovCDBC.h"
#include "ovSessionTree.h"
#include "ovSectorSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "ImportTestUtil.h"

namespace fs = std::filesystem;
using namespace importtest;

namespace {

// The header image of a layout, readable as the session it starts, with
// zero sectors up to the end of the volume.
class THeader : public TSectorSource {
public:
  explicit THeader(const TOrvBurner &b)
      : header_(b.HeaderImage.Memory(), b.HeaderImage.Memory() + b.HeaderImage.Size()),
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

} // namespace

TEST(ImportRockRidge, APeersNamesModesOwnersTimesAndLinksAreWrittenAgain) {
  if (Shell("command -v genisoimage") != 0)
    GTEST_SKIP() << "genisoimage is not installed";
  char t[] = "/tmp/skarvo-rrimport-XXXXXX";
  const fs::path dir = ::mkdtemp(t);
  const fs::path src = dir / "src";
  const std::string longName = std::string(200, 'l') + ".txt";
  Write(src / longName, "long");
  Write(src / "secret", "s");
  fs::permissions(src / "secret", fs::perms::owner_read | fs::perms::owner_write);
  Write(src / "sub" / "inner.txt", "in");
  fs::create_symlink("../secret", src / "sub" / "link");
  ASSERT_EQ(Shell("genisoimage -quiet -R -uid 1234 -o " + (dir / "peer.iso").string() + " " + src.string()), 0);

  TFileSectorSource peer;
  std::string err;
  ASSERT_TRUE(peer.Open((dir / "peer.iso").string(), err)) << err;
  TOrvBurner b;
  b.ResetCompilation(1000, 100);
  b.RockRidge = true;
  b.ImportSource = &peer;
  ASSERT_TRUE(b.ImportSession(1, nullptr));
  ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
  ASSERT_TRUE(b.BuildHeader(true, nullptr));
  fs::remove_all(dir);

  THeader header(b);
  iso::TSessionTree tree;
  ASSERT_TRUE(iso::ReadSessionTree(header, 0, iso::TTreeChoice::PreferRockRidge, tree, err)) << err;
  ASSERT_TRUE(tree.RockRidge);
  const int32_t longAt = iso::FindPath(tree, "/" + longName);
  const int32_t secret = iso::FindPath(tree, "/secret");
  const int32_t link = iso::FindPath(tree, "/sub/link");
  ASSERT_GE(longAt, 0);
  ASSERT_GE(secret, 0);
  ASSERT_GE(link, 0);
  EXPECT_EQ(tree.Attrs[static_cast<size_t>(secret)].Mode, 0100600u);
  EXPECT_EQ(tree.Attrs[static_cast<size_t>(secret)].Uid, 1234u);
  EXPECT_TRUE(tree.Attrs[static_cast<size_t>(secret)].Stamps & iso::kStampModify);
  const std::string *target = iso::LinkTarget(tree, link);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(*target, "../secret");
}
