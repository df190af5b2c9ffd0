// Media behaviour of the virtual recorder through raw SRBs: multisession
// addresses, the write rules of each medium, and the shapes of the answers
// against captures from real drives.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <cstdlib>
#include <fstream>

using namespace vrectest;

TEST_F(VrecTest, CdrTwoSessionsSecondStartsAfterLeadOutAndLeadIn) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 300, 1, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  // 300 blocks + 2 run-out blocks, then lead-out 6750, lead-in 4500, pre-gap 150.
  TReply ti = TrackInfo(2, t);
  ASSERT_TRUE(ti.Good());
  EXPECT_EQ(Be32(ti.Data, 8), 302u + 11400u);
  EXPECT_EQ(Be32(ti.Data, 12), 302u + 11400u);
  EXPECT_EQ(Be32(TrackInfo(1, t).Data, 24), 302u);
  EXPECT_EQ(ti.Data[7] & 1, 1);
  // Session 1 is readable, the gap is not.
  EXPECT_TRUE(Read(299, 1, t).Good());
  TReply gap = Read(300, 1, t);
  EXPECT_EQ(gap.Key, 5);
  EXPECT_EQ(gap.Asc, 0x21);
  ASSERT_TRUE(Write(11702, 50, 2, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  TReply toc1 = Toc(1, false, 0, t);
  ASSERT_TRUE(toc1.Good());
  EXPECT_EQ(Be16(toc1.Data, 0), 10);
  EXPECT_EQ(toc1.Data[2], 1);
  EXPECT_EQ(toc1.Data[3], 2);  // last complete session
  EXPECT_EQ(toc1.Data[5], 0x14);
  EXPECT_EQ(toc1.Data[6], 2);  // its first track
  EXPECT_EQ(Be32(toc1.Data, 8), 11702u);
  TReply msf = Toc(1, true, 0, t);
  EXPECT_EQ(MsfToLba(msf.Data, 9), 11702);
  ti = TrackInfo(2, t);
  EXPECT_EQ(Be32(ti.Data, 8), 11702u);
  EXPECT_EQ(Be32(ti.Data, 24), 300u);  // a short track is padded to the 300-block minimum
  // A third session comes 6,900 blocks after the second.
  ti = TrackInfo(3, t);
  EXPECT_EQ(Be32(ti.Data, 8), 12002u + 6900u);
  TReply toc0 = Toc(0, false, 0, t);
  ASSERT_TRUE(toc0.Good());
  EXPECT_EQ(toc0.Data[2], 1);
  EXPECT_EQ(toc0.Data[3], 2);
  EXPECT_EQ(Be16(toc0.Data, 0), 2 + 3 * 8);
  EXPECT_EQ(toc0.Data[4 + 16 + 2], 0xAA);
  EXPECT_EQ(Be32(toc0.Data, 4 + 16 + 4), 12002u);  // lead-out of the last complete session
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x1F, 0x01);  // appendable, last session empty, not erasable
  EXPECT_EQ(di.Data[4], 3);
  EXPECT_EQ(di.Data[5], 3);
  EXPECT_EQ(di.Data[6], 3);
  TReply rd = Read(11751, 1, t);
  ASSERT_TRUE(rd.Good());
  EXPECT_EQ(rd.Data[0], uint8_t(11751));
  EXPECT_EQ(rd.Data[100], 2);
  EXPECT_EQ(Read(11752, 1, t).Asc, 0x21);  // padding and run-out hold no data
}

