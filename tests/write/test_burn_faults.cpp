// Burns that meet a drive fault: each ends with its text (or recovers), and
// the drive answers the next command with its tray unlocked.
#include "BurnFixture.h"

#include <algorithm>

namespace {

size_t CountOp(const std::vector<std::string> &cdbs, const std::string &op) {
  return static_cast<size_t>(
      std::count_if(cdbs.begin(), cdbs.end(), [&](const std::string &c) { return c.compare(0, 2, op) == 0; }));
}

// Commands sent after the first failed or busy WRITE(10) of the log.
std::vector<std::string> OpsAfterFailedWrite(const std::vector<std::string> &lines) {
  std::vector<std::string> ops;
  bool after = false;
  for (const std::string &l : lines) {
    const auto p = l.find(" cdb=");
    if (p == std::string::npos)
      continue;
    const std::string op = l.substr(p + 5, 2);
    if (after)
      ops.push_back(op);
    else if (op == "2A" && l.find("status=GOOD") == std::string::npos)
      after = true;
  }
  return ops;
}

bool Contains(const std::vector<std::string> &v, const std::string &s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

} // namespace

TEST_F(BurnTest, BusyAndLongWriteInProgressAreRetriedUntilTheWriteGoesThrough) {
  for (const char *fault : {"busy op=2A count=3 skip=2", "notready op=2A ascq=8 count=4 skip=1"}) {
    SCOPED_TRACE(fault);
    vrec::RemoveDrive("w", error_);
    burner_.reset();
    Drive("DVD+R");
    Source("a.bin", 300000);
    Fault("w", fault);
    ClearLog("w");
    EXPECT_EQ(BurnAndWait(), "");
    const auto cdbs = LoggedCdbs("w");
    // The retried writes go to the same address again.
    const size_t extra = std::string(fault).find("busy") == 0 ? 3 : 4;
    EXPECT_EQ(CountOp(cdbs, "2A"), 10 + extra);
    EXPECT_EQ(CountOp(cdbs, "5B"), 2u);
    ExpectDriveUsable();
  }
}

TEST_F(BurnTest, ADriveNotReadyForEveryWriteEndsBusyWithoutClosing) {
  DiscWriteLimits.BusyAttempts = 25;
  Drive("CD-R");
  Source("a.bin", 300000);
  Fault("w", "notready op=2A count=-1 skip=4");
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "WRITER BUSY/BUFFER FULL");
  const auto lines = LogLines("w");
  const auto after = OpsAfterFailedWrite(lines);
  EXPECT_EQ(CountOp(after, "2A"), 24u) << "25 attempts of the fifth block";
  EXPECT_FALSE(Contains(after, "5B")) << "the track is left open";
  EXPECT_TRUE(Contains(after, "35")) << "but flushed";
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
}

TEST_F(BurnTest, AWriteErrorEndsWithTheDrivesReasonAndLeavesTheTrackOpen) {
  Drive("DVD-R");
  Source("a.bin", 300000);
  Fault("w", "writeerror lba=100");
  ClearLog("w");
  const std::string e = BurnAndWait();
  EXPECT_EQ(e.rfind("WRITER ERROR [", 0), 0u) << e;
  EXPECT_NE(e.find("WRITE ERROR"), std::string::npos) << e;
  const auto after = OpsAfterFailedWrite(LogLines("w"));
  EXPECT_EQ(CountOp(after, "2A"), 0u) << "not retried";
  EXPECT_FALSE(Contains(after, "5B"));
  EXPECT_FALSE(Contains(after, "BB")) << "the drive is not restored, only unlocked";
  ExpectDriveUsable();
}

TEST_F(BurnTest, MediumGoneMidBurnEndsWithAnErrorAndUnlocksTheTray) {
  Drive("DVD+RW", true);
  Source("a.bin", 600000);
  Fault("w", "nomedium op=2A count=-1 skip=4");
  ClearLog("w");
  const std::string e = BurnAndWait();
  EXPECT_EQ(e.rfind("WRITER ERROR [", 0), 0u) << e;
  EXPECT_NE(e.find("MEDIUM NOT PRESENT"), std::string::npos) << e;
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
}

TEST_F(BurnTest, AFailedOPCDoesNotStopTheBurn) {
  Drive("CD-RW");
  Source("a.bin", 100000);
  Burner().PerformOPC = true;
  Fault("w", "opc");
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(CountOp(LoggedCdbs("w"), "54"), 1u);
  ExpectDriveUsable();
}

TEST_F(BurnTest, ADriveThatStopsAnsweringEndsTheBurnWithinOneTimeOut) {
  // READ DISC INFORMATION after the DVD-R flush never completes.
  Drive("DVD-R");
  Source("a.bin", 100000);
  Burner().OnFinalizingTrack = [this](TObject *) { Fault("w", "pending op=51 count=-1"); };
  const auto start = std::chrono::steady_clock::now();
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "WRITER ERROR [DRIVE NOT RESPONDING]");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
  EXPECT_EQ(CountOp(LoggedCdbs("w"), "5B"), 0u);
  vrec::ClearFaults("w", error_);
  EXPECT_FALSE(Burner().StopAfterTimeout) << "later commands are sent again";
  ExpectDriveUsable();
}

TEST_F(BurnTest, AbortDuringARetryPauseEndsAtOnceWithoutClosing) {
  DiscWriteLimits.BusyPauseMs = 600000;  // 600 ms on the test clock
  Drive("DVD+R");
  Source("a.bin", 300000);
  Fault("w", "busy op=2A count=-1 skip=2");
  ClearLog("w");
  Compile();
  done_ = 0;
  ASSERT_TRUE(Burner().BurnCompilation());
  // Wait until the busy write was answered, then abort inside the pause.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (OpsAfterFailedWrite(LogLines("w")).empty() && std::chrono::steady_clock::now() < until) {
    ov::CheckSynchronize(5);
    for (const std::string &l : LogLines("w"))
      if (l.find("cmd=WRITE(10)") != std::string::npos && l.find("status=BUSY") != std::string::npos)
        goto busy;
  }
busy:
  const auto abortAt = std::chrono::steady_clock::now();
  Burner().AbortWrite();
  ASSERT_TRUE(WaitDone());
  EXPECT_LT(std::chrono::steady_clock::now() - abortAt, std::chrono::milliseconds(400));
  EXPECT_EQ(error_, "OPERATION ABORTED BY USER");
  const auto cdbs = LoggedCdbs("w");
  EXPECT_EQ(CountOp(cdbs, "2A"), 3u) << "no write after the abort";
  EXPECT_EQ(CountOp(cdbs, "5B"), 0u) << "no close after an abort";
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
}
