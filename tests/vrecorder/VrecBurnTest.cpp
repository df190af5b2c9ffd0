// The recorder as a burn meets it: the drive buffer and the commands that wait
// on it, unit attention, the tray lock, the corrupt fault, faults during long
// operations, and sessions loaded from image files.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace vrectest;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

uint32_t FreeBytes(const TReply &rbc) { return Be32(rbc.Data, 8); }

// A file of `blocks` blocks, each holding its index and then `fill`.
std::string MakeImage(const std::string &path, uint32_t blocks, uint8_t fill) {
  std::vector<char> data(size_t(blocks) * 2048, char(fill));
  for (uint32_t b = 0; b < blocks; ++b)
    data[size_t(b) * 2048] = char(b);
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
  return path;
}

}  // namespace

class VrecBurnTest : public VrecTest {
protected:
  TReply BufferCapacity(uint8_t t) { return Cmd({0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 1, 12, {}, t); }
  TReply Tur(uint8_t t) { return Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t); }
  TReply Sync(uint8_t t, bool imm) { return Cmd({0x35, uint8_t(imm ? 2 : 0), 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t); }
  // A CD-R in a drive with a 256 KB buffer writing at 1764 KB/s: 0.145 s to drain a full buffer at clock 1.
  uint8_t SlowCdWriter() {
    Drive("w", "dvd-writer", "CD-R");
    std::string err;
    EXPECT_TRUE(vrec::SetSetting("w", "buffer_kb", "256", err)) << err;
    const uint8_t t = Target("w");
    EXPECT_TRUE(Cmd({0xBB, 0, 0xFF, 0xFF, 0x06, 0xE4, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // SET CD SPEED 1764
    EXPECT_TRUE(SetWriteType(1, false, 3, t).Good());
    return t;
  }
};

TEST_F(VrecBurnTest, BufferFillsWithWritesAndDrainsAtTheWriteSpeed) {
  // A quarter-speed clock: a full buffer drains in about 0.6 s, so a loaded
  // machine's pauses between commands drain little of it.
  setenv("SKARVO_VDRIVE_CLOCK", "0.25", 1);
  const uint8_t t = SlowCdWriter();
  EXPECT_EQ(FreeBytes(BufferCapacity(t)), 256u * 1024);
  ASSERT_TRUE(Write(0, 64, 1, t).Good());
  const uint32_t afterOne = FreeBytes(BufferCapacity(t));
  EXPECT_LE(afterOne, 128u * 1024 + 32 * 1024);  // some tens of ms of draining at most
  ASSERT_TRUE(Write(64, 64, 1, t).Good());
  // Full: the next write is "long write in progress" and records nothing.
  TReply full = Write(128, 64, 1, t);
  EXPECT_EQ(full.Key, 2);
  EXPECT_EQ(full.Asc, 0x04);
  EXPECT_EQ(full.Ascq, 0x08);
  EXPECT_EQ(Be32(TrackInfo(1, t).Data, 12), 128u);  // the next writable address did not move
  // Block mode reports the free blocks.
  TReply blocks = Cmd({0x5C, 1, 0, 0, 0, 0, 0, 0, 12, 0}, 1, 12, {}, t);
  EXPECT_EQ(blocks.Data[3], 1);
  EXPECT_LT(Be32(blocks.Data, 8), 32u);
  // SYNCHRONIZE CACHE returns once the buffer has drained.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Sync(t, false).Good());
  EXPECT_GT(Seconds(start), 0.08);
  EXPECT_EQ(FreeBytes(BufferCapacity(t)), 256u * 1024);
  EXPECT_TRUE(Write(128, 64, 1, t).Good());
}

TEST_F(VrecBurnTest, ImmediateSynchronizeReportsALongWriteUntilDrained) {
  const uint8_t t = SlowCdWriter();
  ASSERT_TRUE(Write(0, 128, 1, t).Good());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Sync(t, true).Good());
  EXPECT_LT(Seconds(start), 0.08);
  for (const TReply &r : {Tur(t), DiscInfo(t)}) {
    EXPECT_EQ(r.Key, 2);
    EXPECT_EQ(r.Asc, 0x04);
    EXPECT_EQ(r.Ascq, 0x08);
  }
  EXPECT_TRUE(BufferCapacity(t).Good());  // the fill can be watched meanwhile
  bool ready = false;
  for (int i = 0; i < 40 && !ready; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ready = Tur(t).Good();
  }
  EXPECT_TRUE(ready);
  EXPECT_GT(Seconds(start), 0.08);
}

TEST_F(VrecBurnTest, ClockZeroRunsAsFastAsTheHost) {
  setenv("SKARVO_VDRIVE_CLOCK", "0", 1);
  const uint8_t t = SlowCdWriter();
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < 10; ++i)  // ten buffers' worth back to back
    ASSERT_TRUE(Write(i * 128, 128, 1, t).Good()) << i;
  EXPECT_EQ(FreeBytes(BufferCapacity(t)), 256u * 1024);
  EXPECT_TRUE(Sync(t, false).Good());
  EXPECT_TRUE(Cmd({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  ASSERT_TRUE(CloseSession(t, true).Good());
  EXPECT_TRUE(Tur(t).Good());
  EXPECT_LT(Seconds(start), 1.0);
}

TEST_F(VrecBurnTest, OpcTakesTimeOnTheClock) {
  setenv("SKARVO_VDRIVE_CLOCK", "10", 1);
  Drive("w", "dvd-writer", "DVD+R");
  const uint8_t t = Target("w");
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Cmd({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_GT(Seconds(start), 0.12);
  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Cmd({0x54, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // no calibration asked
  EXPECT_LT(Seconds(start), 0.1);
}

TEST_F(VrecBurnTest, MediumChangeRaisesUnitAttentionOnce) {
  Drive("w", "dvd-writer", "none");
  const uint8_t t = Target("w");
  std::string err;
  ASSERT_TRUE(vrec::InsertMedium("w", "DVD-R", 0, "", false, err)) << err;
  // INQUIRY and GET CONFIGURATION answer without taking it.
  EXPECT_TRUE(Cmd({0x12, 0, 0, 0, 36, 0}, 1, 36, {}, t).Good());
  EXPECT_TRUE(Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 16, 0}, 1, 16, {}, t).Good());
  TReply r = DiscInfo(t);
  EXPECT_EQ(r.Key, 6);
  EXPECT_EQ(r.Asc, 0x28);
  EXPECT_TRUE(DiscInfo(t).Good());
  // Taking the disc out raises it as well; REQUEST SENSE reports it and clears it.
  ASSERT_TRUE(vrec::EjectMedium("w", err)) << err;
  r = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
  EXPECT_EQ(r.Data[2], 6);
  EXPECT_EQ(r.Data[12], 0x28);
  EXPECT_EQ(Tur(t).Asc, 0x3A);
  // A blank keeps the disc: no unit attention after it.
  ASSERT_TRUE(vrec::InsertMedium("w", "CD-RW", 0, "", false, err)) << err;
  EXPECT_EQ(Tur(t).Key, 6);
  ASSERT_TRUE(Cmd({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_TRUE(Tur(t).Good());
}

TEST_F(VrecBurnTest, LockedTrayDuringABlankAndAtEject) {
  setenv("SKARVO_VDRIVE_CLOCK", "100", 1);  // a 40 s minimal blank takes 0.4 s
  Drive("w", "dvd-writer", "CD-RW");
  const uint8_t t = Target("w");
  ASSERT_TRUE(Cmd({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_TRUE(Cmd({0x1E, 0, 0, 0, 1, 0}, 0, 0, {}, t).Good());  // lock while it runs
  EXPECT_EQ(Tur(t).Ascq, 0x07);
  std::string err;
  EXPECT_FALSE(vrec::EjectMedium("w", err, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  TReply r = Cmd({0x1B, 0, 0, 0, 2, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Key, 5);
  EXPECT_EQ(r.Asc, 0x53);
  EXPECT_EQ(r.Ascq, 0x02);
  EXPECT_TRUE(Tur(t).Good());  // still in
  EXPECT_TRUE(Cmd({0x1E, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_TRUE(Cmd({0x1B, 0, 0, 0, 2, 0}, 0, 0, {}, t).Good());
}

TEST_F(VrecBurnTest, CorruptFaultAltersTheRecordedBlockBehindASuccessfulWrite) {
  Drive("w", "dvd-writer", "DVD+R");
  const uint8_t t = Target("w");
  std::string err;
  ASSERT_TRUE(vrec::AddFault("w", "corrupt lba=20", err)) << err;
  ASSERT_TRUE(Write(0, 16, 7, t).Good());  // does not cover block 20: the fault waits
  ASSERT_TRUE(Write(16, 16, 7, t).Good());
  // Read with FUA: from the medium, not from the drive's cache.
  const TReply good = Read(19, 1, t, true), bad = Read(20, 1, t, true), next = Read(21, 1, t, true);
  EXPECT_EQ(good.Data[0], 19);
  EXPECT_EQ(good.Data[100], 7);
  EXPECT_EQ(bad.Data[0], uint8_t(~20));
  EXPECT_EQ(bad.Data[100], uint8_t(~7));
  EXPECT_EQ(next.Data[100], 7);
  vrec::TDriveSummary s;
  ASSERT_TRUE(vrec::GetDrive("w", s, err));
  EXPECT_TRUE(s.Faults.empty());  // spent
  // On an overwritable disc, count=2 corrupts two writes of the block, then stops.
  Drive("ram", "dvd-writer", "DVD-RAM");
  const uint8_t r = Target("ram");
  ASSERT_TRUE(vrec::AddFault("ram", "corrupt lba=3 count=2", err)) << err;
  for (uint8_t fill : {1, 2, 3})
    ASSERT_TRUE(Write(0, 8, fill, r).Good());
  EXPECT_EQ(Read(3, 1, r, true).Data[100], 3);
  EXPECT_FALSE(vrec::AddFault("ram", "corrupt", err));  // needs lba
  EXPECT_NE(err.find("lba"), std::string::npos) << err;
}

TEST_F(VrecBurnTest, FaultsActWhileALongOperationRuns) {
  setenv("SKARVO_VDRIVE_CLOCK", "40", 1);
  Drive("w", "dvd-writer", "CD-RW");
  const uint8_t t = Target("w");
  ASSERT_TRUE(Cmd({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_EQ(Tur(t).Ascq, 0x07);
  std::string err;
  ASSERT_TRUE(vrec::AddFault("w", "nomedium", err)) << err;
  TReply r = Tur(t);
  EXPECT_EQ(r.Asc, 0x3A);
  EXPECT_EQ(r.Ascq, 0x00);
  EXPECT_EQ(Tur(t).Ascq, 0x07);  // the blank goes on
}

TEST_F(VrecBurnTest, ModeSelectParametersAreLogged) {
  Drive("w", "dvd-writer", "CD-R");
  ASSERT_TRUE(SetWriteType(1, true, 3, Target("w")).Good());
  const std::string log = Log("w");
  // 8-byte header, then page 05h: test write + TAO (11h), multisession 11b + track mode 4 (C4h).
  EXPECT_NE(log.find("cmd=MODE-SELECT(10) cdb=55100000000000003C00 dir=out len=60 status=GOOD sense=00/00/00 "
                     "data=00000000000000000532" "11C408"),
            std::string::npos)
      << log;
}

TEST_F(VrecBurnTest, AppendSessionLoadsAFurtherSessionFromAFile) {
  Drive("w", "dvd-writer", "none");
  const uint8_t t = Target("w");
  std::string err;
  const std::string s1 = MakeImage(dir_ + "/s1.iso", 400, 1), s2 = MakeImage(dir_ + "/s2.iso", 100, 2);
  Insert("w", "CD-R", 0, s1);
  const uint32_t nwa = Be32(TrackInfo(2, t).Data, 12);
  EXPECT_EQ(nwa, 402u + 11400u);
  EXPECT_FALSE(vrec::AppendSession("w", s2, nwa - 1, err));  // before the next writable address
  EXPECT_NE(err.find(std::to_string(nwa)), std::string::npos) << err;
  EXPECT_FALSE(vrec::AppendSession("w", dir_ + "/missing.iso", -1, err));
  EXPECT_EQ(Be32(TrackInfo(2, t).Data, 12), nwa);  // unchanged
  ASSERT_TRUE(vrec::AppendSession("w", s2, nwa, err)) << err;
  TReply toc = Toc(1, false, 0, t);
  ASSERT_TRUE(toc.Good());
  EXPECT_EQ(toc.Data[3], 2);
  EXPECT_EQ(Be32(toc.Data, 8), nwa);
  TReply rd = Read(nwa + 99, 1, t);
  ASSERT_TRUE(rd.Good());
  EXPECT_EQ(rd.Data[0], 99);
  EXPECT_EQ(rd.Data[100], 2);
  EXPECT_EQ(Read(399, 1, t).Data[100], 1);
  // Appendable still: the third session starts after this one's 300 blocks and the gap.
  EXPECT_EQ(Be32(TrackInfo(3, t).Data, 12), nwa + 300 + 6900);
  // A later start than the next writable address is taken as given.
  ASSERT_TRUE(vrec::AppendSession("w", s2, nwa + 300 + 6900 + 1000, err)) << err;
  EXPECT_EQ(Be32(TrackInfo(3, t).Data, 8), nwa + 300 + 6900 + 1000);
  // Not on an overwritable or closed disc.
  ASSERT_TRUE(vrec::SetSetting("w", "finalized", "1", err)) << err;
  EXPECT_FALSE(vrec::AppendSession("w", s2, -1, err));
  EXPECT_NE(err.find("closed"), std::string::npos) << err;
  Insert("w", "DVD+RW", 0, "", true);
  EXPECT_FALSE(vrec::AppendSession("w", s2, -1, err));
}

TEST_F(VrecBurnTest, RefusedInsertLeavesTheLoadedDiscAsItWas) {
  Drive("w", "dvd-writer", "none");
  const uint8_t t = Target("w");
  std::string err;
  Insert("w", "CD-R", 0, MakeImage(dir_ + "/s1.iso", 50, 9));
  const std::string big = MakeImage(dir_ + "/big.iso", 200, 3);
  EXPECT_FALSE(vrec::InsertMedium("w", "CD-R", 100, big, false, err));       // does not fit
  EXPECT_FALSE(vrec::InsertMedium("w", "DVD+RW", 0, big, false, err));       // unformatted holds no data
  EXPECT_FALSE(vrec::InsertMedium("w", "CD-R", 0, "", true, err));           // --formatted on a CD
  TReply rd = Read(49, 1, t);
  ASSERT_TRUE(rd.Good()) << int(rd.Key);
  EXPECT_EQ(rd.Data[0], 49);
  EXPECT_EQ(rd.Data[100], 9);
}

TEST_F(VrecBurnTest, AdaptersBeyondTheTenth) {
  Drive("w", "dvd-writer", "CD-R");
  const std::string settings = dir_ + "/drives/w/settings";
  {
    std::ifstream in(settings);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = text.find("address = ");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find('\n', at) - at, "address = 12:3:0");
    std::ofstream(settings) << text;
  }
  EXPECT_EQ(lib_->Info() & 0xFF, 13u);
  EXPECT_EQ(Target("w"), 12 * 8 + 3);
  EXPECT_TRUE(Cmd({0x12, 0, 0, 0, 36, 0}, 1, 36, {}, 12 * 8 + 3).Good());
}
