// Long operations (blank, format, close with the immediate bit), rewritable
// DVD media, faults and the export of a medium.
#include "VrecTestUtil.h"

#include "VRecorder.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <thread>

using namespace vrectest;

namespace {
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
const std::vector<uint8_t> kPlusRwFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};
}  // namespace

TEST_F(VrecTest, BlankReportsProgressUntilDone) {
  setenv("SKARVO_VDRIVE_CLOCK", "40", 1);  // a 40 s minimal blank takes 1 s
  Drive("w", "dvd-writer", "CD-RW");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 100, 1, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  ASSERT_TRUE(Cmd({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // minimal, immediate
  TReply r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Status, SS_ERR);
  EXPECT_EQ(r.Key, 2);
  EXPECT_EQ(r.Asc, 0x04);
  EXPECT_EQ(r.Ascq, 0x07);
  EXPECT_EQ(r.Sense[15], 0x80);
  r = DiscInfo(t);
  EXPECT_EQ(r.Asc, 0x04);
  EXPECT_EQ(Write(0, 1, 0, t).Asc, 0x04);
  EXPECT_TRUE(Cmd({0x12, 0, 0, 0, 36, 0}, 1, 36, {}, t).Good());  // identity still answers
  SleepMs(400);
  TReply s1 = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
  ASSERT_TRUE(s1.Good());  // REQUEST SENSE itself succeeds
  EXPECT_EQ(s1.Data[2], 2);
  EXPECT_EQ(s1.Data[12], 0x04);
  EXPECT_EQ(s1.Data[15], 0x80);
  const int p1 = (s1.Data[16] << 8) | s1.Data[17];
  EXPECT_GT(p1, 0);
  EXPECT_LT(p1, 65535);
  SleepMs(300);
  TReply s2 = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
  EXPECT_GT((s2.Data[16] << 8) | s2.Data[17], p1);
  bool ready = false;
  for (int i = 0; i < 40 && !ready; ++i, SleepMs(100))
    ready = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good();
  ASSERT_TRUE(ready);
  TReply rs = Cmd({0x03, 0, 0, 0, 18, 0}, 1, 18, {}, t);
  EXPECT_EQ(rs.Data[12], 0);
  TReply di = DiscInfo(t);
  ASSERT_TRUE(di.Good());
  EXPECT_EQ(di.Data[2] & 0x13, 0x10);  // blank and erasable
  EXPECT_EQ(Be32(TrackInfo(1, t).Data, 12), 0u);
  // Blanking a CD-R is refused.
  Drive("r", "dvd-writer", "CD-R");
  EXPECT_EQ(Cmd({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, Target("r")).Asc, 0x30);
}

TEST_F(VrecTest, UnformattedDvdPlusRwIsFormattedThenOverwritable) {
  setenv("SKARVO_VDRIVE_CLOCK", "60", 1);  // a 60 s format takes 1 s
  Drive("w", "dvd-writer", "DVD+RW");
  const uint8_t t = Target("w");
  // As captured from a real drive: blank, one empty session, one invisible track.
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x1F, 0x10);
  EXPECT_EQ(di.Data[4], 1);
  EXPECT_EQ(di.Data[5], 1);
  EXPECT_EQ(di.Data[6], 1);
  TReply fc = Cmd({0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0}, 1, 248, {}, t);
  ASSERT_TRUE(fc.Good());
  EXPECT_EQ(fc.Data[3], 16);
  EXPECT_EQ(Be32(fc.Data, 4), 2295104u);
  EXPECT_EQ(fc.Data[8] & 3, 1);  // unformatted
  EXPECT_EQ(Be32(fc.Data, 12), 2295104u);
  EXPECT_EQ(fc.Data[16], 0x98);  // format type 26h
  TReply ti = TrackInfo(1, t);
  EXPECT_EQ(Be32(ti.Data, 8), 0u);
  EXPECT_EQ(Be32(ti.Data, 16), 2295104u);
  EXPECT_EQ(Be32(ti.Data, 24), 2295104u);
  TReply w = Write(0, 32, 1, t);
  EXPECT_EQ(w.Key, 5);
  EXPECT_EQ(w.Asc, 0x30);
  ASSERT_TRUE(Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 0, kPlusRwFormat, t).Good());
  TReply r = DiscInfo(t);
  EXPECT_EQ(r.Key, 2);
  EXPECT_EQ(r.Asc, 0x04);
  EXPECT_EQ(r.Ascq, 0x04);  // format in progress
  bool ready = false;
  for (int i = 0; i < 40 && !ready; ++i, SleepMs(100))
    ready = DiscInfo(t).Good();
  ASSERT_TRUE(ready);
  di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x1F, 0x1E);  // complete, erasable
  fc = Cmd({0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0}, 1, 248, {}, t);
  EXPECT_EQ(fc.Data[8] & 3, 2);  // formatted
  // Any address within the capacity; the data reads back; zeros become holes.
  ASSERT_TRUE(Write(1000, 32, 7, t).Good());
  ASSERT_TRUE(Write(0, 32, 8, t).Good());
  ASSERT_TRUE(Write(0, 32, 9, t).Good());
  EXPECT_EQ(Write(2295104 - 16, 32, 1, t).Asc, 0x21);
  TReply rd = Read(1000, 1, t);
  EXPECT_EQ(rd.Data[100], 7);
  rd = Read(31, 1, t);
  EXPECT_EQ(rd.Data[100], 9);
  rd = Read(500, 1, t);
  ASSERT_TRUE(rd.Good());
  EXPECT_EQ(rd.Data[100], 0);
  TReply toc = Toc(0, false, 0, t);
  EXPECT_EQ(Be32(toc.Data, 4 + 8 + 4), 2295104u);
  TReply cap = Cmd({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 8, {}, t);
  EXPECT_EQ(Be32(cap.Data, 0), 2295103u);
  EXPECT_TRUE(Cmd({0x5B, 0, 3, 0, 0, 0xFF, 0, 0, 0, 0}, 0, 0, {}, t).Good());
}

TEST_F(VrecTest, DvdRwMinimalBlankThenQuickFormat) {
  Drive("w", "dvd-writer", "DVD-RW");
  const uint8_t t = Target("w");
  ASSERT_TRUE(Write(0, 64, 1, t).Good());  // incremental
  ASSERT_TRUE(CloseSession(t).Good());
  ASSERT_TRUE(Cmd({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());  // minimal, waits
  TReply di = DiscInfo(t);
  EXPECT_EQ(di.Data[2] & 0x13, 0x10);
  TReply ti = TrackInfo(1, t);
  EXPECT_EQ(Be32(ti.Data, 12), 0u);
  EXPECT_EQ(Be32(ti.Data, 16), 2297888u);
  // Incremental streaming is no longer current: only disc-at-once.
  TReply f = Cmd({0x46, 2, 0, 0x21, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(f.Data, 8), 0x21);
  EXPECT_EQ(f.Data[10] & 1, 0);
  EXPECT_EQ(SetWriteType(0, false, 3, t).Asc, 0x26);
  EXPECT_EQ(Write(0, 16, 1, t).Asc, 0x2C);
  // Quick format (type 15h, immediate): restricted overwrite.
  const std::vector<uint8_t> quick = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x54, 0x00, 0x00, 0x10};
  setenv("SKARVO_VDRIVE_CLOCK", "1000", 1);
  ASSERT_TRUE(Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 0, quick, t).Good());
  SleepMs(60);
  TReply cfg = Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(cfg.Data, 6), 0x0013);
  bool ready = false;
  for (int i = 0; i < 50 && !ready; ++i, SleepMs(50))
    ready = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good();
  ASSERT_TRUE(ready);
  EXPECT_TRUE(SetWriteType(0, false, 3, t).Good());
  EXPECT_TRUE(Write(0, 32, 4, t).Good());
  EXPECT_TRUE(Write(4096, 32, 5, t).Good());
  EXPECT_EQ(Write(8, 16, 4, t).Ascq, 0x02);  // not on an ECC block boundary
  EXPECT_EQ(Read(4097, 1, t).Data[100], 5);
  // The grow format of restricted overwrite keeps the data.
  const std::vector<uint8_t> grow = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};
  ASSERT_TRUE(Cmd({0x04, 0x11, 0, 0, 0, 0}, 2, 0, grow, t).Good());
  SleepMs(30);
  EXPECT_EQ(Read(4097, 1, t).Data[100], 5);
}

