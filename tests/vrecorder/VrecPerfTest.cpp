// GET PERFORMANCE and BD spare areas in the virtual recorder: the
// performance and write-speed descriptors per medium, the feature that
// announces them, and the user capacity a format with spare areas leaves,
// as every command that reports a size tells it.
#include "VrecTestUtil.h"

#include <algorithm>

using namespace vrectest;

class VrecPerfTest : public VrecTest {
protected:
  // GET PERFORMANCE; dataType is CDB byte 1, maxDesc descriptors asked
  // for, a buffer with room for 32.
  TReply Performance(uint8_t type, uint8_t dataType, uint16_t maxDesc, uint8_t t) {
    return Cmd({0xAC, dataType, 0, 0, 0, 0, 0, 0, uint8_t(maxDesc >> 8), uint8_t(maxDesc), type, 0}, 1, 8 + 16 * 32,
               {}, t);
  }
  // The test's buffer holds EEh where the drive sent nothing.
  static bool UntouchedFrom(const TReply &r, size_t at) {
    return std::all_of(r.Data.begin() + long(std::min(at, r.Data.size())), r.Data.end(),
                       [](uint8_t b) { return b == 0xEE; });
  }
  TReply Format(uint8_t type, uint32_t blocks, uint8_t t) {
    std::vector<uint8_t> list = {0x00, 0x00, 0x00, 0x08, uint8_t(blocks >> 24), uint8_t(blocks >> 16),
                                 uint8_t(blocks >> 8), uint8_t(blocks), uint8_t(type << 2), 0, 0, 0};
    return Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 12, list, t);
  }
  TReply FormatCapacities(uint8_t t) { return Cmd({0x23, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0}, 1, 256, {}, t); }
  // READ CAPACITY's last block + 1.
  uint32_t CapacityBlocks(uint8_t t) {
    TReply r = Cmd({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 8, {}, t);
    return r.Good() ? Be32(r.Data, 0) + 1 : 0;
  }
  // The write speeds of type 03h, and checks of each descriptor's fields.
  std::vector<uint32_t> WriteSpeeds(uint8_t t, uint32_t lastLba) {
    TReply r = Performance(0x03, 0, 32, t);
    EXPECT_TRUE(r.Good());
    std::vector<uint32_t> speeds;
    if (!r.Good() || r.Data.size() < 8)
      return speeds;
    const size_t n = (Be32(r.Data, 0) - 4) / 16;
    EXPECT_TRUE(UntouchedFrom(r, 8 + 16 * n)) << "nothing past the descriptors";
    for (size_t i = 0; i < n && 8 + 16 * (i + 1) <= r.Data.size(); ++i) {
      const size_t at = 8 + 16 * i;
      EXPECT_EQ(Be32(r.Data, at + 4), lastLba) << "descriptor " << i << " ends at the medium's last user block";
      EXPECT_GT(Be32(r.Data, at + 8), 0u) << "read speed";
      speeds.push_back(Be32(r.Data, at + 12));
    }
    return speeds;
  }
};

