// Burns that meet a drive fault: each recovers or ends with its text, and
// the drive answers the next command with its tray unlocked.
#include "BurnFixture.h"

namespace {

// Opcodes logged after the first WRITE(10) that did not complete.
std::string OpsAfterFailedWrite(const std::vector<std::string> &lines) {
  std::string ops;
  bool after = false;
  for (const std::string &l : lines) {
    const auto p = l.find(" cdb=");
    if (p == std::string::npos)
      continue;
    const std::string op = l.substr(p + 5, 2);
    if (after)
      ops += op + " ";
    after = after || (op == "2A" && l.find("status=GOOD") == std::string::npos);
  }
  return ops;
}

size_t Count(const std::string &ops, const std::string &op) {
  size_t n = 0;
  for (size_t i = 0; i + 2 <= ops.size(); i += 3)
    n += ops.compare(i, 2, op) == 0;
  return n;
}

} // namespace

TEST_F(BurnTest, BusyAndLongWriteInProgressAreRetriedUntilTheWriteGoesThrough) {
  for (const std::string fault : {"busy op=2A count=3 skip=2", "notready op=2A ascq=8 count=4 skip=1"}) {
    SCOPED_TRACE(fault);
    Drive("DVD+R");
    Source("a.bin", 300000);
    Fault("w", fault);
    ClearLog("w");
    EXPECT_EQ(BurnAndWait(), "");
    EXPECT_EQ(CountOp("2A"), fault[0] == 'b' ? 13u : 14u) << "ten blocks and the retries";
    EXPECT_EQ(CountOp("5B"), 2u);
    ExpectDriveUsable();
  }
}

TEST_F(BurnTest, ADriveNotReadyForEveryWriteEndsBusyWithoutClosing) {
  DiscWriteLimits.BusyAttempts = 25;
  Drive("CD-R");
  Source("a.bin", 300000);
  Fault("w", "notready op=2A count=-1 skip=4");
  EXPECT_EQ(BurnAndWait(), "WRITER BUSY/BUFFER FULL");
  const std::string after = OpsAfterFailedWrite(LogLines("w"));
  EXPECT_EQ(Count(after, "2A"), 24u) << "25 attempts of the fifth block";
  EXPECT_EQ(Count(after, "5B"), 0u) << "the track is left open";
  EXPECT_EQ(Count(after, "35"), 1u) << "but flushed";
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
}

TEST_F(BurnTest, WriteErrorsEndWithTheDrivesReasonAndLeaveTheTrackOpen) {
  for (const std::string fault : {"writeerror lba=100", "nomedium op=2A count=-1 skip=4"}) {
    SCOPED_TRACE(fault);
    Drive("DVD-R");
    Source("a.bin", 300000);
    Fault("w", fault);
    const std::string e = BurnAndWait();
    EXPECT_EQ(e.rfind("WRITER ERROR [", 0), 0u) << e;
    EXPECT_NE(e.find(fault[0] == 'w' ? "WRITE ERROR" : "MEDIUM NOT PRESENT"), std::string::npos) << e;
    const std::string after = OpsAfterFailedWrite(LogLines("w"));
    EXPECT_EQ(Count(after, "2A") + Count(after, "5B") + Count(after, "BB"), 0u)
        << "no retry, no close, no restore: " << after;
    vrec::ClearFaults("w", error_);
    ExpectDriveUsable();
  }
}

TEST_F(BurnTest, AFailedOPCDoesNotStopTheBurn) {
  Drive("CD-RW");
  Source("a.bin", 100000);
  Burner().PerformOPC = true;
  Fault("w", "opc");
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(CountOp("54"), 1u);
  ExpectDriveUsable();
}

TEST_F(BurnTest, ADriveThatNeverSettlesAfterTheFlushEndsTheBurnInBoundedTime) {
  // READ DISC INFORMATION after the DVD-R flush answers "not ready" for
  // ever, or never completes (one 10 s time-out).
  DiscWriteLimits.FlushWaitMs = 30000;
  for (const std::string fault : {"notready op=51 count=-1", "pending op=51 count=-1"}) {
    SCOPED_TRACE(fault);
    Drive("DVD-R");
    Source("a.bin", 100000);
    Burner().OnFinalizingTrack = [&](TObject *) { Fault("w", fault); };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BurnAndWait(), "WRITER ERROR [DRIVE NOT RESPONDING]");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    EXPECT_EQ(CountOp("5B"), 0u);
    vrec::ClearFaults("w", error_);
    EXPECT_FALSE(Burner().StopAfterTimeout) << "later commands are sent again";
    ExpectDriveUsable();
    Burner().OnFinalizingTrack = nullptr;
    // The session left open is closed first; then the next burn starts afresh.
    EXPECT_EQ(BurnAndWait(), kSessionIncompleteText);
    EXPECT_TRUE(Burner().CloseSession(false)) << Burner().ErrorText;
    EXPECT_EQ(BurnAndWait(), "") << "the next burn starts afresh";
  }
}

TEST_F(BurnTest, AbortDuringARetryPauseEndsAtOnceWithoutClosing) {
  DiscWriteLimits.BusyPauseMs = 5000000;  // 5 s on the test clock
  Drive("DVD+R");
  Source("a.bin", 300000);
  Fault("w", "busy op=2A count=-1 skip=2");
  Compile();
  done_ = 0;
  ASSERT_TRUE(Burner().BurnCompilation());
  // The pauses of a busy drive double from one write's time (3 ms at
  // 16x): after twenty attempts the writer sits in a pause of seconds.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (CountOp("2A") < 20 && std::chrono::steady_clock::now() < until)
    ov::CheckSynchronize(5);
  const size_t writes = CountOp("2A");
  const auto abortAt = std::chrono::steady_clock::now();
  Burner().AbortWrite();
  ASSERT_TRUE(WaitDone());
  EXPECT_LT(std::chrono::steady_clock::now() - abortAt, std::chrono::seconds(1));
  EXPECT_EQ(error_, "OPERATION ABORTED BY USER");
  EXPECT_EQ(CountOp("2A"), writes) << "no write after the abort";
  EXPECT_EQ(CountOp("5B"), 0u) << "no close after an abort";
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
}