TEST_F(VrecTest, CloseWithImmediateKeepsTheDriveBusy) {
  setenv("SKARVO_VDRIVE_CLOCK", "40", 1);  // 20 s close takes 0.5 s
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 10, 1, t).Good());
  ASSERT_TRUE(CloseSession(t, true).Good());
  TReply r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Asc, 0x04);
  EXPECT_EQ(r.Ascq, 0x07);
  SleepMs(700);
  EXPECT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_EQ(Be32(TrackInfo(2, t).Data, 8), 300u + 11400u);  // a track is at least 300 blocks
}

TEST_F(VrecTest, EveryFaultKind) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  std::string err;
  auto tur = [&] { return Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t); };
  ASSERT_TRUE(vrec::AddFault("w", "busy count=2", err)) << err;
  for (int i = 0; i < 2; ++i) {
    TReply r = tur();
    EXPECT_EQ(r.Status, SS_ERR);
    EXPECT_EQ(r.TargStat, STATUS_BUSY);
    EXPECT_EQ(r.HaStat, 0);
  }
  EXPECT_TRUE(tur().Good());
  // INQUIRY and REQUEST SENSE are not hit unless named.
  ASSERT_TRUE(vrec::AddFault("w", "notready ascq=8", err)) << err;
  EXPECT_TRUE(Cmd({0x12, 0, 0, 0, 36, 0}, 1, 36, {}, t).Good());
  TReply r = tur();
  EXPECT_EQ(r.Key, 2);
  EXPECT_EQ(r.Asc, 0x04);
  EXPECT_EQ(r.Ascq, 0x08);
  ASSERT_TRUE(vrec::AddFault("w", "nomedium op=51", err)) << err;
  EXPECT_TRUE(tur().Good());
  r = DiscInfo(t);
  EXPECT_EQ(r.Asc, 0x3A);
  EXPECT_TRUE(DiscInfo(t).Good());
  // A write error at one address, after letting one covering write through.
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(vrec::AddFault("w", "writeerror lba=40", err)) << err;
  EXPECT_TRUE(Write(0, 27, 1, t).Good());  // does not cover 40
  r = Write(27, 27, 1, t);
  EXPECT_EQ(r.Key, 3);
  EXPECT_EQ(r.Asc, 0x0C);
  // Nothing recorded, and the track is damaged until it is closed; the next
  // track starts after the closed one (27 blocks + run-out make 300, + pre-gap).
  EXPECT_EQ(TrackInfo(1, t).Data[7] & 1, 0);
  EXPECT_EQ(Write(27, 27, 1, t).Asc, 0x21);
  ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_EQ(Be32(TrackInfo(2, t).Data, 12), 450u);
  EXPECT_TRUE(Write(450, 27, 1, t).Good());
  ASSERT_TRUE(vrec::AddFault("w", "unformatted", err)) << err;
  r = Write(477, 1, 1, t);
  EXPECT_EQ(r.Asc, 0x30);
  ASSERT_TRUE(vrec::AddFault("w", "opc", err)) << err;
  EXPECT_TRUE(Write(477, 1, 1, t).Good());
  r = Cmd({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Key, 3);
  EXPECT_EQ(r.Asc, 0x73);
  EXPECT_EQ(r.Ascq, 0x03);
  EXPECT_TRUE(Cmd({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  // skip and a fault for ever; the faults show in the drive and can be cleared.
  ASSERT_TRUE(vrec::AddFault("w", "busy skip=1 count=-1 op=00", err)) << err;
  EXPECT_TRUE(tur().Good());
  EXPECT_EQ(tur().TargStat, STATUS_BUSY);
  EXPECT_EQ(tur().TargStat, STATUS_BUSY);
  vrec::TDriveSummary s;
  ASSERT_TRUE(vrec::GetDrive("w", s, err));
  ASSERT_EQ(s.Faults.size(), 1u);
  EXPECT_EQ(s.Faults[0], "busy count=-1 op=00");
  ASSERT_TRUE(vrec::ClearFaults("w", err));
  EXPECT_TRUE(tur().Good());
  EXPECT_FALSE(vrec::AddFault("w", "writeerror", err));
  EXPECT_FALSE(vrec::AddFault("w", "melt count=1", err));
  // The log records each answer.
  const std::string log = Log("w");
  EXPECT_NE(log.find("cmd=TEST-UNIT-READY cdb=000000000000 dir=none len=0 status=BUSY sense=00/00/00"), std::string::npos);
  EXPECT_NE(log.find("status=CHECK sense=03/0C/00"), std::string::npos);
  EXPECT_NE(log.find("cmd=SEND-OPC-INFORMATION cdb=54010000000000000000 dir=none len=0 status=CHECK sense=03/73/03"),
            std::string::npos);
}

TEST_F(VrecTest, FaultWrittenInTheSettingsFile) {
  Drive("w", "dvd-writer", "CD-R");
  const std::string path = dir_ + "/drives/w/settings";
  {
    std::ofstream out(path, std::ios::app);
    out << "fault = notready count=1 ascq=4\n";
  }
  TReply r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, Target("w"));
  EXPECT_EQ(r.Ascq, 0x04);
  EXPECT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, Target("w")).Good());
}

