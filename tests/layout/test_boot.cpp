// El Torito sessions: places of the boot record, catalog and image, the
// media type, and boots in an emulated PC.
#include "layout_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace layout_test;

namespace {

class Boot : public ::testing::Test {
protected:
  void SetUp() override {
    b.ResetCompilation(65535, 8191);
    b.IdVolume = "BOOTTEST";
    AddSynthetic(b, b.DirList[0], "readme.txt", 100);
  }
  std::string BootFile(uint64_t bytes) {
    const std::string path = tmp / ("boot" + std::to_string(bytes) + ".img");
    std::string data(static_cast<size_t>(bytes), '\0');
    for (size_t i = 0; i < data.size(); ++i)
      data[i] = static_cast<char>(i * 7 + 1);
    WriteFile(path, data);
    return path;
  }
  void Build(const std::string &bootImage, bool joliet = true) {
    b.Bootable = true;
    b.BootImage = bootImage;
    b.JolietFileSystem = joliet;
    ASSERT_EQ(b.PrepareLayout(true, nullptr), 1);
    ASSERT_TRUE(b.BuildHeader(true, nullptr));
  }
  const uint8_t *Sector(uint32_t lba) { return b.HeaderImage.Memory() + size_t{lba} * 2048; }

  TOrvBurner b;
  TTempDir tmp;
};

TEST_F(Boot, FloppyImageWithJoliet) {
  Build(BootFile(1474560));
  ASSERT_TRUE(b.Bootable);
  EXPECT_EQ(Sector(16)[0], 1);
  EXPECT_EQ(Sector(17)[0], 0);
  EXPECT_EQ(Sector(18)[0], 2);
  EXPECT_EQ(Sector(19)[0], 255);
  EXPECT_EQ(b.PathTableL, 20u);
  EXPECT_EQ(b.JolietPathTableM, 23u);
  EXPECT_EQ(b.DirRecordsStart, 24u);
  EXPECT_EQ(b.JolietDirRecordsStart, 25u);
  EXPECT_EQ(b.BootCatalogAddress, 26u);
  EXPECT_EQ(b.BootImageAddress, 27u);
  EXPECT_EQ(b.BootImageSectors, 720u);
  EXPECT_LE(b.PadSectors, 0);
  EXPECT_EQ(b.FirstFileAddress, 747u);
  EXPECT_EQ(b.ImageEnd, 748);
  ASSERT_EQ(b.HeaderImage.Size(), 27 * 2048);
  EXPECT_EQ(LE32(Sector(17) + 71), 26u);
  const uint8_t *cat = Sector(26);
  EXPECT_EQ(cat[33], 2);
  EXPECT_EQ(LE32(cat + 40), 27u);
  const std::string image = tmp / "floppy.iso";
  WriteImage(b, image);
  std::string report;
  EXPECT_EQ(IsoCheck(image, &report, "--quiet"), 0) << report;
  EXPECT_NE(report.find("El Torito (1.44M floppy, image at sector 27"), std::string::npos) << report;
  std::string out;
  ASSERT_EQ(RunCommand("xorriso -indev '" + image + "' -report_el_torito plain", &out), 0) << out;
  EXPECT_NE(out.find("El Torito catalog  : 26"), std::string::npos) << out;
  EXPECT_NE(out.find("BIOS  y  fd1.4"), std::string::npos) << out;
}

TEST_F(Boot, MediaTypeFollowsTheImageSize) {
  const std::pair<uint64_t, uint8_t> cases[] = {{1228800, 1}, {1474560, 2}, {1474561, 4}, {2949120, 3}, {4096, 4}};
  for (const auto &[bytes, type] : cases) {
    Build(BootFile(bytes), false);
    ASSERT_TRUE(b.Bootable);
    EXPECT_EQ(b.BootImageSectors, (bytes + 2047) / 2048);
    EXPECT_EQ(Sector(b.BootCatalogAddress)[33], type) << bytes;
  }
}

TEST_F(Boot, SmallImageComesBeforeThePadding) {
  Build(BootFile(4 * 2048 - 100));
  EXPECT_EQ(b.BootImageSectors, 4u);
  EXPECT_EQ(b.BootCatalogAddress, 26u);
  EXPECT_EQ(b.BootImageAddress, 27u);
  EXPECT_EQ(b.PadSectors, 150 - 31);
  EXPECT_EQ(b.FirstFileAddress, 150u);
  const std::string image = tmp / "small.iso";
  WriteImage(b, image);
  // The boot image's bytes sit at its sector, its last sector zero-filled.
  const std::string data = ReadFile(image);
  EXPECT_EQ(data.substr(27 * 2048, 4 * 2048 - 100), ReadFile(b.BootImage));
  EXPECT_EQ(data.substr(31 * 2048 - 100, 100), std::string(100, '\0'));
  std::string report;
  EXPECT_EQ(IsoCheck(image, &report, "--quiet"), 0) << report;
}

TEST_F(Boot, MissingOrEmptyBootFileTurnsBootingOff) {
  for (const std::string &name : {std::string(), tmp / "missing.img", BootFile(0), tmp.Path()}) {
    Build(name);
    EXPECT_FALSE(b.Bootable) << name;
    EXPECT_EQ(b.HeaderImage.Size(), 25 * 2048) << "no catalog";
    EXPECT_EQ(Sector(17)[0], 2) << "no boot record";
    EXPECT_EQ(b.FirstFileAddress, 150u);
  }
}

// Boots real images in QEMU with the shared boot sectors.
class BootInEmulator : public Boot {
protected:
  static void SetUpTestSuite() {
    built = new TTempDir();
    std::string out;
    buildOk = RunCommand(std::string(SKARVO_SHARED_DIR "/testdata/eltorito/build.sh '") + built->Path() + "'", &out) == 0;
    if (!buildOk)
      std::fprintf(stderr, "%s\n", out.c_str());
  }
  static void TearDownTestSuite() {
    delete built;
    built = nullptr;
  }
  void Boots(const std::string &bootImage, const std::string &marker) {
    ASSERT_TRUE(buildOk);
    Build(bootImage);
    const std::string image = tmp / "boot.iso";
    WriteImage(b, image);
    std::string report;
    EXPECT_EQ(IsoCheck(image, &report, "--quiet"), 0) << report;
    std::string out;
    EXPECT_EQ(RunCommand(std::string(SKARVO_SHARED_DIR "/testdata/eltorito/check-boot.sh '") + image + "' '" + marker +
                      "' 30",
                  &out),
              0)
        << out;
  }
  static TTempDir *built;
  static bool buildOk;
};
TTempDir *BootInEmulator::built = nullptr;
bool BootInEmulator::buildOk = false;

TEST_F(BootInEmulator, Floppy144) {
  Boots(*built / "fd1440.img", "ELTORITO-BOOT-OK DRIVE=00 CHS=80/2/18");
}

TEST_F(BootInEmulator, Floppy12) {
  Boots(*built / "fd1200.img", "ELTORITO-BOOT-OK DRIVE=00 CHS=80/2/15");
}

TEST_F(BootInEmulator, HardDisk) {
  Boots(*built / "hdd.img", "ELTORITO-HDD-OK DRIVE=80 CHS=4/4/32");
}

} // namespace