TEST_F(VrecTest, CdrFinalisesWithoutMultisessionAndTrackInfoShape) {
  Drive("w", "cdrw-writer", "CD-R");
  const uint8_t t = Target("w");
  // Blank CD-R: one invisible blank track over the whole capacity.
  TReply ti = TrackInfo(255, t);
  ASSERT_TRUE(ti.Good());
  EXPECT_EQ(Be16(ti.Data, 0), 0x22);
  EXPECT_EQ(ti.Data[2], 1);
  EXPECT_EQ(ti.Data[6] & 0x40, 0x40);  // blank
  EXPECT_EQ(ti.Data[7], 0x01);         // NWA valid
  EXPECT_EQ(Be32(ti.Data, 16), 359847u);
  EXPECT_EQ(Be32(ti.Data, 24), 359847u);
  EXPECT_EQ(Toc(0, false, 0, t).Asc, 0x24);  // no complete session yet
  ASSERT_TRUE(SetWriteType(1, false, 0, t).Good());
  ASSERT_TRUE(Write(0, 34175, 0, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  // The closed track has the shape of a real one: 00 22 01 01 00 04 01 00 ... size at 24,
  // the two run-out blocks included.
  ti = TrackInfo(1, t);
  const std::vector<uint8_t> want = {0x00, 0x22, 0x01, 0x01, 0x00, 0x04, 0x01, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(ti.Data.begin(), ti.Data.begin() + 8), want);
  EXPECT_EQ(Be32(ti.Data, 24), 34177u);
  EXPECT_EQ(Be32(ti.Data, 12), 0u);
  // Multisession 00b closes the disc: complete, nothing more can be written.
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x0F, 0x0E);
  EXPECT_EQ(Be32(di.Data, 20), 0xFFFFFFFFu);
  EXPECT_EQ(TrackInfo(255, t).Asc, 0x24);
  TReply w = Write(34177 + 11400, 1, 0, t);
  EXPECT_EQ(w.Asc, 0x21);
  EXPECT_EQ(w.Ascq, 0x02);
  TReply cap = Cmd({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 8, {}, t);
  EXPECT_EQ(Be32(cap.Data, 0), 34174u);  // the last block holding data
  EXPECT_EQ(Be32(cap.Data, 4), 2048u);
}

TEST_F(VrecTest, SequentialWriteRules) {
  Drive("w", "dvd-writer", "CD-R", 1000);
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  TReply r = Write(10, 1, 0, t);  // not the next writable address
  EXPECT_EQ(r.Status, SS_ERR);
  EXPECT_EQ(r.Key, 5);
  EXPECT_EQ(r.Asc, 0x21);
  EXPECT_EQ(r.Ascq, 0x02);
  ASSERT_TRUE(Write(0, 990, 0, t).Good());
  r = Write(990, 20, 0, t);  // past the capacity
  EXPECT_EQ(r.Asc, 0x21);
  EXPECT_EQ(r.Ascq, 0x00);
  EXPECT_TRUE(Write(990, 10, 0, t).Good());
  // Session-at-once needs a cue sheet this drive never got.
  Drive("s", "dvd-writer", "CD-R");
  const uint8_t s = Target("s");
  ASSERT_TRUE(SetWriteType(2, false, 3, s).Good());
  EXPECT_EQ(Write(0, 1, 0, s).Asc, 0x2C);
  // A buffer shorter than the blocks is a host error, not a write.
  TReply shortBuf = Cmd({0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 2, 0, std::vector<uint8_t>(2048, 1), s);
  EXPECT_EQ(shortBuf.Status, SS_ERR);
  EXPECT_EQ(shortBuf.HaStat, 0x12);
}

TEST_F(VrecTest, TestWriteRecordsNothing) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, true, 3, t).Good());
  ASSERT_TRUE(Write(0, 27, 1, t).Good());
  ASSERT_TRUE(Write(27, 27, 1, t).Good());  // the simulated address moves on
  EXPECT_EQ(Write(100, 1, 1, t).Asc, 0x21);
  TReply ti = TrackInfo(1, t);
  EXPECT_EQ(Be32(ti.Data, 12), 0u);
  EXPECT_EQ(DiscInfo(t).Data[2] & 3, 0);  // still blank
  // A drive without test write refuses the page.
  std::string err;
  ASSERT_TRUE(vrec::SetSetting("w", "test_write", "0", err)) << err;
  EXPECT_EQ(SetWriteType(1, true, 3, t).Asc, 0x26);
}

