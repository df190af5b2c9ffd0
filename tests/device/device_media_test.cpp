// Capabilities, quirks, medium queries and the write parameters page, end to
// end against the virtual recorder.
#include "VDriveFixture.h"

namespace {

uint32_t Bits(std::initializer_list<int> bits) {
  uint32_t m = 0;
  for (int b : bits)
    m |= 1u << b;
  return m;
}

} // namespace

TEST(ModePageLocation, ThreeLayouts) {
  uint8_t buf[64] = {};
  buf[8] = 0x2A;  // after the 8-byte header
  EXPECT_EQ(LocateModePage(buf, 0x2A, true), 8);
  EXPECT_EQ(LocateModePage(buf, 0x2A, false), 8);
  std::fill(std::begin(buf), std::end(buf), 0);
  buf[16] = 0x2A;  // after a block descriptor
  buf[8] = 0x2A;
  EXPECT_EQ(LocateModePage(buf, 0x2A, true), 16);
  EXPECT_EQ(LocateModePage(buf, 0x2A, false), 16);
  std::fill(std::begin(buf), std::end(buf), 0);
  buf[7] = 0x2A;  // a header one byte short
  EXPECT_EQ(LocateModePage(buf, 0x2A, true), 7);
  EXPECT_EQ(LocateModePage(buf, 0x2A, false), 7);
  buf[8] = 0x2A;  // both: the header layout wins
  EXPECT_EQ(LocateModePage(buf, 0x2A, true), 8);
  EXPECT_EQ(LocateModePage(buf, 0x2A, false), 8);
}

TEST_F(VDriveTest, CapabilitiesOfEachModel) {
  AddDrive("a", "dvd-writer");
  AddDrive("b", "cdrw-writer");
  AddDrive("c", "dvd-reader");
  Insert("a", "CD-RW");
  Insert("b", "CD-RW");
  Setting("a", "write_speeds.CD-RW", "4234 2822 1764");
  Setting("a", "read_speed_cd", "7056");
  TSCSIDevice &dev = Select("a");
  EXPECT_EQ(dev.Capabilities, Bits({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20}));
  EXPECT_EQ(dev.DeviceMaxWriteSpeed(), 4234);
  EXPECT_EQ(dev.DeviceMaxReadSpeed(), 7056);
  EXPECT_EQ(dev.GetMaxWriteSpeed(), 4234);
  EXPECT_EQ(dev.GetMaxReadSpeed(), 7056);
  EXPECT_TRUE(dev.SetCDSpeed(0, 1764));
  EXPECT_EQ(dev.GetCurrentWriteSpeed(), 1764);
  EXPECT_EQ(dev.WriteModes & (wmTAO | wmSAO), wmTAO | wmSAO);

  Select("b");
  EXPECT_EQ(dev.Capabilities, Bits({0, 1, 2, 3, 10, 11, 12, 20}));
  EXPECT_EQ(dev.WriteModes & wmTAO, wmTAO);

  // A reader reports 0 as its maximum write speed: shown as 1,385 KB/s.
  Select("c");
  EXPECT_EQ(dev.Capabilities & Bits({10, 11, 12, 13, 14, 15, 16, 17, 18, 20}), 0u);
  EXPECT_EQ(dev.Capabilities & Bits({0, 1, 3, 4, 5, 6}), Bits({0, 1, 3, 4, 5, 6}));
  EXPECT_EQ(dev.DeviceMaxWriteSpeed(), 1385);
  EXPECT_EQ(dev.GetMaxWriteSpeed(), 1385);
  EXPECT_EQ(dev.WriteModes, 0);
}

