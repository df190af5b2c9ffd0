// Identity, capabilities and configuration answers of the virtual recorder,
// checked against the layouts of MMC and the captures of real drives.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <algorithm>
#include <cstdio>

using namespace vrectest;

namespace {
// Locates a mode page in a MODE SENSE(10) answer (8-byte header, no block descriptor).
std::vector<uint8_t> PageOf(const TReply &r) {
  const size_t len = r.Data.at(9) + 2u;
  return std::vector<uint8_t>(r.Data.begin() + 8, r.Data.begin() + 8 + long(len));
}
}  // namespace

TEST_F(VrecTest, CapabilitiesPageOfAWriterHasTheCapturedShape) {
  Drive("w", "dvd-writer", "DVD+R");
  const uint8_t t = Target("w");
  TReply r = Cmd({0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 255, 0}, 1, 255, {}, t);  // default values
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(Be16(r.Data, 0) + 2u, 8u + 76u);
  EXPECT_EQ(Be16(r.Data, 6), 0);  // no block descriptor
  std::vector<uint8_t> p = PageOf(r);
  ASSERT_EQ(p.size(), 76u);
  EXPECT_EQ(p[0], 0x2A);
  EXPECT_EQ(p[1], 0x4A);  // like the captured writer: 74 bytes, padded
  EXPECT_EQ(p[2], 0x3F);  // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R, DVD-RAM
  EXPECT_EQ(p[3], 0x37);  // writes CD-R, CD-RW, test write, DVD-R, DVD-RAM
  EXPECT_EQ(p[4], 0xF1);
  EXPECT_EQ(p[5], 0x73);
  EXPECT_EQ(p[6], 0x29);
  EXPECT_EQ(p[7], 0x23);
  EXPECT_EQ(Be16(p, 8), 22160);
  EXPECT_EQ(Be16(p, 12), 2048);
  EXPECT_EQ(Be16(p, 22), 1);
  const uint16_t n = Be16(p, 30);
  ASSERT_EQ(n, 5);  // DVD+R steps: 16x 12x 8x 6x 4x
  EXPECT_EQ(Be16(p, 32 + 2), 22160);
  EXPECT_EQ(Be16(p, 32 + 4 * 4 + 2), 5540);
  EXPECT_EQ(Be16(p, 18), 22160);
  EXPECT_EQ(Be16(p, 28), 22160);
  for (size_t i = 32 + 4 * n; i < p.size(); ++i)
    EXPECT_EQ(p[i], 0) << i;

  // SET CD SPEED takes the largest step not above the request; current values show it.
  ASSERT_TRUE(Cmd({0xBB, 0, 0xFF, 0xFF, 0x2B, 0x00, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // 11008 KB/s
  p = PageOf(Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t));
  EXPECT_EQ(Be16(p, 28), 8310);
  EXPECT_EQ(Be16(p, 20), 8310);
  // Below the slowest step: the slowest.
  ASSERT_TRUE(Cmd({0xBB, 0, 0xFF, 0xFF, 0x00, 0x10, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  p = PageOf(Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t));
  EXPECT_EQ(Be16(p, 28), 5540);
  // SET STREAMING: 16620 KB/s as write size/time picks 12x.
  std::vector<uint8_t> perf(28, 0);
  perf[11] = 0xFF;
  perf[20] = 0x00, perf[21] = 0x00, perf[22] = 0x40, perf[23] = 0xEC;  // 16620 KB
  perf[26] = 0x03, perf[27] = 0xE8;                                    // per 1000 ms
  ASSERT_TRUE(Cmd({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, 2, 0, perf, t).Good());
  p = PageOf(Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t));
  EXPECT_EQ(Be16(p, 28), 16620);
  // With a CD in the drive the CD steps apply; FFFFh means the maximum.
  std::string err;
  Insert("w", "CD-RW", 0, "", false);
  ASSERT_TRUE(Cmd({0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  p = PageOf(Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t));
  EXPECT_EQ(Be16(p, 30), 4);
  EXPECT_EQ(Be16(p, 28), 4234);
  EXPECT_EQ(Be16(p, 8), 7056);
  // Nothing in the page can be changed; saved values are not supported.
  p = PageOf(Cmd({0x5A, 0, 0x6A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t));
  EXPECT_EQ(p[3], 0);
  EXPECT_EQ(Cmd({0x5A, 0, 0xEA, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t).Asc, 0x39);
  EXPECT_EQ(Cmd({0x5A, 0, 0x1C, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t).Asc, 0x24);
}

TEST_F(VrecTest, ReaderWritesNothing) {
  Drive("r", "dvd-reader", "CD-R");
  const uint8_t t = Target("r");
  std::vector<uint8_t> p = PageOf(Cmd({0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 255, 0}, 1, 255, {}, t));
  EXPECT_EQ(p[3], 0);
  EXPECT_EQ(Be16(p, 18), 0);  // no write speed at all
  EXPECT_EQ(Be16(p, 30), 0);
  EXPECT_EQ(p[7], 0);
  EXPECT_EQ(Cmd({0x5A, 0, 0x05, 0, 0, 0, 0, 0, 255, 0}, 1, 255, {}, t).Asc, 0x24);  // no write parameters page
  for (uint8_t op : {0x2A, 0x5B, 0xA1, 0x04, 0x53, 0x54}) {
    TReply r = Cmd({op, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t);
    EXPECT_EQ(r.Key, 5) << int(op);
    EXPECT_EQ(r.Asc, 0x20) << int(op);
  }
  TReply cfg = Cmd({0x46, 2, 0, 0x2F, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be32(cfg.Data, 0), 4u);  // the DVD-R write feature does not exist
}

TEST_F(VrecTest, WriteParametersPageCheckedAgainstTheMedium) {
  Drive("w", "dvd-writer", "DVD+RW", 0, "", true);
  const uint8_t t = Target("w");
  // Default values: the captured page of a DVD writer.
  TReply r = Cmd({0x5A, 0, 0x85, 0, 0, 0, 0, 0x02, 0x00, 0}, 1, 512, {}, t);
  ASSERT_TRUE(r.Good());
  std::vector<uint8_t> p = PageOf(r);
  const std::vector<uint8_t> captured = {0x05, 0x32, 0x60, 0xC7, 0x08, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x96};
  ASSERT_EQ(p.size(), 52u);
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 16), captured);
  // The packet-writing page a formatter sent to real drives (Mode 2 blocks, packets of 32)
  // is refused on a DVD with 05/26/00.
  std::vector<uint8_t> pkt(52, 0);
  pkt[0] = 0x05, pkt[1] = 0x32, pkt[2] = 0x20, pkt[3] = 0x27, pkt[4] = 0x0A, pkt[8] = 0x20, pkt[13] = 32, pkt[15] = 150;
  r = ModeSelect05(pkt, t);
  EXPECT_EQ(r.Key, 5);
  EXPECT_EQ(r.Asc, 0x26);
  EXPECT_EQ(SetWriteType(2, true, 3, t).Asc, 0x26);  // no test write on DVD+RW
  EXPECT_TRUE(SetWriteType(2, false, 3, t).Good());
  EXPECT_EQ(SetWriteType(3, false, 3, t).Asc, 0x26);  // raw is for CD
  p = PageOf(Cmd({0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0x00, 0}, 1, 512, {}, t));
  EXPECT_EQ(p[2], 0x02);  // the accepted page is the current one

  // CD-R: track-at-once, session-at-once and raw; the same packet page is fine there.
  std::string err;
  Insert("w", "CD-R", 0, "", false);
  EXPECT_TRUE(SetWriteType(1, false, 3, t).Good());
  EXPECT_TRUE(SetWriteType(2, false, 3, t).Good());
  EXPECT_TRUE(SetWriteType(3, false, 3, t).Good());
  EXPECT_TRUE(ModeSelect05(pkt, t).Good());
  EXPECT_EQ(SetWriteType(1, false, 2, t).Asc, 0x26);  // multisession 10b is reserved
  // DVD-R: incremental and disc-at-once only.
  Insert("w", "DVD-R", 0, "", false);
  EXPECT_EQ(SetWriteType(1, false, 3, t).Asc, 0x26);
  EXPECT_TRUE(SetWriteType(2, false, 3, t).Good());
  EXPECT_TRUE(SetWriteType(0, true, 3, t).Good());
  // A short parameter list.
  EXPECT_EQ(Cmd({0x55, 0x10, 0, 0, 0, 0, 0, 0, 4, 0}, 2, 0, {0, 0, 0, 0}, t).Asc, 0x1A);
}

TEST_F(VrecTest, GetConfigurationProfilesAndFeatures) {
  Drive("w", "dvd-writer", "DVD+RW", 0, "", true);
  const uint8_t t = Target("w");
  TReply r = Cmd({0x46, 0, 0, 0, 0, 0, 0, 0x04, 0x00, 0}, 1, 1024, {}, t);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(Be16(r.Data, 6), 0x001A);
  ASSERT_EQ(Be16(r.Data, 8), 0x0000);  // the profile list comes first
  const size_t n = r.Data[11] / 4;
  std::vector<uint16_t> profiles;
  int current = -1;
  for (size_t i = 0; i < n; ++i) {
    profiles.push_back(Be16(r.Data, 12 + 4 * i));
    if (r.Data[12 + 4 * i + 2] & 1)
      current = profiles.back();
  }
  EXPECT_EQ(current, 0x1A);
  const std::vector<uint16_t> want = {0x2B, 0x1B, 0x1A, 0x14, 0x13, 0x12, 0x11, 0x10, 0x0A, 0x09, 0x08};
  EXPECT_EQ(profiles, want);
  // The length field counts every byte after it; features follow in ascending order.
  const size_t total = Be32(r.Data, 0) + 4;
  ASSERT_LT(total, 1024u);
  EXPECT_EQ(r.Data[total], 0xEE);
  uint16_t prev = 0;
  for (size_t at = 8; at < total; at += 4 + r.Data[at + 3]) {
    if (at > 8) {
      EXPECT_GT(Be16(r.Data, at), prev);
    }
    prev = Be16(r.Data, at);
  }
  // One feature (RT = 2): 002Ah with its write bit, current with a DVD+RW.
  r = Cmd({0x46, 2, 0, 0x2A, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(r.Data, 8), 0x002A);
  EXPECT_EQ(r.Data[10] & 1, 1);
  EXPECT_EQ(r.Data[12], 1);
  r = Cmd({0x46, 2, 0, 0x3B, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(r.Data, 8), 0x003B);
  EXPECT_EQ(r.Data[10] & 1, 0);
  EXPECT_EQ(r.Data[12], 1);
  r = Cmd({0x46, 2, 0, 0x2F, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(r.Data, 8), 0x002F);
  EXPECT_EQ(r.Data[12], 0x46);  // BUF, test write, DVD-RW
  // RT = 1: only current features.
  r = Cmd({0x46, 1, 0, 0, 0, 0, 0, 0x04, 0x00, 0}, 1, 1024, {}, t);
  for (size_t at = 8; at < Be32(r.Data, 0) + 4; at += 4 + r.Data[at + 3])
    EXPECT_EQ(r.Data[at + 2] & 1, 1) << Be16(r.Data, at);
  // A drive without a medium has no current profile.
  std::string err;
  ASSERT_TRUE(vrec::EjectMedium("w", err));
  r = Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_TRUE(r.Good());
  EXPECT_EQ(Be16(r.Data, 6), 0);
}

TEST_F(VrecTest, AtipOfCdMedia) {
  Drive("r", "dvd-writer", "CD-R");
  Drive("rw", "dvd-writer", "CD-RW");
  Drive("d", "dvd-writer", "DVD-R");
  TReply a = Toc(4, true, 0, Target("r"));
  ASSERT_TRUE(a.Good());
  EXPECT_EQ(Be16(a.Data, 0), 26);
  EXPECT_EQ(a.Data[6] & 0xC0, 0x80);  // valid disc type, not rewritable
  EXPECT_EQ(std::vector<uint8_t>(a.Data.begin() + 8, a.Data.begin() + 11), (std::vector<uint8_t>{97, 15, 17}));
  EXPECT_EQ(std::vector<uint8_t>(a.Data.begin() + 12, a.Data.begin() + 15), (std::vector<uint8_t>{79, 59, 74}));
  a = Toc(4, true, 0, Target("rw"));
  EXPECT_EQ(a.Data[6] & 0xC0, 0xC0);
  EXPECT_EQ(std::vector<uint8_t>(a.Data.begin() + 8, a.Data.begin() + 11), (std::vector<uint8_t>{97, 15, 35}));
  EXPECT_EQ(Toc(4, true, 0, Target("d")).Asc, 0x24);
  // A 74-minute disc: lead-out 74:45:00.
  std::string err;
  Insert("r", "CD-R", 336223, "", false);
  a = Toc(4, true, 0, Target("r"));
  EXPECT_EQ(std::vector<uint8_t>(a.Data.begin() + 12, a.Data.begin() + 15), (std::vector<uint8_t>{74, 45, 0}));
  TReply di = DiscInfo(Target("r"));
  EXPECT_EQ(MsfToLba(di.Data, 21), 336225);  // last possible lead-out
}

TEST_F(VrecTest, MechanismAndReadiness) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  EXPECT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  ASSERT_TRUE(Cmd({0x1E, 0, 0, 0, 1, 0}, 0, 0, {}, t).Good());  // prevent
  std::vector<uint8_t> p = PageOf(Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 1, 128, {}, t));
  EXPECT_EQ(p[6] & 0x02, 0x02);
  TReply r = Cmd({0x1B, 0, 0, 0, 2, 0}, 0, 0, {}, t);  // eject
  EXPECT_EQ(r.Key, 5);
  EXPECT_EQ(r.Asc, 0x53);
  EXPECT_EQ(r.Ascq, 0x02);
  ASSERT_TRUE(Cmd({0x1E, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // allow
  ASSERT_TRUE(Cmd({0x1B, 0, 0, 0, 2, 0}, 0, 0, {}, t).Good());
  r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Key, 2);
  EXPECT_EQ(r.Asc, 0x3A);
  EXPECT_EQ(r.Ascq, 0x02);  // tray open
  EXPECT_EQ(DiscInfo(t).Asc, 0x3A);
  TReply rs = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
  EXPECT_TRUE(rs.Good());
  EXPECT_EQ(rs.Data[0], 0x70);
  EXPECT_EQ(rs.Data[12], 0x3A);
  ASSERT_TRUE(Cmd({0x1B, 0, 0, 0, 3, 0}, 0, 0, {}, t).Good());  // load: the same disc is back
  r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);  // the medium may have changed: said once
  EXPECT_EQ(r.Key, 6);
  EXPECT_EQ(r.Asc, 0x28);
  EXPECT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  rs = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
  EXPECT_EQ(rs.Data[2], 0);
  EXPECT_EQ(rs.Data[12], 0);
  EXPECT_TRUE(Cmd({0x01, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_TRUE(Cmd({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_TRUE(Cmd({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  TReply bc = Cmd({0x5C, 0, 0, 0, 0, 0, 0, 0, 32, 0}, 1, 32, {}, t);
  EXPECT_EQ(Be16(bc.Data, 0), 10);
  EXPECT_EQ(Be32(bc.Data, 4), 2048u * 1024u);
  EXPECT_EQ(Be32(bc.Data, 8), 2048u * 1024u);
  // Taking the medium out: not present, tray closed after the drive closes it.
  std::string err;
  ASSERT_TRUE(vrec::EjectMedium("w", err));
  EXPECT_EQ(Cmd({0x1B, 0, 0, 0, 3, 0}, 0, 0, {}, t).Key, 6);
  ASSERT_TRUE(Cmd({0x1B, 0, 0, 0, 3, 0}, 0, 0, {}, t).Good());
  r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Asc, 0x3A);
  EXPECT_EQ(r.Ascq, 0x01);
}

TEST_F(VrecTest, ReadOnlyMediaFromAnImage) {
  const std::string img = dir_ + "/disc.iso";
  {
    std::vector<char> data(2048 * 40 + 100, 0);
    for (size_t i = 0; i < data.size(); ++i)
      data[i] = char(i / 2048 + 1);
    FILE *f = std::fopen(img.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
  }
  Drive("w", "cdrw-writer", "CD-ROM", 0, img);
  const uint8_t t = Target("w");
  TReply cap = Cmd({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 8, {}, t);
  EXPECT_EQ(Be32(cap.Data, 0), 40u);  // 41 blocks, the last one partial
  TReply rd = Read(39, 2, t);
  ASSERT_TRUE(rd.Good());
  EXPECT_EQ(rd.Data[0], 40);
  EXPECT_EQ(rd.Data[2048], 41);
  EXPECT_EQ(rd.Data[2048 + 100], 0);  // the partial block reads as zeros after the file
  EXPECT_EQ(Read(41, 1, t).Asc, 0x21);
  TReply toc = Toc(0, false, 0, t);
  ASSERT_TRUE(toc.Good());
  EXPECT_EQ(Be32(toc.Data, 4 + 8 + 4), 41u);
  EXPECT_EQ(Write(0, 1, 0, t).Asc, 0x30);
  EXPECT_EQ(DiscInfo(t).Data[2] & 3, 2);
  TReply cfg = Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(cfg.Data, 6), 0x0008);
  // A DVD+R is beyond a CD writer.
  std::string err;
  Insert("w", "DVD+R", 0, "", false);
  TReply r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Key, 2);
  EXPECT_EQ(r.Asc, 0x30);
}

TEST_F(VrecTest, AnswersRespectTheAllocationLength) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  TReply r = Cmd({0x51, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 1, 56, {}, t);
  ASSERT_TRUE(r.Good());
  EXPECT_EQ(Be16(r.Data, 0), 32);  // the full length is announced
  EXPECT_EQ(r.Data[7], 0x00);
  EXPECT_EQ(r.Data[8], 0xEE);  // but only 8 bytes are sent
  r = Cmd({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 1, 64, {}, t);
  EXPECT_GT(Be32(r.Data, 0), 8u);
  EXPECT_EQ(r.Data[8], 0xEE);
  r = Cmd({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 16, 0}, 1, 128, {}, t);
  EXPECT_EQ(r.Data[8], 0x2A);
  EXPECT_EQ(r.Data[16], 0xEE);
  char name[2];
  EXPECT_EQ(lib_->DeviceName(0, t, 0, name, sizeof name), 1);
  EXPECT_STREQ(name, "w");
}

TEST_F(VrecTest, TrackInformationByAddressAndSession) {
  Drive("w", "dvd-writer", "DVD+R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(Write(0, 64, 1, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  TReply byLba = TrackInfo(40, t, 0);
  ASSERT_TRUE(byLba.Good());
  EXPECT_EQ(byLba.Data[2], 1);
  EXPECT_EQ(byLba.Data[7] & 2, 2);  // last recorded address valid on DVD
  EXPECT_EQ(Be32(byLba.Data, 28), 63u);
  TReply bySession = TrackInfo(2, t, 2);
  ASSERT_TRUE(bySession.Good());
  EXPECT_EQ(bySession.Data[2], 2);
  EXPECT_EQ(Be32(bySession.Data, 8), 64u + 2048u);
  EXPECT_EQ(TrackInfo(3, t, 1).Asc, 0x24);
  EXPECT_EQ(TrackInfo(0, t, 1).Asc, 0x24);
}

TEST_F(VrecTest, DvdRamIsRandomAccess) {
  Drive("w", "dvd-writer", "DVD-RAM");
  const uint8_t t = Target("w");
  TReply cfg = Cmd({0x46, 2, 0, 0x20, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(cfg.Data, 6), 0x0012);
  EXPECT_EQ(cfg.Data[10] & 1, 1);  // random writable is current
  EXPECT_EQ(Be32(cfg.Data, 12), 2236703u);
  EXPECT_EQ(DiscInfo(t).Data[2] & 0x13, 0x13);
  ASSERT_TRUE(Write(777, 3, 4, t).Good());
  EXPECT_EQ(Read(778, 1, t).Data[100], 4);
  TReply fc = Cmd({0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0}, 1, 248, {}, t);
  EXPECT_EQ(Be32(fc.Data, 12), 2236704u);
  EXPECT_EQ(Be32(fc.Data, 16), 0x00000800u);  // format type 0, block length 2048
  const std::vector<uint8_t> full = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20, 0x00, 0x00, 0x08, 0x00};
  ASSERT_TRUE(Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 0, full, t).Good());
  EXPECT_EQ(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Ascq, 0x04);
  EXPECT_EQ(Cmd({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Asc, 0x04);  // busy formatting
}