TEST_F(VrecPerfTest, WriteSpeedDescriptorsFollowTheLoadedMedium) {
  struct TCase {
    const char *Media;
    bool Formatted;
    uint32_t LastLba;
    std::vector<uint32_t> Speeds;  // fastest first
  };
  // BD speeds are multiples of 4,495 kB/s: 12x to 2x on BD-R, 8x down on two
  // layers, 2x on BD-RE; DVD+R from the DVD list.
  const TCase cases[] = {
      {"BD-R", false, 12219391, {53940, 44950, 35960, 26970, 17980, 8990}},
      {"BD-R-DL", false, 24438783, {35960, 26970, 17980, 8990}},
      {"BD-RE", true, 11826175, {8990}},
      {"CD-R", false, 359846, {8467, 7056, 5645, 4234, 2822, 1764}},
  };
  Drive("bd", "bd-writer", "none");
  const uint8_t t = Target("bd");
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Media);
    Insert("bd", c.Media, 0, "", c.Formatted);
    EXPECT_EQ(WriteSpeeds(t, c.LastLba), c.Speeds);
  }
  // The count in the CDB limits the descriptors sent, not the length that
  // says how many there are.
  Insert("bd", "BD-R");
  TReply two = Performance(0x03, 0, 2, t);
  ASSERT_TRUE(two.Good());
  EXPECT_EQ(Be32(two.Data, 0), 4u + 6 * 16);
  EXPECT_EQ(Be32(two.Data, 8 + 16 + 12), 44950u);
  EXPECT_TRUE(UntouchedFrom(two, 8 + 2 * 16));
  // An unknown type is refused; without a disc there is no answer.
  EXPECT_EQ(Performance(0x05, 0, 4, t).Key, 5);
  Cmd({0x1B, 0, 0, 0, 0x02, 0}, 0, 0, {}, t);  // eject
  EXPECT_EQ(Performance(0x03, 0, 4, t).Asc, 0x3A);
}

