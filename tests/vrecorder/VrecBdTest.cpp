// Blu-ray in the virtual recorder: the bd-writer model, its profiles and
// features, BD-R sessions in sequential recording mode, BD-RE formatting and
// overwriting, and sparse storage of a 50 GB disc.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

using namespace vrectest;

namespace {

// GET CONFIGURATION of one feature (RT 10b); empty when the drive lacks it.
std::vector<uint8_t> Feature(const TReply &r) {
  if (!r.Good() || r.Data.size() < 12 || Be32(r.Data, 0) < 8)
    return {};
  const size_t len = r.Data[11];
  return std::vector<uint8_t>(r.Data.begin() + 8, r.Data.begin() + 12 + long(len));
}

}  // namespace

class VrecBdTest : public VrecTest {
protected:
  TReply Config(uint16_t feature, uint8_t t) {
    return Cmd({0x46, 0x02, uint8_t(feature >> 8), uint8_t(feature), 0, 0, 0, 0x01, 0x00, 0}, 1, 256, {}, t);
  }
  TReply Close(uint8_t fn, uint16_t number, uint8_t t) {
    return Cmd({0x5B, 0, fn, 0, uint8_t(number >> 8), uint8_t(number), 0, 0, 0, 0}, 0, 0, {}, t);
  }
  TReply FormatCapacities(uint8_t t) { return Cmd({0x23, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0}, 1, 256, {}, t); }
  TReply Format(uint8_t type, uint32_t blocks, uint8_t t) {
    std::vector<uint8_t> list = {0x00, 0x00, 0x00, 0x08, uint8_t(blocks >> 24), uint8_t(blocks >> 16),
                                 uint8_t(blocks >> 8), uint8_t(blocks), uint8_t(type << 2), 0, 0, 0};
    return Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 12, list, t);
  }
  // The current write speed of page 2Ah (bytes 28-29).
  uint16_t CurrentWriteSpeed(uint8_t t) {
    TReply r = Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0x01, 0x00, 0}, 1, 256, {}, t);
    return r.Good() ? Be16(r.Data, 8 + 28) : 0;
  }
};

TEST_F(VrecBdTest, TheBdWriterReportsEachMediumWithItsProfileFeaturesAndSize) {
  struct TCase {
    const char *Media;
    uint16_t Profile;
    uint32_t Blocks;  // free blocks of the blank disc's track 1 (0: not recordable)
    bool Writable;
  };
  const TCase cases[] = {{"BD-R", 0x41, 12219392, true},
                         {"BD-R DL", 0x41, 24438784, true},
                         {"BD-RE", 0x43, 0, true},
                         {"BD-RE DL", 0x43, 0, true},
                         {"BD-ROM", 0x40, 0, false}};
  Drive("bd", "bd-writer", "none");
  const uint8_t t = Target("bd");
  const std::string image = dir_ + "/rom.iso";
  { std::ofstream(image, std::ios::binary) << std::string(64 * 2048, 'r'); }
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Media);
    Insert("bd", c.Media, 0, c.Profile == 0x40 ? image : "");
    TReply all = Cmd({0x46, 0x00, 0, 0, 0, 0, 0, 0x10, 0x00, 0}, 1, 4096, {}, t);
    ASSERT_TRUE(all.Good());
    EXPECT_EQ(Be16(all.Data, 6), c.Profile);
    // The profile list names the three BD profiles, the current one marked.
    std::vector<uint16_t> profiles;
    for (size_t at = 12; at + 4 <= 12 + size_t(all.Data[11]); at += 4) {
      profiles.push_back(Be16(all.Data, at));
      EXPECT_EQ(all.Data[at + 2] & 1, Be16(all.Data, at) == c.Profile ? 1 : 0) << "current: " << std::hex << c.Profile;
    }
    for (uint16_t p : {0x43, 0x41, 0x40, 0x1B, 0x11, 0x09})
      EXPECT_NE(std::find(profiles.begin(), profiles.end(), p), profiles.end()) << std::hex << p;
    const std::vector<uint8_t> read = Feature(Config(0x0040, t));
    ASSERT_EQ(read.size(), 4u + 28u);
    EXPECT_EQ(read[2] & 1, 1) << "BD Read is current";
    EXPECT_EQ(read[4 + 4 + 1], 0x04) << "BD-RE version 2";
    EXPECT_EQ(read[4 + 12 + 1], 0x02) << "BD-R version 1";
    const std::vector<uint8_t> write = Feature(Config(0x0041, t));
    ASSERT_EQ(write.size(), 4u + 20u);
    EXPECT_EQ(write[2] & 1, c.Writable ? 1 : 0) << "BD Write is current on recordable media";
    if (c.Blocks) {
      TReply ti = TrackInfo(1, t);
      ASSERT_TRUE(ti.Good());
      EXPECT_EQ(Be32(ti.Data, 8), 0u);
      EXPECT_EQ(Be32(ti.Data, 12), 0u);
      EXPECT_EQ(Be32(ti.Data, 16), c.Blocks);
      EXPECT_EQ(DiscInfo(t).Data[2] & 0x03, 0) << "blank";
      EXPECT_EQ(CurrentWriteSpeed(t), c.Blocks > 12219392 ? 35960u : 53940u) << "12x, 8x on two layers";
    }
  }
  // A DVD writer has no BD profile.
  Drive("dvd", "dvd-writer", "DVD+R");
  EXPECT_TRUE(Feature(Config(0x0040, Target("dvd"))).empty());
}

