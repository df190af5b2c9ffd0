// Blu-ray through the recorder's bd-writer: the disc types and sizes the
// device layer reports, the command sequence of a burn per medium and disc
// state, what the disc holds afterwards, the refusals, and the BD-RE erase.
#include "BurnFixture.h"

class BurnBD : public BurnTest {};

TEST_F(BurnBD, EachMediumHasItsTypeNameAndSize) {
  struct TCase {
    const char *Media;
    bool Formatted;
    uint8_t Code;
    const char *Name;
    uint32_t Capacity;
  };
  const TCase cases[] = {
      {"BD-R", false, dtBDR, "BD-R", 12219392},        {"BD-R-DL", false, dtBDRDL, "BD-R DL", 24438784},
      {"BD-RE", false, dtBDRE, "BD-RE", 12219392},     {"BD-RE-DL", true, dtBDREDL, "BD-RE DL", 24438784},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Media);
    Drive(c.Media, c.Formatted);
    TOrvBurner &b = Burner();
    const uint8_t code = b.GetDiscType();
    EXPECT_EQ(code, c.Code);
    EXPECT_STREQ(DiscTypeName(code), c.Name);
    EXPECT_EQ(b.DiscCapacity(), c.Capacity);
    EXPECT_EQ(b.UsedBlocks(), 0u);
    EXPECT_EQ(TSCSIDevice::IsOverwritable(code), IsBDRE(code));
    EXPECT_EQ(b.IsRewritable(), IsBDRE(code));
    // The drive says what it writes, and a BD writes at multiples of 4,495 KB/s.
    EXPECT_TRUE(b.HasCapability(capReadBD));
    EXPECT_TRUE(b.HasCapability(capWriteBDR));
    EXPECT_TRUE(b.HasCapability(capWriteBDRE));
    EXPECT_EQ(SpeedUnit(code), 4495.0);
    TDisc disc;
    b.GetDiscInfo(disc);
    EXPECT_EQ(disc.MediumName, c.Name);
  }
  EXPECT_STREQ(DiscTypeName(dtBDROM), "BD-ROM");
  EXPECT_STREQ(DiscTypeName(99), "UNKNOWN");
  // A DVD writer has none of it.
  Drive("DVD+R");
  EXPECT_FALSE(Burner().HasCapability(capReadBD));
  EXPECT_FALSE(Burner().HasCapability(capWriteBDR));
}