TEST_F(VDriveTest, QuirksFollowTheIdentity) {
  AddDrive("a", "cdrw-writer", "ACME", "CD-W512EB", "1.0");
  AddDrive("b", "cdrw-writer", "ACME", "CRX175E", "1.0");
  AddDrive("c", "dvd-writer", "PIONEER", "DVD-RW  DVR-103", "1.0");
  AddDrive("d", "dvd-writer", "TDK", "CDRW321040X", "1.0");
  AddDrive("e", "dvd-writer");
  Setting("a", "underrun_protection", "0");
  for (const char *n : {"a", "b", "c", "d", "e"})
    Insert(n, "CD-R");
  TSCSIDevice &dev = Select("a");
  EXPECT_TRUE(dev.QuirkUnderrunForced);
  EXPECT_TRUE(dev.HasCapability(capUnderrunProtection));
  EXPECT_TRUE(dev.ReadCapabilities());
  EXPECT_TRUE(dev.HasCapability(capUnderrunProtection));

  Select("b");
  EXPECT_FALSE(dev.QuirkUnderrunForced);
  EXPECT_TRUE(dev.QuirkLinkSize);
  ASSERT_TRUE(dev.SetWriteParameters(false, false, dtCDR, false));
  uint8_t page[512];
  ASSERT_TRUE(dev.ModeSense10(0x05, false, page, sizeof page));
  EXPECT_EQ(page[8 + 2], 0x21);  // LS_V with track-at-once

  Select("c");
  EXPECT_TRUE(dev.QuirkSlowReady);
  EXPECT_TRUE(CloseImmediate);
  EXPECT_FALSE(QuirkLongErase);

  Select("d");
  EXPECT_FALSE(dev.QuirkSlowReady);
  EXPECT_FALSE(CloseImmediate);
  EXPECT_TRUE(QuirkLongErase);

  Select("e");
  EXPECT_FALSE(dev.QuirkLinkSize || dev.QuirkSlowReady || dev.QuirkUnderrunForced);
  EXPECT_TRUE(CloseImmediate);
  EXPECT_FALSE(QuirkLongErase);
}

TEST_F(VDriveTest, BlankMedia) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-R");
  TSCSIDevice &dev = Select("w");
  EXPECT_EQ(dev.GetDiscType(), dtCDR);
  EXPECT_EQ(dev.DiscStatus(), 0);
  EXPECT_EQ(dev.SessionCount(), 0);
  EXPECT_FALSE(dev.IsRewritable());
  EXPECT_EQ(dev.UsedBlocks(), 0u);  // next writable address of track 1
  const uint32_t freeBlocks = dev.FreeBlocks();
  EXPECT_EQ(freeBlocks, 359847u);
  // The ATIP lead-out 79:59:74 counted as minutes, seconds and frames.
  EXPECT_EQ(dev.DiscCapacity(), 359999u);
  TDisc disc;
  disc.MediumName = "unchanged";
  dev.GetDiscInfo(disc);
  EXPECT_TRUE(disc.Ready);
  EXPECT_EQ(disc.MediumName, "CD-R");
  EXPECT_EQ(disc.Profile, 0x0009);
  EXPECT_EQ(disc.Status, 0);
  EXPECT_EQ(disc.EndAddress, 0u);
  EXPECT_EQ(disc.Capacity, 359847u);
  EXPECT_FALSE(disc.Erasable);

  Insert("w", "CD-RW");
  EXPECT_EQ(dev.GetDiscType(), dtCDRW);
  EXPECT_TRUE(dev.IsRewritable());
  EXPECT_EQ(dev.DiscStatus(), 0);

  Insert("w", "DVD-R");
  EXPECT_EQ(dev.GetDiscType(), dtDVDR);
  EXPECT_EQ(dev.UsedBlocks(), 0u);
  EXPECT_EQ(dev.FreeBlocks(), 2298496u);
  EXPECT_EQ(dev.DiscCapacity(), 2298496u);

  Insert("w", "DVD+R-DL");
  EXPECT_EQ(dev.GetDiscType(), dtDVDPlusRDL);
  EXPECT_EQ(dev.FreeBlocks(), 4173824u);

  Insert("w", "DVD-RAM");
  EXPECT_EQ(dev.GetDiscType(), dtDVDRAM);
  EXPECT_TRUE(dev.IsRewritable());
}

TEST_F(VDriveTest, NoMediumLeavesTheCallersRecord) {
  AddDrive("w", "dvd-writer");
  std::string err;
  ASSERT_TRUE(vrec::EjectMedium("w", err)) << err;
  ov::SetTimeScale(0.001);
  TSCSIDevice &dev = Select("w");
  TDisc disc;
  disc.Capacity = 1234;
  disc.MediumName = "kept";
  dev.GetDiscInfo(disc);
  EXPECT_EQ(disc.Capacity, 1234u);
  EXPECT_EQ(disc.MediumName, "kept");
  EXPECT_FALSE(dev.Disc.Ready);
  EXPECT_EQ(dev.ErrorText.rfind("NOT READY (MEDIUM NOT PRESENT", 0), 0u) << dev.ErrorText;
  EXPECT_EQ(dev.GetDiscType(), dtUnknown);
  EXPECT_EQ(dev.DiscStatus(), -1);
  EXPECT_EQ(dev.SessionCount(), 0);
  EXPECT_EQ(dev.UsedBlocks(), 0u);
  EXPECT_EQ(dev.FreeBlocks(), 0u);
}