TEST_F(VrecBdTest, BdRSessionsFollowEachOtherOnWholeClustersUntilFinalized) {
  Drive("bd", "bd-writer", "BD-R");
  const uint8_t t = Target("bd");
  // The blank disc's format list: unformatted, then the spare-area formats
  // a real drive offers for a single layer.
  TReply fc = FormatCapacities(t);
  ASSERT_TRUE(fc.Good());
  ASSERT_EQ(fc.Data[3], 4 * 8);
  EXPECT_EQ(Be32(fc.Data, 4), 12219392u);
  EXPECT_EQ(fc.Data[8] & 3, 1);
  EXPECT_EQ(Be32(fc.Data, 12), 11826176u);
  EXPECT_EQ(Be32(fc.Data, 20), 11826176u);
  EXPECT_EQ(fc.Data[20 + 4], 0x32 << 2);
  EXPECT_EQ(Be32(fc.Data, 28), 12088320u);
  // No simulation on BD.
  EXPECT_FALSE(SetWriteType(0, true, 3, t).Good());
  ASSERT_TRUE(SetWriteType(0, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 100, 1, t).Good());
  ASSERT_TRUE(Close(1, 1, t).Good());
  ASSERT_TRUE(Close(2, 0, t).Good());
  // The track ends on a whole cluster, and the next session follows at once.
  EXPECT_EQ(Be32(TrackInfo(1, t).Data, 24), 128u);
  TReply ti = TrackInfo(2, t);
  EXPECT_EQ(Be32(ti.Data, 8), 128u);
  EXPECT_EQ(Be32(ti.Data, 12), 128u);
  EXPECT_EQ(DiscInfo(t).Data[2] & 0x03, 1) << "appendable";
  EXPECT_EQ(Format(0x32, 0, t).Key, 5) << "spare areas only on a blank disc";
  ASSERT_TRUE(Write(128, 32, 2, t).Good());
  // DVD+R's finalizing function is not BD-R's; 110b finalizes.
  EXPECT_EQ(Close(5, 0, t).Key, 5);
  ASSERT_TRUE(Close(1, 2, t).Good());
  ASSERT_TRUE(Close(6, 0, t).Good());
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x03, 2) << "complete";
  EXPECT_EQ(di.Data[4], 2) << "two sessions";
  EXPECT_EQ(Write(160, 32, 3, t).Key, 5);
  EXPECT_TRUE(Read(0, 100, t, true).Good());
  EXPECT_TRUE(Read(128, 32, t, true).Good());
}

