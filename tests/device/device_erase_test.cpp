// Erase of each rewritable medium through TEraseThread, end to end against
// the virtual recorder on a fast clock.
#include "VDriveFixture.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

namespace {

struct TEraseRun {
  bool Started = false;
  bool Done = false;
  bool WithError = true;
  int MaxProgress = -1;
  bool ProgressWentBack = false;
  int Steps = 0;  // distinct figures seen between 0 and 100
  std::vector<std::string> CdbsAtDone;
};

bool StartsWith(const std::string &s, const std::string &p) { return s.rfind(p, 0) == 0; }

size_t Count(const std::vector<std::string> &cdbs, const std::string &prefix) {
  return static_cast<size_t>(
      std::count_if(cdbs.begin(), cdbs.end(), [&](const std::string &c) { return StartsWith(c, prefix); }));
}

} // namespace

class EraseTest : public VDriveTest {
protected:
  void SetUp() override {
    VDriveTest::SetUp();
    AddDrive("w", "dvd-writer");
    // Long operations of the drive and the thread's polling both run fast.
    Setting("w", "clock", "1000");
    ov::SetTimeScale(0.001);
  }

  // Erases with the selected drive "w".
  TEraseRun Erase(TSCSIDevice &dev, uint8_t quick) {
    TEraseRun run;
    ClearLog("w");
    dev.OnEraseDone = [&](TObject *sender, bool withError) {
      EXPECT_EQ(sender, &dev);
      EXPECT_TRUE(ov::IsMainThread());
      EXPECT_FALSE(dev.Erasing());
      run.Done = true;
      run.WithError = withError;
      run.CdbsAtDone = LoggedCdbs("w");
    };
    run.Started = dev.EraseDisc(quick);
    if (!run.Started)
      return run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int last = 0;
    while (dev.Erasing() && std::chrono::steady_clock::now() < deadline) {
      const int p = dev.EraseProgress();
      if (!dev.Erasing())
        break;
      if (p < last)
        run.ProgressWentBack = true;
      if (p > last && p < 100)
        ++run.Steps;
      last = std::max(last, p);
      run.MaxProgress = std::max(run.MaxProgress, p);
      ov::CheckSynchronize(0);
      std::this_thread::yield();
    }
    EXPECT_FALSE(dev.Erasing()) << "erase did not end";
    dev.WaitEraseThread();
    EXPECT_EQ(dev.EraseProgress(), 0);
    return run;
  }

  // The drive-restore sequence ends every erase, just before OnEraseDone.
  void ExpectRestoreAtEnd(const std::vector<std::string> &cdbs) {
    ASSERT_GE(cdbs.size(), 8u);
    const std::vector<std::string> tail(cdbs.end() - 8, cdbs.end());
    EXPECT_TRUE(StartsWith(tail[0], "5A0005")) << tail[0];
    EXPECT_EQ(tail[1], "55100000000000003C00");
    EXPECT_TRUE(StartsWith(tail[2], "BB00") && tail[2].substr(8, 4) == "0002") << tail[2];
    EXPECT_EQ(tail[3], "010000000000");
    EXPECT_EQ(tail[4], "1E0000000000");
    EXPECT_EQ(tail[5], "1B0000000300");
    EXPECT_EQ(tail[6], "010000000000");
    EXPECT_EQ(tail[7], "000000000000");
  }
};

TEST_F(EraseTest, QuickEraseOfCDRW) {
  Insert("w", "CD-RW", 0, MakeImage(3000, 3000));
  Setting("w", "write_speeds.CD-RW", "1764");
  TSCSIDevice &dev = Select("w");
  ASSERT_EQ(dev.DiscStatus(), 1);
  // The drive-restore sequence is held up for the 10 s command time-out by
  // one request that never completes, so the 100 % it follows is seen.
  Fault("w", "pending count=1 skip=1 op=0x1E");
  const TEraseRun run = Erase(dev, 1);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_TRUE(run.Done);
  EXPECT_FALSE(run.WithError);
  EXPECT_EQ(run.MaxProgress, 100);
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_TRUE(Logged(">>> STARTING ERASE PROCESS ON CD-RW AT 10X(1,764 KB/s)"));
  EXPECT_EQ(Count(run.CdbsAtDone, "A11100000000000000000000"), 1u);  // BLANK, minimal, immediate
  ExpectRestoreAtEnd(run.CdbsAtDone);
  EXPECT_EQ(dev.DiscStatus(), 0);
  EXPECT_EQ(dev.SessionCount(), 0);
}

