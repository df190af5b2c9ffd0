// Where the recorder behaves like a real drive in the ways that can hurt a
// burner: the read cache that hides what the medium holds, the track a write
// error leaves damaged, a transport failure without sense data, and the
// progress a format reports.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace vrectest;

namespace {

constexpr uint8_t kFua = 0x08;

std::vector<uint8_t> Read10(uint32_t lba, uint16_t n, bool fua) {
  return {0x28, uint8_t(fua ? kFua : 0), uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
          0,    uint8_t(n >> 8),         uint8_t(n),          0};
}

std::vector<uint8_t> Read12(uint32_t lba, uint32_t n, bool fua) {
  return {0xA8,         uint8_t(fua ? kFua : 0), uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
          uint8_t(n >> 24), uint8_t(n >> 16),        uint8_t(n >> 8),    uint8_t(n),         0,                 0};
}

}  // namespace

class VrecRealDriveTest : public VrecTest {
protected:
  void SetUp() override {
    VrecTest::SetUp();
    setenv("SKARVO_VDRIVE_CLOCK", "0", 1);  // no buffer waits: the cache is what is looked at
  }
  // The first byte of block `lba` as a read of `cdb` returns it.
  int FirstByte(const std::vector<uint8_t> &cdb, uint32_t blocks, uint32_t lba, uint32_t from, uint8_t t) {
    const TReply r = Cmd(cdb, 1, blocks * 2048, {}, t);
    EXPECT_TRUE(r.Good()) << int(r.Key) << "/" << int(r.Asc);
    return r.Good() ? r.Data[size_t(lba - from) * 2048] : -1;
  }
};

TEST_F(VrecRealDriveTest, ReadsWithoutFuaOfJustWrittenBlocksComeFromTheCache) {
  for (const std::string media : {"DVD+R", "DVD+RW"}) {
    SCOPED_TRACE(media);
    const std::string name = media == "DVD+R" ? "r" : "rw";
    Drive(name, "dvd-writer", media, 0, "", media == "DVD+RW");
    std::string err;
    ASSERT_TRUE(vrec::SetSetting(name, "buffer_kb", "128", err)) << err;  // a cache of 64 blocks
    const uint8_t t = Target(name);
    ASSERT_TRUE(vrec::AddFault(name, "corrupt lba=20", err)) << err;
    ASSERT_TRUE(Write(0, 32, 7, t).Good());
    // The medium holds block 20 inverted; a plain read is answered with what was sent.
    EXPECT_EQ(FirstByte(Read10(16, 8, false), 8, 20, 16, t), 20);
    EXPECT_EQ(FirstByte(Read12(16, 8, false), 8, 20, 16, t), 20);
    EXPECT_EQ(FirstByte(Read10(16, 8, true), 8, 20, 16, t), uint8_t(~20));
    EXPECT_EQ(FirstByte(Read12(20, 1, true), 1, 20, 20, t), uint8_t(~20));
    EXPECT_EQ(FirstByte(Read10(16, 8, true), 8, 21, 16, t), 21) << "only the altered block differs";
    // A buffer's worth of later writes pushes the block out of the cache: the
    // medium shows through.
    ASSERT_TRUE(Write(32, 32, 7, t).Good());
    EXPECT_EQ(FirstByte(Read10(20, 1, false), 1, 20, 20, t), 20) << "64 blocks still cached";
    ASSERT_TRUE(Write(64, 32, 7, t).Good());
    EXPECT_EQ(FirstByte(Read10(20, 1, false), 1, 20, 20, t), uint8_t(~20));
    EXPECT_EQ(FirstByte(Read10(60, 4, false), 4, 60, 60, t), 60);
  }
  // Writing the block anew replaces what the fault altered; a medium change
  // empties the cache.
  Drive("ram", "dvd-writer", "DVD-RAM");
  const uint8_t r = Target("ram");
  std::string err;
  ASSERT_TRUE(vrec::AddFault("ram", "corrupt lba=3", err)) << err;
  ASSERT_TRUE(Write(0, 8, 1, r).Good());
  EXPECT_EQ(FirstByte(Read10(3, 1, false), 1, 3, 3, r), 3);
  EXPECT_EQ(FirstByte(Read10(3, 1, true), 1, 3, 3, r), uint8_t(~3));
  ASSERT_TRUE(Cmd({0x1B, 0, 0, 0, 0x02, 0}, 0, 0, {}, r).Good());  // eject
  ASSERT_TRUE(Cmd({0x1B, 0, 0, 0, 0x03, 0}, 0, 0, {}, r).Good());  // load
  Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, r);                           // the unit attention
  EXPECT_EQ(FirstByte(Read10(3, 1, false), 1, 3, 3, r), uint8_t(~3));
  ASSERT_TRUE(Write(0, 8, 1, r).Good());
  EXPECT_EQ(FirstByte(Read10(3, 1, true), 1, 3, 3, r), 3);
}