TEST_F(VrecTest, DvdPlusRFourSessionsWithGaps) {
  Drive("w", "dvd-writer", "DVD+R");
  const uint8_t t = Target("w");
  uint32_t start = 0;
  std::vector<uint32_t> starts;
  for (int s = 0; s < 3; ++s) {
    starts.push_back(start);
    ASSERT_TRUE(Write(start, 100 + 16 * s, uint8_t(s), t).Good());
    ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, uint8_t(s + 1), 0, 0, 0, 0}, 0, 0, {}, t).Good());  // close track
    ASSERT_TRUE(Cmd({0x5B, 0, 2, 0, 0, 0xFF, 0, 0, 0, 0}, 0, 0, {}, t).Good());             // close session
    TReply ti = TrackInfo(uint32_t(s + 1), t);
    const uint32_t size = Be32(ti.Data, 24);
    EXPECT_EQ(size % 16, 0u);  // padded to whole ECC blocks
    start = Be32(ti.Data, 8) + size + 2048;
  }
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x0F, 0x01);  // appendable, last session empty
  EXPECT_EQ(di.Data[4], 4);
  EXPECT_EQ(di.Data[5], 4);
  EXPECT_EQ(di.Data[6], 4);
  TReply t4 = TrackInfo(4, t);
  EXPECT_EQ(Be32(t4.Data, 8), start);
  EXPECT_EQ(Be32(t4.Data, 12), start);
  EXPECT_EQ(Be32(t4.Data, 16), 2295104u - start);
  TReply toc = Toc(0, false, 0, t);
  EXPECT_EQ(toc.Data[3], 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Be32(toc.Data, 4 + 8 * i + 4), starts[size_t(i)]);
  EXPECT_EQ(Be32(toc.Data, 4 + 24 + 4), start - 2048);  // lead-out at the end of track 3
  TReply m = Toc(1, false, 0, t);
  EXPECT_EQ(m.Data[3], 3);
  EXPECT_EQ(Be32(m.Data, 8), starts[2]);
  // Finalising (close function 5) completes the disc.
  ASSERT_TRUE(Write(start, 16, 9, t).Good());
  ASSERT_TRUE(Cmd({0x5B, 0, 5, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_EQ(DiscInfo(t).Data[2] & 0x03, 2);
}

TEST_F(VrecTest, DvdMinusRReservedTrack) {
  Drive("w", "dvd-writer", "DVD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(Cmd({0x53, 0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0, 0, 0}, 0, 0, {}, t).Good());  // 1000 -> 1008 blocks
  TReply t1 = TrackInfo(1, t);
  EXPECT_EQ(t1.Data[6] & 0xC0, 0xC0);  // reserved, blank
  EXPECT_EQ(Be32(t1.Data, 24), 1008u);
  TReply t2 = TrackInfo(2, t);
  EXPECT_EQ(Be32(t2.Data, 8), 1008u);
  ASSERT_TRUE(Write(0, 1000, 3, t).Good());
  EXPECT_EQ(Write(1000, 16, 3, t).Asc, 0x21);  // past the reserved size
  ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, 2, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // empty invisible track: nothing to do
  ASSERT_TRUE(CloseSession(t).Good());  // page 05h of the drive: multisession 11b
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x03, 1);
  EXPECT_EQ(Be32(TrackInfo(2, t).Data, 8), 1008u + 16384u);
  // The time stamp is taken in DVD-R only.
  std::vector<uint8_t> ts = {0, 0x14, 0, 0, 0, 0, 0, 0};
  for (char ch : std::string("20261207213000"))
    ts.push_back(uint8_t(ch));
  EXPECT_TRUE(Cmd({0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, 2, 0, ts, t).Good());
}