TEST_F(EraseTest, CompleteEraseOfDVDRW) {
  Insert("w", "DVD-RW", 0, MakeImage(3000, 3000));
  TSCSIDevice &dev = Select("w");
  ASSERT_EQ(dev.GetDiscType(), dtDVDRWSequential);
  const TEraseRun run = Erase(dev, 0);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_TRUE(run.Done);
  EXPECT_FALSE(run.WithError);
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_EQ(Count(run.CdbsAtDone, "A11000000000000000000000"), 1u);  // BLANK, complete, immediate
  EXPECT_TRUE(std::any_of(messages_.begin(), messages_.end(), [](const std::string &m) {
    return StartsWith(m, ">>> STARTING ERASE PROCESS ON DVD-RW AT ") && m.find("X(") != std::string::npos;
  }));
  ExpectRestoreAtEnd(run.CdbsAtDone);
  EXPECT_EQ(dev.DiscStatus(), 0);
}

TEST_F(EraseTest, QuickEraseOfDVDPlusRWFormatsAndWritesZeros) {
  Insert("w", "DVD+RW", 0, MakeImage(100, 100), true);
  TSCSIDevice &dev = Select("w");
  ASSERT_EQ(dev.UsedBlocks(), 100u);
  const TEraseRun run = Erase(dev, 1);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_FALSE(run.WithError);
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_EQ(Count(run.CdbsAtDone, "041100000000"), 1u);  // FORMAT UNIT, format data, code 1
  EXPECT_EQ(Count(run.CdbsAtDone, "A1"), 0u);
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 65u);
  EXPECT_EQ(Count(run.CdbsAtDone, "2A000000080000002000"), 1u);  // the last at LBA 2,048
  EXPECT_EQ(Count(run.CdbsAtDone, "5B0003000000"), 1u);
  ExpectRestoreAtEnd(run.CdbsAtDone);
  EXPECT_EQ(dev.UsedBlocks(), 0u);  // the volume descriptors are gone
}

TEST_F(EraseTest, FullEraseOfDVDPlusRWStopsAtTheFirstRefusedWrite) {
  Insert("w", "DVD+RW", 0, "", true);
  TSCSIDevice &dev = Select("w");
  Fault("w", "writeerror count=1 lba=3200");
  const TEraseRun run = Erase(dev, 0);
  ASSERT_TRUE(run.Started);
  // The rest of the disc still holds its old data: not a finished erase.
  EXPECT_TRUE(run.WithError);
  EXPECT_EQ(dev.EraseErrorText.rfind("WRITE REFUSED: MEDIUM ERROR (WRITE ERROR)", 0), 0u) << dev.EraseErrorText;
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 101u);  // 100 accepted, the 101st refused
  EXPECT_EQ(Count(run.CdbsAtDone, "35"), 0u);
  EXPECT_EQ(Count(run.CdbsAtDone, "5B"), 0u);
  ExpectRestoreAtEnd(run.CdbsAtDone);
}

TEST_F(EraseTest, DVDRAMQuickWritesZerosOnly) {
  Insert("w", "DVD-RAM", 0, MakeImage(100, 100), true);
  TSCSIDevice &dev = Select("w");
  const TEraseRun run = Erase(dev, 1);
  ASSERT_TRUE(run.Started);
  EXPECT_FALSE(run.WithError);
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_EQ(Count(run.CdbsAtDone, "A1"), 0u);
  EXPECT_EQ(Count(run.CdbsAtDone, "04"), 0u);
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 11u + 65u);
  EXPECT_EQ(Count(run.CdbsAtDone, "35"), 2u);
  ExpectRestoreAtEnd(run.CdbsAtDone);
  EXPECT_EQ(dev.ReadISOVolumeSize(), 0u);
}

