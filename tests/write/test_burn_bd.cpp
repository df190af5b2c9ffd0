// Blu-ray through the recorder's bd-writer: the disc types and sizes the
// device layer reports, the command sequence of a burn per medium and disc
// state, what the disc holds afterwards, the refusals, and the BD-RE erase.
#include "BurnFixture.h"
#include "ovBytes.h"

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
      {"BD-RE", false, dtBDRE, "BD-RE", 12219392},     {"BD-RE-DL", true, dtBDREDL, "BD-RE DL", 23652352},  // formatted: spare areas off
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

namespace {

// As for DVD, with the layer count read from the format capacities (23)
// after the profile; BD-RE is not rezeroed, as DVD+RW.
const std::string kPrepareR = "5C 46 23 1B 1E 01 BB 51 00 5A 5A 46 46 46 46 46 5A 5A 55 B6";
const std::string kPrepareRE = "5C 46 23 1B 1E BB 51 00 5A 5A 46 46 46 46 46 5A 5A 55 B6 51";
const std::string kRestore = "51 00 5C 5A 55 BB 01 1E 1B 01 00";

struct TBDCase {
  const char *Name;
  const char *Media;
  bool Formatted;
  bool OldSession;  // a first session is burned before the one logged
  bool Finalize;
  std::string Expected;
  int Status;
};

} // namespace

// BD-R: whole 32-sector WRITE(10)s, the track closed (001b), then the
// session (010b) or the disc (110b). BD-RE: WRITE(12)s with the streaming
// bit, an unformatted disc formatted once at the first refused write, no
// close; a later session's descriptors go to LBA 0 last, after a flush.
TEST_F(BurnBD, CommandSequencePerMediumAndDiscState) {
  const TBDCase cases[] = {
      {"BlankBDR", "BD-R", false, false, false,
       kPrepareR + " 2A*5 5C 2A*5 5C 35 5A 55 5B:1/0001 5B:2/0000 " + kRestore, 1},
      {"AppendableBDR", "BD-R", false, true, false,
       kPrepareR + " 2A*5 5C 2A*5 5C 35 5A 55 5B:1/0002 5B:2/0000 " + kRestore, 1},
      {"FinalizedBDR", "BD-R", false, true, true,
       kPrepareR + " 2A*5 5C 2A*5 5C 35 5A 55 5B:1/0002 5B:6/0000 " + kRestore, 2},
      {"UnformattedBDRE", "BD-RE", false, false, false,
       kPrepareRE + " AA*1 23 04 51 AA*5 5C AA*5 5C 35 5A 55 " + kRestore, 2},
      {"FormattedBDRE", "BD-RE", true, false, false, kPrepareRE + " AA*5 5C AA*5 5C 35 5A 55 " + kRestore, 2},
      {"BDREOverAnOldSession", "BD-RE", true, true, false,
       kPrepareRE + " AA*5 5C AA*5 5C 35 28 AA*1 35 5A 55 " + kRestore, 2},
  };
  for (const TBDCase &c : cases) {
    SCOPED_TRACE(c.Name);
    Drive(c.Media, c.Formatted);
    Source("a.bin", 300000);
    uint32_t firstEnd = 0;
    if (c.OldSession) {
      ASSERT_EQ(BurnAndWait(), "");
      firstEnd = Burner().ReadISOVolumeSize();
      burner_.reset();
      Burner().ImportSessionNumber = 1;
      Source("b.bin", 5000, 2);
    }
    Burner().FinalizeDisc = c.Finalize;
    ClearLog("w");
    EXPECT_EQ(BurnAndWait(), "");
    EXPECT_EQ(WriterSequence(), c.Expected);
    ExpectDriveUsable();
    EXPECT_EQ(Burner().DiscStatus(), c.Status);
    if (!c.OldSession)
      continue;
    // The new session starts on a whole cluster after the old one: on
    // BD-R right after it (no border between BD sessions), on BD-RE after
    // its volume, whose size sector 16 now gives.
    TOrvBurner &b = Burner();
    const uint32_t start = b.SessionStart;
    EXPECT_EQ(start % 32, 0u);
    EXPECT_GE(start, firstEnd);
    EXPECT_LT(start, firstEnd + 32);
    if (IsBDR(b.GetDiscType())) {
      ASSERT_TRUE(b.ReadTrackInformation(2));
      EXPECT_EQ(b.TrackStartAddress(), start);
      EXPECT_EQ(b.SessionCount(), 2);
    } else {
      EXPECT_GT(b.ReadISOVolumeSize(), start);
    }
  }
}

