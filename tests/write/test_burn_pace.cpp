// The block loop keeps pace with the drive: writes follow the drive's
// buffer (READ BUFFER CAPACITY) so that it never runs dry, and a command
// lost without sense data is an error after a few attempts, not "busy".
#include "BurnFixture.h"

namespace {

// The value of a settings key of drive "w", 0 when absent.
double DriveNumber(const std::string &folder, const std::string &key) {
  std::ifstream f(folder + "/w/settings");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key + " = ", 0) == 0)
      return std::stod(line.substr(key.size() + 3));
  return 0;
}

} // namespace

TEST_F(BurnTest, WritesFollowTheDrivesBufferAndNeverLetItRunDry) {
  // The library's clock and the drive's both run in real time, so that the
  // library's pauses mean to the drive what they say. At 4x a 2 MB buffer
  // lasts 0.38 s: a fixed 600 ms pause after "buffer full" empties it every
  // time, 0.2 s or more each. A loaded machine may stall the writer for a
  // moment, so a short dry spell in all is tolerated.
  ov::SetTimeScale(1.0);
  Drive("DVD+R");
  Setting("w", "clock", "1");
  Source("a.bin", 8 << 20);
  Burner().SetWriteSpeed(5540);
  // The close and its waits run fast again.
  Burner().OnFinalizingTrack = [&](TObject *) { Setting("w", "clock", "2000"); };
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_LT(DriveNumber(folder_, "underrun_seconds"), 0.15)
      << DriveNumber(folder_, "underruns") << " underruns";
  // The buffer was full most of the time: writes waited on it, and READ
  // BUFFER CAPACITY was asked about it.
  EXPECT_GT(CountOp("5C"), 10u);
  ExpectDriveUsable();
}

TEST_F(BurnTest, AWriteLostWithoutSenseDataIsAnErrorAfterAFewAttempts) {
  DiscWriteLimits.BusyAttempts = 25;
  Drive("DVD+R");
  Source("a.bin", 300000);
  Fault("w", "transport op=2A count=-1 skip=3");
  const std::string e = BurnAndWait();
  EXPECT_EQ(e, "WRITER ERROR [UNEXPECTED BUS FREE]");
  EXPECT_EQ(CountOp("2A"), 3u + kResendAttempts) << "three written, then the attempts of the fourth";
  EXPECT_EQ(CountOp("5B"), 0u) << "the track is left open";
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
  // Lost once or twice: sent again, and the burn goes through.
  Drive("DVD+R");
  Fault("w", "transport op=2A count=2 skip=3");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(CountOp("2A"), 10u + 2u);
  ExpectDriveUsable();
}

TEST_F(BurnTest, ADVDRIsRecordedAtTheChosenSpeedOrTheDrivesFastest) {
  // The recorder keeps the speed its last write was recorded at. Each
  // burn's speed commands must leave the drive at the speed asked for, not
  // at a fixed 4x; no choice means the drive's fastest.
  Source("a.bin", 300000);
  for (const uint16_t chosen : {uint16_t(22160), uint16_t(11080), uint16_t(0)}) {
    SCOPED_TRACE(chosen);
    Drive("DVD-R");
    if (chosen)
      Burner().SetWriteSpeed(chosen);
    EXPECT_EQ(BurnAndWait(), "");
    EXPECT_EQ(DriveNumber(folder_, "recorded_speed"), chosen ? chosen : 22160);
  }
}