TEST_F(EraseTest, DVDRAMCompleteFormats) {
  Insert("w", "DVD-RAM", 0, "", true);
  TSCSIDevice &dev = Select("w");
  const TEraseRun run = Erase(dev, 0);
  ASSERT_TRUE(run.Started);
  EXPECT_FALSE(run.WithError);
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_EQ(Count(run.CdbsAtDone, "041100000000"), 1u);
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 0u);
  ExpectRestoreAtEnd(run.CdbsAtDone);
}

TEST_F(EraseTest, WriteOnceMediumIsRefused) {
  Insert("w", "CD-R");
  TSCSIDevice &dev = Select("w");
  EXPECT_FALSE(dev.IsRewritable());
  const TEraseRun run = Erase(dev, 1);
  EXPECT_FALSE(run.Started);
  EXPECT_TRUE(run.Done);  // raised at once, with the error flag
  EXPECT_TRUE(run.WithError);
  EXPECT_FALSE(dev.Erasing());
  EXPECT_EQ(dev.ErrorText.rfind("ILLEGAL REQUEST", 0), 0u) << dev.ErrorText;
}

TEST_F(EraseTest, DriveThatNeverGetsReadyIsNotErased) {
  Insert("w", "CD-RW");
  TSCSIDevice &dev = Select("w");
  Fault("w", "notready count=1000");
  const TEraseRun run = Erase(dev, 1);
  EXPECT_FALSE(run.Started);
  EXPECT_FALSE(run.Done);  // refused before any erase command: no event
  EXPECT_EQ(Count(LoggedCdbs("w"), "A1"), 0u);
}

TEST_F(EraseTest, LongEraseQuirkWaitsForTheDrive) {
  AddDrive("t", "dvd-writer", "TDK", "CDRW-SLOW", "1.0");
  Setting("t", "clock", "1000");
  Insert("t", "CD-RW");
  TSCSIDevice &dev = Select("t");
  ASSERT_TRUE(QuirkLongErase);
  bool done = false, withError = true;
  dev.OnEraseDone = [&](TObject *, bool e) {
    done = true;
    withError = e;
  };
  ClearLog("t");
  ASSERT_TRUE(dev.EraseDisc(1)) << dev.ErrorText;
  while (dev.Erasing())
    ov::CheckSynchronize(5);
  dev.WaitEraseThread();
  EXPECT_TRUE(done);
  EXPECT_FALSE(withError);
  const std::vector<std::string> cdbs = LoggedCdbs("t");
  const auto blank = std::find(cdbs.begin(), cdbs.end(), "A11100000000000000000000");
  ASSERT_NE(blank, cdbs.end());
  // The quirk's wait polls with TEST UNIT READY right after the BLANK.
  ASSERT_NE(blank + 1, cdbs.end());
  EXPECT_EQ(*(blank + 1), "000000000000");
  EXPECT_EQ(dev.DiscStatus(), 0);
}

TEST_F(EraseTest, SlowReadyQuirkPollsWithTestUnitReadyFirst) {
  AddDrive("p", "dvd-writer", "PIONEER", "DVD-RW  DVR-104", "1.0");
  Insert("p", "CD-RW");
  TSCSIDevice &dev = Select("p");
  ASSERT_TRUE(dev.QuirkSlowReady);
  Fault("p", "notready count=2");
  ClearLog("p");
  EXPECT_TRUE(dev.WaitUnitReady(30000, 1000));
  const std::vector<std::string> cdbs = LoggedCdbs("p");
  // Two refused and one accepted TEST UNIT READY, then the usual polling.
  ASSERT_GE(cdbs.size(), 4u);
  EXPECT_EQ(cdbs[0], "000000000000");
  EXPECT_EQ(cdbs[1], "000000000000");
  EXPECT_EQ(cdbs[2], "000000000000");
  EXPECT_EQ(cdbs[3].substr(0, 2), "51");
}