TEST_F(VrecPerfTest, NominalPerformanceIsTheSpeedInEffect) {
  Drive("bd", "bd-writer", "BD-R");
  const uint8_t t = Target("bd");
  // Write performance (Write bit): one zone over the disc at the fastest
  // step, then at the step SET CD SPEED chose.
  TReply w = Performance(0x00, 0x04, 4, t);
  ASSERT_TRUE(w.Good());
  EXPECT_EQ(Be32(w.Data, 0), 4u + 16);
  EXPECT_TRUE(UntouchedFrom(w, 8 + 16));
  EXPECT_EQ(w.Data[4] & 0x03, 0x02) << "write data, nominal";
  EXPECT_EQ(Be32(w.Data, 8), 0u);
  EXPECT_EQ(Be32(w.Data, 12), 53940u);
  EXPECT_EQ(Be32(w.Data, 16), 12219391u);
  EXPECT_EQ(Be32(w.Data, 20), 53940u);
  ASSERT_TRUE(Cmd({0xBB, 0, 0xFF, 0xFF, 0x6C, 0x00, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // 27,648 kB/s asked
  w = Performance(0x00, 0x04, 4, t);
  EXPECT_EQ(Be32(w.Data, 12), 26970u) << "the largest step not above the one asked";
  // Read performance: the read speed.
  TReply r = Performance(0x00, 0x00, 4, t);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(r.Data[4] & 0x03, 0);
  EXPECT_GT(Be32(r.Data, 12), 0u);
  // No exceptions to list: the header alone, flagged.
  TReply e = Performance(0x00, 0x01, 4, t);
  ASSERT_TRUE(e.Good());
  EXPECT_EQ(Be32(e.Data, 0), 4u);
  EXPECT_EQ(e.Data[4] & 0x01, 1);
}

TEST_F(VrecPerfTest, RealTimeStreamingFeatureAnnouncesTheWriteSpeeds) {
  Drive("bd", "bd-writer", "BD-R");
  Drive("rd", "dvd-reader", "none");
  for (const char *name : {"bd", "rd"}) {
    SCOPED_TRACE(name);
    TReply r = Cmd({0x46, 0x02, 0x01, 0x07, 0, 0, 0, 0x01, 0x00, 0}, 1, 256, {}, Target(name));
    ASSERT_TRUE(r.Good());
    ASSERT_GE(r.Data.size(), 16u);
    EXPECT_EQ(Be16(r.Data, 8), 0x0107);
    EXPECT_EQ(r.Data[11], 4);
    const bool writer = std::string(name) == "bd";
    // WSPD (02h) and stream writing (01h) on a writer only.
    EXPECT_EQ(r.Data[12] & 0x03, writer ? 0x03 : 0x00);
  }
}

TEST_F(VrecPerfTest, SpareAreasComeOffTheUserCapacityEverywhere) {
  Drive("bd", "bd-writer", "BD-RE");
  const uint8_t t = Target("bd");
  struct TCase {
    uint8_t Type;
    uint32_t Blocks;  // asked for
    uint32_t User;    // what the disc then holds
  };
  // 00h and 30h at the default size, 30h at a size of its own (rounded up
  // to whole clusters), 31h without spares; the same disc each time.
  const TCase cases[] = {{0x00, 0, 11826176},
                         {0x30, 11826176, 11826176},
                         {0x30, 12000001, 12000032},
                         {0x31, 0, 12219392},
                         {0x30, 0, 11826176}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.Type) << std::dec << " " << c.Blocks);
    ASSERT_TRUE(Format(c.Type, c.Blocks, t).Good());
    EXPECT_EQ(CapacityBlocks(t), c.User);
    TReply fc = FormatCapacities(t);
    ASSERT_TRUE(fc.Good());
    EXPECT_EQ(Be32(fc.Data, 4), c.User) << "current descriptor";
    EXPECT_EQ(fc.Data[8] & 3, 2) << "formatted";
    // The formats offered stay those of the whole disc.
    EXPECT_EQ(Be32(fc.Data, 12), 11826176u);
    EXPECT_EQ(Be32(fc.Data, 28), 12219392u);
    EXPECT_EQ(Be32(DiscInfo(t).Data, 20), c.User) << "last possible lead-out";
    EXPECT_EQ(Be32(TrackInfo(1, t).Data, 24), c.User) << "track size";
    EXPECT_EQ(WriteSpeeds(t, c.User - 1).size(), 1u);
    // The last user block takes data, the one after it does not.
    EXPECT_TRUE(Write(c.User - 32, 32, 0x11, t).Good());
    EXPECT_EQ(Write(c.User, 32, 0x11, t).Asc, 0x21);
  }
  // Spare areas smaller than the inner zone, or a user area larger than
  // the disc, are refused and change nothing.
  EXPECT_EQ(Format(0x30, 12219392 - 32, t).Key, 5);
  EXPECT_EQ(Format(0x30, 1000, t).Key, 5);
  EXPECT_EQ(CapacityBlocks(t), 11826176u);
}

TEST_F(VrecPerfTest, SpareAreasOnBdRAndOnTwoLayers) {
  Drive("bd", "bd-writer", "BD-R");
  const uint8_t t = Target("bd");
  // A BD-R pre-formatted with the inner spare zone only, as a peer does
  // for the largest user area.
  ASSERT_TRUE(Format(0x32, 12088320, t).Good());
  TReply ti = TrackInfo(1, t);
  EXPECT_EQ(Be32(ti.Data, 16), 12088320u) << "free blocks";
  EXPECT_EQ(Be32(ti.Data, 24), 12088320u) << "track size";
  EXPECT_EQ(Be32(DiscInfo(t).Data, 20), 12088320u);
  TReply fc = FormatCapacities(t);
  EXPECT_EQ(Be32(fc.Data, 4), 12088320u);
  EXPECT_EQ(Be32(fc.Data, 28), 12088320u) << "the smallest spare areas, of the whole disc";
  // As a real drive reports it after this pre-format: the write speed
  // descriptors end at 12,088,319.
  EXPECT_EQ(WriteSpeeds(t, 12088319).size(), 6u);
  ASSERT_TRUE(SetWriteType(0, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 32, 0x22, t).Good());
  EXPECT_EQ(Be32(TrackInfo(1, t).Data, 16), 12088320u - 32);

  // Two layers: twice the spare areas of one.
  Insert("bd", "BD-RE-DL", 0, "", true);
  EXPECT_EQ(CapacityBlocks(t), 2 * 11826176u) << "--formatted leaves the default spare areas";
  ASSERT_TRUE(Format(0x31, 0, t).Good());
  EXPECT_EQ(CapacityBlocks(t), 24438784u);
  // A new disc has the whole capacity again until formatted.
  Insert("bd", "BD-R");
  EXPECT_EQ(Be32(TrackInfo(1, t).Data, 16), 12219392u);
}
