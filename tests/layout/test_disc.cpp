// Where a session starts on a loaded disc: a virtual recorder holding a
// first session, a layout for the second one, and the multisession image
// checked as a whole.
#include "VRecorder.h"
#include "layout_helpers.h"
#include "ovSync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace layout_test;

namespace {

class DiscStart : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("SKARVO_VDRIVES", (tmp / "drives").c_str(), 1);
    setenv("SKARVO_VDRIVE_CLOCK", "100", 1);
    ov::SetTimeScale(0.01);
    std::string err;
    ASSERT_TRUE(vrec::AddDrive("w", "dvd-writer", "", "", "", err)) << err;
    // The first session: one file, laid out for an image file.
    TOrvBurner first;
    first.ResetCompilation(65535, 8191);
    first.IdVolume = "FIRST";
    AddSynthetic(first, first.DirList[0], "old.txt", 5000);
    ASSERT_EQ(first.PrepareLayout(true, nullptr), 1);
    ASSERT_TRUE(first.BuildHeader(true, nullptr));
    WriteImage(first, firstImage);
    firstSectors = static_cast<uint32_t>(first.ImageEnd);
  }
  void TearDown() override { ov::SetTimeScale(1.0); }

  // Opens the virtual drive in b.
  void Select() {
    ASSERT_TRUE(b.InitializeASPI(false, WNASPI32_PATH));
    std::string device;
    for (const std::string &d : b.DeviceList)
      if (d.find(",w ") != std::string::npos)
        device = d;
    ASSERT_FALSE(device.empty()) << "the drive w is listed";
    b.SelectDevice(device);
    ASSERT_NE(b.HaId, 254);
    b.ResetCompilation(65535, 8191);
    b.IdVolume = "SECOND";
    AddSynthetic(b, b.DirList[0], "new.txt", 3000);
  }

  TTempDir tmp;
  std::string firstImage = tmp / "first.iso";
  uint32_t firstSectors = 0;
  TOrvBurner b;
};

TEST_F(DiscStart, SecondSessionOnACDRStartsAtTheNextWritableAddress) {
  std::string err;
  ASSERT_TRUE(vrec::InsertMedium("w", "CD-R", 0, firstImage, false, err)) << err;
  Select();

  // The size preview does not ask the disc.
  ASSERT_EQ(b.PrepareLayout(false, nullptr), 1);
  EXPECT_EQ(b.SessionStart, 0u);
  EXPECT_EQ(DiscTypeCode.load(), dtCDR);

  b.QueryNextWritableAddress = true;
  ASSERT_EQ(b.PrepareLayout(false, nullptr), 1);
  b.QueryNextWritableAddress = false;
  // A CD session starts 11,400 sectors after the end of the first one's track
  // (its two run-out blocks included, 300 blocks at least).
  const uint32_t s = b.SessionStart;
  EXPECT_EQ(s, std::max(firstSectors + 2, 300u) + 11400);
  EXPECT_EQ(b.PathTableL, s + 19);
  EXPECT_EQ(b.DirRecordsStart, s + 23);
  EXPECT_LE(b.PadSectors, 0) << "no padding after sector 150";
  EXPECT_EQ(b.FirstFileAddress, s + 25);
  EXPECT_EQ(b.ImageEnd, int64_t{s} + 27);
  EXPECT_EQ(b.SectorsToWrite, 27);
  ASSERT_TRUE(b.BuildHeader(false, nullptr));
  ASSERT_EQ(b.HeaderImage.Size(), 25 * 2048);
  const uint8_t *pvd = b.HeaderImage.Memory() + 16 * 2048;
  EXPECT_EQ(pvd[0], 1);
  EXPECT_EQ(LE32(pvd + 80), s + 27u) << "the volume space size counts from sector 0";
  EXPECT_EQ(LE32(pvd + 158), s + 23u);

  // The whole disc as an image file: old session, gap, new session.
  const std::string second = tmp / "second.part";
  WriteImage(b, second);
  const std::string disc = tmp / "disc.iso";
  {
    std::string bytes = ReadFile(firstImage);
    bytes.resize(size_t{s} * 2048, '\0');
    bytes += ReadFile(second);
    WriteFile(disc, bytes);
  }
  std::string report;
  EXPECT_EQ(IsoCheck(disc, &report, "--quiet --session-start " + std::to_string(s)), 0) << report;
  EXPECT_NE(report.find("volume SECOND"), std::string::npos) << report;
  std::string out;
  ASSERT_EQ(RunCommand("isoinfo -T " + std::to_string(s) + " -J -l -i '" + disc + "'", &out), 0) << out;
  EXPECT_NE(out.find("new.txt"), std::string::npos) << out;
  // The first session is still readable on its own.
  EXPECT_EQ(IsoCheck(disc, &report, "--quiet"), 0) << report;
  EXPECT_NE(report.find("volume FIRST"), std::string::npos) << report;
}

TEST_F(DiscStart, OverwritableDiscContinuesAfterTheLastVolume) {
  std::string err;
  ASSERT_TRUE(vrec::InsertMedium("w", "DVD+RW", 0, firstImage, true, err)) << err;
  Select();
  EXPECT_EQ(b.ReadLastVolumeSize(), firstSectors);
  b.QueryNextWritableAddress = true;
  ASSERT_EQ(b.PrepareLayout(false, nullptr), 1);
  b.QueryNextWritableAddress = false;
  EXPECT_EQ(DiscTypeCode.load(), dtDVDPlusRW);
  EXPECT_EQ(b.SessionStart, firstSectors);
  ASSERT_TRUE(b.BuildHeader(false, nullptr));
  // The descriptor copy, written at sector 0 of such a disc, describes the
  // new session.
  ASSERT_EQ(b.DescriptorCopySize, 19 * 2048);
  EXPECT_EQ(LE32(b.DescriptorCopy.data() + 16 * 2048 + 80), static_cast<uint32_t>(b.ImageEnd));
  EXPECT_EQ(LE32(b.DescriptorCopy.data() + 16 * 2048 + 140), b.PathTableL);
}

TEST_F(DiscStart, BlankDiscStartsAtZero) {
  std::string err;
  ASSERT_TRUE(vrec::InsertMedium("w", "CD-R", 0, "", false, err)) << err;
  Select();
  b.QueryNextWritableAddress = true;
  ASSERT_EQ(b.PrepareLayout(false, nullptr), 1);
  EXPECT_EQ(b.SessionStart, 0u);
  EXPECT_EQ(b.FirstFileAddress, 150u);
}

} // namespace