// The tray is locked from before the erase command until the drive is
// restored.
void ExpectTrayLockedAround(const std::vector<std::string> &cdbs, const std::string &eraseCommand) {
  const auto lock = std::find(cdbs.begin(), cdbs.end(), "1E0000000100");
  const auto erase = std::find_if(cdbs.begin(), cdbs.end(),
                                  [&](const std::string &c) { return StartsWith(c, eraseCommand); });
  ASSERT_NE(lock, cdbs.end());
  ASSERT_NE(erase, cdbs.end());
  EXPECT_LT(lock - cdbs.begin(), erase - cdbs.begin());
  const auto unlock = std::find(erase, cdbs.end(), "1E0000000000");
  EXPECT_NE(unlock, cdbs.end());
  EXPECT_EQ(std::find(unlock, cdbs.end(), "1E0000000100"), cdbs.end());
}

TEST_F(EraseTest, TrayIsLockedWhileTheEraseRuns) {
  Insert("w", "CD-RW", 0, MakeImage(3000, 3000));
  TSCSIDevice &dev = Select("w");
  const TEraseRun run = Erase(dev, 1);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_FALSE(run.WithError);
  ExpectTrayLockedAround(run.CdbsAtDone, "A111");
  EXPECT_TRUE(dev.EraseErrorText.empty());
}

TEST_F(EraseTest, MediumGoneMidEraseEndsWithAnError) {
  Insert("w", "DVD-RW", 0, MakeImage(3000, 3000));
  Setting("w", "clock", "500");  // the blank lasts a few seconds: time to take the disc out
  TSCSIDevice &dev = Select("w");
  bool done = false, withError = false;
  dev.OnEraseDone = [&](TObject *, bool e) {
    done = true;
    withError = e;
  };
  ClearLog("w");
  ASSERT_TRUE(dev.EraseDisc(0)) << dev.ErrorText;
  // Taken out by hand while the drive blanks: from now on the drive answers
  // "medium not present" to everything.
  Fault("w", "nomedium count=-1");
  const auto start = std::chrono::steady_clock::now();
  while (dev.Erasing() && std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
    ov::CheckSynchronize(5);
  dev.WaitEraseThread();
  EXPECT_TRUE(done);
  EXPECT_TRUE(withError);
  EXPECT_NE(dev.EraseErrorText.find("MEDIUM NOT PRESENT"), std::string::npos) << dev.EraseErrorText;
  const std::vector<std::string> cdbs = LoggedCdbs("w");
  ExpectTrayLockedAround(cdbs, "A110");
  // It ended at the first answer without a medium: no REQUEST SENSE polling
  // to the time limit.
  EXPECT_LT(Count(cdbs, "03"), 3u);
}

TEST_F(EraseTest, RefusedZeroWritesEndWithAnError) {
  Insert("w", "DVD+RW", 0, MakeImage(100, 100), true);
  TSCSIDevice &dev = Select("w");
  Fault("w", "unformatted count=-1");
  const TEraseRun run = Erase(dev, 1);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_TRUE(run.Done);
  EXPECT_TRUE(run.WithError);
  EXPECT_LT(run.MaxProgress, 100);
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 1u);  // stops at the first refusal
  EXPECT_EQ(Count(run.CdbsAtDone, "5B"), 0u);
  EXPECT_NE(dev.EraseErrorText.find("WRITE REFUSED"), std::string::npos) << dev.EraseErrorText;
  ExpectTrayLockedAround(run.CdbsAtDone, "0411");
}

TEST_F(EraseTest, DVDRAMQuickEraseWithRefusedWritesIsNotStarted) {
  Insert("w", "DVD-RAM", 0, MakeImage(100, 100), true);
  TSCSIDevice &dev = Select("w");
  Fault("w", "unformatted count=-1");
  const TEraseRun run = Erase(dev, 1);
  EXPECT_FALSE(run.Started);
  EXPECT_TRUE(run.Done);
  EXPECT_TRUE(run.WithError);
  EXPECT_FALSE(dev.Erasing());
  EXPECT_NE(dev.EraseErrorText.find("ILLEGAL REQUEST"), std::string::npos) << dev.EraseErrorText;
  const std::vector<std::string> cdbs = LoggedCdbs("w");
  EXPECT_EQ(Count(cdbs, "2A00"), 1u);
  ASSERT_FALSE(cdbs.empty());
  EXPECT_EQ(cdbs.back(), "1E0000000000");  // unlocked again
}