TEST_F(VrecRealDriveTest, AWriteErrorLeavesTheTrackDamagedUntilClosed) {
  for (const std::string media : {"DVD-R", "DVD+R", "CD-R"}) {
    SCOPED_TRACE(media);
    const std::string name = media == "DVD-R" ? "minus" : media == "DVD+R" ? "plus" : "cd";
    Drive(name, "dvd-writer", media);
    const uint8_t t = Target(name);
    const bool cd = media[0] == 'C';
    if (cd) {
      ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
    }
    std::string err;
    ASSERT_TRUE(Write(0, 32, 1, t).Good());
    ASSERT_TRUE(vrec::AddFault(name, "writeerror lba=40", err)) << err;
    TReply w = Write(32, 32, 1, t);
    EXPECT_EQ(w.Key, 3);
    EXPECT_EQ(w.Asc, 0x0C);
    // READ TRACK INFORMATION of the invisible track (FFh) and by number: the
    // Damage bit (byte 5, 20h) with NWA_V clear, the track still open.
    for (uint32_t no : {0xFFu, 1u}) {
      const TReply ti = TrackInfo(no, t);
      ASSERT_TRUE(ti.Good());
      EXPECT_EQ(ti.Data[5] & 0x20, 0x20) << "damaged";
      EXPECT_EQ(ti.Data[7] & 0x01, 0) << "no valid next writable address";
      EXPECT_EQ(Be32(ti.Data, 12), 0u);
      EXPECT_EQ(Be32(ti.Data, 8), 0u);
      if (!cd) {
        EXPECT_EQ(ti.Data[7] & 0x02, 0x02);
        EXPECT_EQ(Be32(ti.Data, 28), 31u) << "the last recorded address";
      }
    }
    const TReply di = DiscInfo(t);
    EXPECT_EQ(di.Data[2] & 0x0F, 0x05) << "last session incomplete, disc appendable";
    // More data is refused, at the old next writable address too.
    EXPECT_EQ(Write(32, 16, 1, t).Asc, 0x21);
    // Closing the track repairs it: closed, not damaged, and the next track takes data.
    ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, 0, 0, {}, t).Good());
    const TReply closed = TrackInfo(1, t);
    EXPECT_EQ(closed.Data[5] & 0x20, 0);
    EXPECT_EQ(closed.Data[7] & 0x01, 0);
    const TReply next = TrackInfo(0xFF, t);
    ASSERT_TRUE(next.Good());
    EXPECT_EQ(next.Data[2], 2);
    EXPECT_EQ(next.Data[5] & 0x20, 0);
    EXPECT_EQ(next.Data[7] & 0x01, 1);
    const uint32_t nwa = Be32(next.Data, 12);
    EXPECT_EQ(nwa, cd ? 450u : 32u);
    EXPECT_TRUE(Write(nwa, 16, 1, t).Good());
    ASSERT_TRUE(CloseSession(t).Good());
    const TReply after = DiscInfo(t);
    EXPECT_EQ(after.Data[2] & 0x0F, 0x01) << "appendable, a new empty session";
    EXPECT_EQ(after.Data[4], 2);
  }
  // An error on the first write leaves nothing recorded: the close makes the
  // empty track writable again at its start.
  Drive("e", "dvd-writer", "DVD-R");
  const uint8_t e = Target("e");
  std::string err;
  ASSERT_TRUE(vrec::AddFault("e", "writeerror lba=0", err)) << err;
  EXPECT_EQ(Write(0, 16, 1, e).Asc, 0x0C);
  EXPECT_EQ(TrackInfo(0xFF, e).Data[7] & 0x01, 0);
  ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, 0, 0, {}, e).Good());
  EXPECT_EQ(TrackInfo(0xFF, e).Data[7] & 0x01, 1);
  EXPECT_TRUE(Write(0, 16, 1, e).Good());
}

TEST_F(VrecRealDriveTest, ATransportFailureHasNoSenseData) {
  Drive("w", "dvd-writer", "DVD+R");
  const uint8_t t = Target("w");
  std::string err;
  ASSERT_TRUE(vrec::AddFault("w", "transport op=2A count=2 skip=1", err)) << err;
  ASSERT_TRUE(Write(0, 16, 1, t).Good());
  for (int i = 0; i < 2; ++i) {
    const TReply r = Write(16, 16, 1, t);
    EXPECT_EQ(r.Status, SS_ERR);
    EXPECT_EQ(r.HaStat, 0x13);
    EXPECT_EQ(r.TargStat, 0);
    EXPECT_EQ(r.Sense, std::vector<uint8_t>(r.Sense.size(), 0)) << "no sense data";
  }
  EXPECT_EQ(Be32(TrackInfo(0xFF, t).Data, 12), 16u) << "nothing recorded";
  EXPECT_TRUE(Write(16, 16, 1, t).Good());
  EXPECT_NE(Log("w").find("cmd=WRITE(10) cdb=2A000000001000001000 dir=out len=32768 status=HOST-ERROR sense=00/00/00"),
            std::string::npos)
      << Log("w");
  // Any command can be hit when no opcode is named.
  ASSERT_TRUE(vrec::AddFault("w", "transport", err)) << err;
  EXPECT_EQ(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).HaStat, 0x13);
}

TEST_F(VrecRealDriveTest, AFormatReportsItsProgressInTheSenseKeySpecificBytes) {
  setenv("SKARVO_VDRIVE_CLOCK", "60", 1);  // a 60 s format takes 1 s
  Drive("w", "dvd-writer", "DVD+RW");
  const uint8_t t = Target("w");
  const std::vector<uint8_t> format = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};
  ASSERT_TRUE(Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 0, format, t).Good());
  int last = -1, seen = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    const TReply rs = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
    ASSERT_TRUE(rs.Good());
    if (rs.Data[12] != 0x04)
      break;  // done
    EXPECT_EQ(rs.Data[2], 2);
    EXPECT_EQ(rs.Data[13], 0x04) << "format in progress";
    EXPECT_EQ(rs.Data[15], 0x80) << "SKSV: the progress is valid";
    const int p = (rs.Data[16] << 8) | rs.Data[17];
    EXPECT_GE(p, last) << "progress never goes back";
    seen += p > last && last >= 0;
    last = p;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GT(seen, 0) << "the progress moved";
  EXPECT_TRUE(DiscInfo(t).Good());
}