TEST_F(VrecBdTest, BdReIsWrittenAnywhereOnceFormattedAndStoredSparse) {
  Drive("bd", "bd-writer", "BD-RE-DL");
  const uint8_t t = Target("bd");
  // Blank until formatted: writes are refused, and the format list offers
  // spare areas (00h, 30h) or none (31h).
  TReply w = Write(0, 32, 1, t);
  EXPECT_EQ(w.Key, 5);
  EXPECT_EQ(w.Asc, 0x30);
  TReply fc = FormatCapacities(t);
  ASSERT_TRUE(fc.Good());
  EXPECT_EQ(Be32(fc.Data, 4), 24438784u);
  EXPECT_EQ(fc.Data[8] & 3, 1);
  std::vector<uint8_t> types;
  for (size_t at = 12; at < 4 + size_t(fc.Data[3]); at += 8)
    types.push_back(fc.Data[at + 4] >> 2);
  EXPECT_EQ(types, (std::vector<uint8_t>{0x00, 0x30, 0x31}));
  EXPECT_EQ(Format(0x26, 0, t).Key, 5) << "DVD+RW's format type is not BD-RE's";
  ASSERT_TRUE(Format(0x31, 0, t).Good());
  EXPECT_EQ(FormatCapacities(t).Data[8] & 3, 2) << "formatted";
  // Anywhere on the disc, a layer away from the start; no session to close.
  ASSERT_TRUE(SetWriteType(0, false, 0, t).Good());
  ASSERT_TRUE(Write(0, 32, 1, t).Good());
  ASSERT_TRUE(Write(20000000, 32, 2, t).Good());
  ASSERT_TRUE(Write(0, 32, 3, t).Good());
  TReply r = Read(20000000, 32, t, true);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(r.Data[100], 2);
  EXPECT_EQ(Close(2, 0, t).Key, 5);
  // 50 GB of address space costs what was written.
  struct stat st{};
  ASSERT_EQ(stat((dir_ + "/drives/bd/data.img").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, off_t(4) << 20);
  // A formatted BD-RE can be inserted holding an image from block 0.
  const std::string image = dir_ + "/re.iso";
  { std::ofstream(image, std::ios::binary) << std::string(32 * 2048, 'e'); }
  Insert("bd", "BD-RE", 0, image, true);
  r = Read(0, 32, t, true);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(r.Data[5], 'e');
}

TEST_F(VrecBdTest, DefectManagementHalvesTheWriteRateUnlessStreamingOrWithoutSpares) {
  Drive("bd", "bd-writer", "BD-RE", 0, "", true);
  const uint8_t t = Target("bd");
  // A clock this slow drains nothing while the test runs: the buffer shows
  // the drive time each write costs, in bytes at the set speed.
  setenv("SKARVO_VDRIVE_CLOCK", "0.000001", 1);
  const auto used = [&] {
    TReply r = Cmd({0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 1, 12, {}, t);
    EXPECT_TRUE(r.Good());
    return Be32(r.Data, 4) - Be32(r.Data, 8);
  };
  const std::vector<uint8_t> data(32 * 2048, 0x33);
  const auto write12 = [&](uint32_t lba, bool streaming) {
    return Cmd({0xAA, 0, 0, 0, uint8_t(lba >> 8), uint8_t(lba), 0, 0, 0, 32, uint8_t(streaming ? 0x80 : 0), 0}, 2,
               uint32_t(data.size()), data, t);
  };
  const uint32_t before = used();
  ASSERT_TRUE(write12(0, true).Good());
  const uint32_t streamed = used() - before;
  EXPECT_EQ(streamed, 65536u);
  ASSERT_TRUE(write12(32, false).Good());
  EXPECT_EQ(used() - before - streamed, 2 * 65536u) << "verified after writing, on the spare areas";
  ASSERT_TRUE(Write(64, 32, 1, t).Good());
  EXPECT_EQ(used() - before - streamed, 4 * 65536u) << "WRITE(10) has no streaming bit";
  TReply r = Read(32, 32, t, true);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(r.Data[7], 0x33);
  // Formatted without spare areas there is nothing to manage.
  ASSERT_TRUE(Format(0x31, 0, t).Good());
  const uint32_t unmanaged = used();
  ASSERT_TRUE(Write(96, 32, 1, t).Good());
  EXPECT_EQ(used() - unmanaged, 65536u);
}