TEST_F(VDriveTest, AppendableAndClosedCD) {
  AddDrive("w", "dvd-writer");
  const uint32_t n = 5000;
  Insert("w", "CD-R", 0, MakeImage(n, n));
  TSCSIDevice &dev = Select("w");
  EXPECT_EQ(dev.DiscStatus(), 1);
  EXPECT_EQ(dev.SessionCount(), 1);
  EXPECT_EQ(dev.ReadISOVolumeSize(), n);
  // Used: the track with its run-out. Free: after the lead-out, the next
  // lead-in and pre-gap.
  EXPECT_EQ(dev.UsedBlocks(), n + 2);
  EXPECT_EQ(dev.FreeBlocks(), 359847u - (n + 2 + 11400));

  // Closing the disc changes nothing that is used.
  Setting("w", "finalized", "1");
  EXPECT_EQ(dev.DiscStatus(), 2);
  EXPECT_EQ(dev.SessionCount(), 1);
  EXPECT_EQ(dev.FreeBlocks(), 0u);
  EXPECT_EQ(dev.UsedBlocks(), n + 2);
}

TEST_F(VDriveTest, OverwritableMediaCountTheFileSystem) {
  AddDrive("w", "dvd-writer");
  const uint32_t isoSize = 12345;
  Insert("w", "DVD+RW", 0, MakeImage(64, isoSize), true);
  TSCSIDevice &dev = Select("w");
  EXPECT_EQ(dev.GetDiscType(), dtDVDPlusRW);
  EXPECT_EQ(dev.UsedBlocks(), isoSize);
  EXPECT_EQ(dev.FreeBlocks(), 2295104u - isoSize);
  EXPECT_EQ(dev.DiscCapacity(), 2295104u);

  // Without "CD001" at 16..32 the disc counts as empty.
  Insert("w", "DVD+RW", 0, "", true);
  EXPECT_EQ(dev.UsedBlocks(), 0u);
  EXPECT_EQ(dev.FreeBlocks(), 2295104u);
}

struct TWriteParamsCase {
  const char *Media;
  bool Formatted;
  uint8_t Code;
  uint8_t B2, B3, B4, B5;
  uint32_t Packet;
};

TEST_F(VDriveTest, WriteParametersPagePerMedium) {
  AddDrive("w", "dvd-writer");
  const TWriteParamsCase cases[] = {
      {"CD-R", false, dtCDR, 0x01, 0xC4, 0x08, 0x00, 0},
      {"CD-RW", false, dtCDRW, 0x01, 0xC4, 0x08, 0x00, 0},
      {"DVD-R", false, dtDVDR, 0x20, 0xE5, 0x08, 0x10, 16},
      {"DVD-RW", true, dtDVDRWRestricted, 0x20, 0xC5, 0x08, 0x10, 0},
      {"DVD-RW", false, dtDVDRWSequential, 0x20, 0xC5, 0x08, 0x10, 0},
      {"DVD+RW", true, dtDVDPlusRW, 0x22, 0x04, 0x08, 0x10, 0},
      {"DVD+R", false, dtDVDPlusR, 0x22, 0xC4, 0x08, 0x00, 16},
      {"DVD+R-DL", false, dtDVDPlusRDL, 0x22, 0x04, 0x08, 0x00, 0},
  };
  TSCSIDevice *dev = nullptr;
  for (const TWriteParamsCase &c : cases) {
    SCOPED_TRACE(std::string(c.Media) + (c.Formatted ? " formatted" : ""));
    Insert("w", c.Media, 0, "", c.Formatted);
    if (!dev)
      dev = &Select("w");
    EXPECT_EQ(dev->GetDiscType(), c.Code);
    dev->FinalizeDisc = false;
    dev->TestUnitReady(5000);  // takes the medium change's unit attention before the logged sequence
    ClearLog("w");
    ASSERT_TRUE(dev->SetWriteParameters(false, false, c.Code, false)) << dev->ErrorText;
    const std::vector<std::string> cdbs = LoggedCdbs("w");
    ASSERT_EQ(cdbs.size(), 2u);
    EXPECT_EQ(cdbs[0], "5A000500000000020000");  // MODE SENSE (10), page 05h, 512 bytes
    EXPECT_EQ(cdbs[1], "55100000000000003C00");  // MODE SELECT (10), PF, 60 bytes
    uint8_t buf[512];
    ASSERT_TRUE(dev->ModeSense10(0x05, false, buf, sizeof buf));
    const uint8_t *p = buf + 8;
    EXPECT_EQ(p[0] & 0x3F, 0x05);
    EXPECT_EQ(p[1], 0x32);
    EXPECT_EQ(p[2], c.B2);
    EXPECT_EQ(p[3], c.B3);
    EXPECT_EQ(p[4], c.B4);
    EXPECT_EQ(p[5], c.B5);
    EXPECT_EQ((uint32_t(p[10]) << 24) | (p[11] << 16) | (p[12] << 8) | p[13], c.Packet);
    EXPECT_EQ((p[14] << 8) | p[15], 150);
    if (c.Code == dtDVDPlusRDL) {
      ASSERT_TRUE(dev->SetWriteParameters(false, false, c.Code, true));
      ASSERT_TRUE(dev->ModeSense10(0x05, false, buf, sizeof buf));
      EXPECT_EQ(p[3], 0xC4);
    }
  }
  // DVD-RAM takes no write parameters at all.
  Insert("w", "DVD-RAM");
  ClearLog("w");
  EXPECT_TRUE(dev->SetWriteParameters(true, true, dtDVDRAM, false));
  EXPECT_TRUE(LoggedCdbs("w").empty());
}

