// El Torito sessions: places of the boot record, catalog and image, the
// media type, and boots in an emulated PC.
#include "layout_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

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

// Boots images made from our own test boot sectors in an emulated PC. Each
// boot sector prints one line naming the geometry the BIOS gave it and
// whether the image's last sector reads back; expected.txt holds the line
// each image must print.
class BootInEmulator : public Boot {
protected:
  static void SetUpTestSuite() {
    if (RunCommand("command -v nasm") != 0) {
      skipReason = "nasm is not installed";
      return;
    }
    if (RunCommand("command -v qemu-system-x86_64") != 0) {
      skipReason = "qemu-system-x86_64 is not installed";
      return;
    }
    assets = new TTempDir();
    std::string out;
    if (RunCommand(Script("make-images.sh") + " '" + assets->Path() + "'", &out) != 0) {
      buildError = "make-images.sh failed: " + out;
      return;
    }
    std::istringstream lines(ReadFile(*assets / "expected.txt"));
    for (std::string line; std::getline(lines, line);) {
      const size_t space = line.find(' ');
      if (space != std::string::npos)
        expected[line.substr(0, space)] = line.substr(space + 1);
    }
  }
  static void TearDownTestSuite() {
    delete assets;
    assets = nullptr;
    expected.clear();
  }
  void SetUp() override {
    Boot::SetUp();
    if (!skipReason.empty())
      GTEST_SKIP() << skipReason;
    ASSERT_TRUE(buildError.empty()) << buildError;
  }
  static std::string Script(const std::string &name) { return "bash '" SKARVO_ELTORITO_ASSETS "/" + name + "'"; }

  // Lays out a session booting the named test image and writes it whole.
  std::string MakeImage(const std::string &name) {
    Build(*assets / name);
    EXPECT_TRUE(b.Bootable);
    const std::string image = tmp / "boot.iso";
    WriteImage(b, image);
    return image;
  }
  // Exit status of boot-cd.sh waiting for LINE; its output in *out.
  static int BootLine(const std::string &image, const std::string &line, std::string *out, int seconds = 30) {
    return RunCommand(Script("boot-cd.sh") + " '" + image + "' '" + line + "' " + std::to_string(seconds), out);
  }
  void Boots(const std::string &name) {
    ASSERT_EQ(expected.count(name), 1u) << name << " missing from expected.txt";
    const std::string image = MakeImage(name);
    std::string report;
    EXPECT_EQ(IsoCheck(image, &report, "--quiet"), 0) << report;
    std::string out;
    EXPECT_EQ(BootLine(image, expected[name], &out), 0) << out;
  }

  static inline TTempDir *assets = nullptr;
  static inline std::string skipReason, buildError;
  static inline std::map<std::string, std::string> expected;
};

TEST_F(BootInEmulator, Floppy144) { Boots("fd1440.img"); }

TEST_F(BootInEmulator, Floppy12) { Boots("fd1200.img"); }

TEST_F(BootInEmulator, Floppy288) { Boots("fd2880.img"); }

TEST_F(BootInEmulator, HardDisk) { Boots("hdd.img"); }

// The checks can fail: an image whose last sector was not written reports
// it, and a session without a boot record boots nothing.
TEST_F(BootInEmulator, MissingDataAndMissingBootRecordAreSeen) {
  const std::string image = MakeImage("fd1440.img");
  const std::string line = expected["fd1440.img"];
  {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff{b.BootImageAddress + b.BootImageSectors - 1} * 2048);
    const std::string zeros(2048, '\0');
    f.write(zeros.data(), zeros.size());
    ASSERT_TRUE(f.good());
  }
  std::string out;
  EXPECT_EQ(BootLine(image, line, &out), 1) << out;
  EXPECT_NE(out.find("tail=bad"), std::string::npos) << out;

  b.ResetCompilation(65535, 8191);
  AddSynthetic(b, b.DirList[0], "readme.txt", 100);
  Build("");
  ASSERT_FALSE(b.Bootable);
  const std::string plain = tmp / "plain.iso";
  WriteImage(b, plain);
  EXPECT_EQ(BootLine(plain, line, &out), 1) << out;
  EXPECT_NE(out.find("booted nothing"), std::string::npos) << out;
}

} // namespace