TEST_F(BurnBD, APressedDiscOrATestWriteIsRefusedBeforeAnythingIsWritten) {
  Drive("BD-R");
  Insert("w", "BD-ROM", 0, MakeImage(64, 64));
  Source("a.bin", 100000);
  EXPECT_EQ(Burner().GetDiscType(), dtBDROM);
  EXPECT_EQ(Burner().DiscCapacity(), 64u);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "THE BD-ROM IS NOT WRITABLE");
  EXPECT_EQ(CountOp("2A") + CountOp("AA"), 0u);

  for (const char *media : {"BD-R", "BD-RE"}) {
    SCOPED_TRACE(media);
    Drive(media, std::string(media) == "BD-RE");
    Source("a.bin", 100000);
    Burner().TestWrite = true;
    ClearLog("w");
    EXPECT_EQ(BurnAndWait(), std::string("TEST WRITE NOT POSSIBLE ON ") + media + " IN THIS DRIVE");
    EXPECT_EQ(CountOp("2A") + CountOp("AA") + CountOp("04"), 0u);
    ExpectDriveUsable();
  }
}

TEST_F(BurnBD, VerifyReadsTheDiscBackWithForceUnitAccess) {
  for (const char *media : {"BD-R-DL", "BD-RE"}) {
    SCOPED_TRACE(media);
    Drive(media);
    Source("a.bin", 1000000);
    Burner().Verify = true;
    ClearLog("w");
    EXPECT_EQ(BurnAndWait(), "");
    EXPECT_EQ(Burner().VerifyText.rfind("VERIFY: ", 0), 0u);
    EXPECT_NE(Burner().VerifyText.find("sectors equal"), std::string::npos) << Burner().VerifyText;
    size_t fua = 0, cached = 0;
    bool afterWrites = false;
    for (const std::string &cdb : LoggedCdbs("w")) {
      afterWrites = afterWrites || cdb.compare(0, 2, "5B") == 0 || cdb.compare(0, 2, "35") == 0;
      if (afterWrites && cdb.compare(0, 2, "28") == 0)
        ++(cdb.compare(2, 2, "08") == 0 ? fua : cached);
    }
    EXPECT_GT(fua, 0u);
    EXPECT_EQ(cached, 0u);
  }
}

TEST_F(BurnBD, ABDRWithSpareAreasTakesSessionsAsABlankOne) {
  Drive("BD-R");
  TOrvBurner &b = Burner();
  // Format type 32h at the default spare size, as a peer pre-formats it.
  uint32_t blocks = 0, parameter = 0;
  ASSERT_TRUE(b.ReadFormatDescriptor(0x32, blocks, parameter));
  EXPECT_EQ(blocks, 11826176u);
  uint8_t list[12] = {0x00, 0x80, 0x00, 0x08};
  ov::PutBE32(list + 4, blocks);
  list[8] = 0x32 << 2;
  ASSERT_TRUE(b.FormatUnit(0x11, list, sizeof list)) << b.ErrorText;
  Source("a.bin", 300000);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(WriterSequence(), kPrepareR + " 2A*5 5C 2A*5 5C 35 5A 55 5B:1/0001 5B:2/0000 " + kRestore);
  EXPECT_EQ(b.GetDiscType(), dtBDR);
  EXPECT_EQ(b.DiscStatus(), 1);
}