TEST_F(EraseTest, AbortStopsThePollingAndRestoresTheDrive) {
  Insert("w", "DVD-RW", 0, MakeImage(3000, 3000));
  Setting("w", "clock", "1");  // a complete blank now takes about half an hour
  TSCSIDevice &dev = Select("w");
  bool done = false, withError = false;
  dev.OnEraseDone = [&](TObject *, bool e) {
    done = true;
    withError = e;
  };
  ov::SetTimeScale(1.0);
  ClearLog("w");
  ASSERT_TRUE(dev.EraseDisc(0)) << dev.ErrorText;
  dev.AbortErase();
  const auto start = std::chrono::steady_clock::now();
  while (dev.Erasing() && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
    ov::CheckSynchronize(5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  dev.WaitEraseThread();
  EXPECT_TRUE(done);
  EXPECT_TRUE(withError);
  EXPECT_EQ(dev.EraseErrorText, "OPERATION ABORTED BY USER");
  const std::vector<std::string> cdbs = LoggedCdbs("w");
  EXPECT_NE(std::find(cdbs.begin(), cdbs.end(), "1E0000000000"), cdbs.end());
}

class BDEraseTest : public EraseTest {
protected:
  void SetUp() override {
    EraseTest::SetUp();
    std::string err;
    ASSERT_TRUE(vrec::RemoveDrive("w", err)) << err;
    AddDrive("w", "bd-writer");
    Setting("w", "clock", "1000");
  }
  std::string SettingValue(const std::string &key) {
    std::ifstream f(folder_ + "/w/settings");
    for (std::string line; std::getline(f, line);)
      if (line.rfind(key + " = ", 0) == 0)
        return line.substr(key.size() + 3);
    return "";
  }
};

TEST_F(BDEraseTest, QuickEraseOfBDREFormatsWithoutSparesAndRemovesTheVolume) {
  Insert("w", "BD-RE", 0, MakeImage(100, 100), true);
  TSCSIDevice &dev = Select("w");
  ASSERT_EQ(dev.GetDiscType(), dtBDRE);
  ASSERT_EQ(dev.UsedBlocks(), 100u);
  const TEraseRun run = Erase(dev, 1);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_FALSE(run.WithError) << dev.EraseErrorText;
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_TRUE(Logged(">>> STARTING ERASE PROCESS ON BD-RE AT 2.0X(8,990 KB/s)"));
  EXPECT_EQ(Count(run.CdbsAtDone, "041100000000"), 1u);
  EXPECT_EQ(Count(run.CdbsAtDone, "A1"), 0u);
  EXPECT_EQ(Count(run.CdbsAtDone, "5B"), 0u) << "BD-RE has nothing to close";
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 65u);
  ExpectRestoreAtEnd(run.CdbsAtDone);
  EXPECT_EQ(SettingValue("no_spares"), "1");
  EXPECT_EQ(dev.UsedBlocks(), 0u);
}

TEST_F(BDEraseTest, CompleteEraseOfBDRECertifiesWithTheDrivesProgress) {
  Insert("w", "BD-RE-DL", 0, MakeImage(100, 100), true);
  // Certifying takes the drive 5,600 s of its time: 2.8 s here, long enough
  // for the drive to report its progress many times.
  Setting("w", "clock", "2000");
  TSCSIDevice &dev = Select("w");
  ASSERT_EQ(dev.GetDiscType(), dtBDREDL);
  const TEraseRun run = Erase(dev, 0);
  ASSERT_TRUE(run.Started) << dev.ErrorText;
  EXPECT_FALSE(run.WithError) << dev.EraseErrorText;
  EXPECT_FALSE(run.ProgressWentBack);
  EXPECT_GE(run.MaxProgress, 90);
  EXPECT_GE(run.Steps, 5);
  EXPECT_EQ(Count(run.CdbsAtDone, "041100000000"), 1u);
  EXPECT_EQ(Count(run.CdbsAtDone, "2A00"), 0u) << "the certification cleared the disc";
  ExpectRestoreAtEnd(run.CdbsAtDone);
  EXPECT_EQ(SettingValue("no_spares"), "0");
  EXPECT_EQ(dev.ReadISOVolumeSize(), 0u);
}