TEST_F(VDriveTest, WriteParametersTestWriteAndUnderrun) {
  AddDrive("w", "dvd-writer");
  AddDrive("plain", "cdrw-writer");
  Insert("w", "CD-R");
  Insert("plain", "CD-R");
  Setting("plain", "test_write", "0");
  Setting("plain", "underrun_protection", "0");
  uint8_t buf[512];
  const uint8_t *p = buf + 8;

  TSCSIDevice &dev = Select("w");
  ASSERT_TRUE(dev.SetWriteParameters(true, true, dtCDR, false));
  ASSERT_TRUE(dev.ModeSense10(0x05, false, buf, sizeof buf));
  EXPECT_EQ(p[2], 0x51);  // BUFE, test write, track-at-once
  EXPECT_EQ(p[3], 0x04);  // a test write leaves no next session

  dev.FinalizeDisc = true;
  ASSERT_TRUE(dev.SetWriteParameters(false, false, dtCDR, false));
  ASSERT_TRUE(dev.ModeSense10(0x05, false, buf, sizeof buf));
  EXPECT_EQ(p[2], 0x01);
  EXPECT_EQ(p[3], 0x04);
  dev.FinalizeDisc = false;

  Select("plain");
  ASSERT_FALSE(dev.HasCapability(capTestWrite));
  ASSERT_FALSE(dev.HasCapability(capUnderrunProtection));
  ASSERT_TRUE(dev.SetWriteParameters(true, true, dtCDR, false));
  ASSERT_TRUE(dev.ModeSense10(0x05, false, buf, sizeof buf));
  EXPECT_EQ(p[2] & 0x50, 0);  // neither test write nor BUFE reaches the drive

  // DVD-RW: the test-write bit is overwritten before the page is sent.
  Insert("w", "DVD-RW");
  Select("w");
  ASSERT_TRUE(dev.SetWriteParameters(true, false, dtDVDRWSequential, false)) << dev.ErrorText;
  ASSERT_TRUE(dev.ModeSense10(0x05, false, buf, sizeof buf));
  EXPECT_EQ(p[2], 0x20);
}

TEST_F(VDriveTest, BufferCapacityAndReads) {
  AddDrive("w", "dvd-writer");
  Setting("w", "buffer_kb", "2048");
  Insert("w", "DVD-ROM", 0, MakeImage(40, 40));
  TSCSIDevice &dev = Select("w");
  uint32_t size = 0, freeBytes = 0;
  ASSERT_TRUE(dev.ReadBufferCapacity(size, freeBytes));
  EXPECT_EQ(size, 2048u * 1024u);
  EXPECT_EQ(dev.DeviceBufferSize.load(), size);
  EXPECT_EQ(dev.DeviceFreeBufferSize.load(), freeBytes);
  uint8_t block[4096];
  ASSERT_TRUE(dev.Read10(16, 2, sizeof block, block));
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(block + 1), 5), "CD001");
  EXPECT_EQ(block[2048], 255);
  EXPECT_EQ(dev.ReadISOVolumeSize(), 40u);
  uint32_t last = 0, len = 0;
  ASSERT_TRUE(dev.ReadCapacity(last, len));
  EXPECT_EQ(last, 39u);
  EXPECT_EQ(len, 2048u);
  EXPECT_FALSE(dev.Read10(40, 1, 2048, block));
  EXPECT_EQ(dev.ErrorText, "ILLEGAL REQUEST (LOGICAL BLOCK ADDRESS OUT OF RANGE)");
}