TEST_F(VrecTest, ExportWritesTheRecordedBlocks) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 20, 1, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  ASSERT_TRUE(Write(11700, 5, 2, t).Good());  // 20 blocks padded to 300, then the gap
  ASSERT_TRUE(CloseSession(t).Good());
  std::string err;
  const std::string all = dir_ + "/all.img", first = dir_ + "/s1.img";
  ASSERT_TRUE(vrec::ExportMedium("w", all, 0, err)) << err;
  ASSERT_TRUE(vrec::ExportMedium("w", first, 1, err)) << err;
  struct stat st{};
  ASSERT_EQ(stat(all.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(11705) * 2048);
  EXPECT_LT(st.st_blocks * 512, off_t(1) << 20);  // the gap stays a hole
  ASSERT_EQ(stat(first.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 20 * 2048);
  std::ifstream in(all, std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(uint8_t(data[size_t(11704) * 2048]), uint8_t(11704 & 0xFF));
  EXPECT_EQ(data[size_t(11704) * 2048 + 100], 2);
  EXPECT_EQ(data[size_t(19) * 2048 + 100], 1);
  EXPECT_FALSE(vrec::ExportMedium("w", dir_ + "/x.img", 3, err));
  // A recordable medium inserted from an image is a closed first session.
  Insert("w", "CD-R", 0, first, false);
  TReply ti = TrackInfo(2, t);
  EXPECT_EQ(Be32(ti.Data, 8), 300u + 11400u);
  EXPECT_EQ(Read(19, 1, t).Data[100], 1);
}

TEST_F(VrecTest, PerDriveClockWithoutTheOverride) {
  unsetenv("SKARVO_VDRIVE_CLOCK");
  Drive("w", "dvd-writer", "CD-RW");
  const uint8_t t = Target("w");
  std::string err;
  ASSERT_TRUE(vrec::SetSetting("w", "clock", "80", err)) << err;  // a 40 s minimal blank: 0.5 s
  ASSERT_TRUE(Cmd({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_EQ(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Ascq, 0x07);
  vrec::TDriveSummary s;
  ASSERT_TRUE(vrec::GetDrive("w", s, err));
  EXPECT_EQ(s.Operation, "blank");
  SleepMs(700);
  EXPECT_TRUE(Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  EXPECT_FALSE(vrec::SetSetting("w", "clock", "fast", err));
  EXPECT_FALSE(vrec::SetSetting("w", "medium", "FLOPPY", err));
}

TEST_F(VrecTest, DamagedSettingsAreReportedNotGuessed) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  {
    std::ofstream out(dir_ + "/drives/w/settings", std::ios::app);
    out << "capacity = lots\n";
  }
  TReply r = Cmd({0x00, 0, 0, 0, 0, 0}, 0, 0, {}, t);
  EXPECT_EQ(r.Status, SS_ERR);
  EXPECT_EQ(r.Key, 4);
  EXPECT_EQ(r.Asc, 0x44);
  std::vector<vrec::TDriveSummary> all;
  std::string err;
  ASSERT_TRUE(vrec::ListDrives(all, err));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NE(all[1].Medium.find("capacity"), std::string::npos);
  EXPECT_FALSE(vrec::InsertMedium("w", "CD-R", 0, "", false, err));
  EXPECT_NE(err.find("capacity"), std::string::npos);
}
