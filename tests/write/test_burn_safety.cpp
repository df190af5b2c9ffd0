// Burns that go wrong never cost a session that was on the disc: an open
// session is closed before the next one, the descriptors of overwritable
// media go out last, nothing is formatted before the checks, and closes,
// space and the tray are reported as they are.
#include "BurnFixture.h"

class BurnSafety : public BurnTest {
protected:
  // Session N of the disc (0: the whole medium) as the recorder holds it.
  std::string Export(int session) {
    const std::string out = root_ + "/export.iso";
    std::string err;
    EXPECT_TRUE(vrec::ExportMedium("w", out, session, err)) << err;
    return ReadFile(out);
  }

  // The file Name of session Session read back through the library's import
  // and extract, or "(missing)".
  std::string ReadBack(int session, const std::string &name) {
    TOrvBurner &b = Burner();
    b.ResetCompilation(65535, 8191);
    if (!b.ImportSession(session, nullptr))
      return "(no session)";
    TFEntry *e = b.FindFile(b.Root(), name);
    if (!e)
      return "(missing)";
    const std::string out = root_ + "/extracted";
    std::filesystem::remove(out);
    if (b.ExtractFile(e, out) != 1)
      return "(unreadable)";
    return ReadFile(out);
  }

  // A fresh source folder holding only Name.
  std::string OnlySource(const std::string &name, size_t n, unsigned seed) {
    std::filesystem::remove_all(src_);
    std::filesystem::create_directories(src_);
    return ReadFile(Source(name, n, seed));
  }

  // Burns Name as the disc's next session; the data written.
  std::string BurnSession(const std::string &name, size_t n, unsigned seed) {
    const std::string data = OnlySource(name, n, seed);
    EXPECT_EQ(BurnAndWait(), "");
    return data;
  }

  // Sessions the drive counts on the disc.
  int Sessions() { return Burner().SessionCount(); }

  // Reads after the first write (the verify's, and the copy of what sector
  // 0's block keeps) that lack the Force Unit Access bit.
  size_t ReadsWithoutFUA() {
    size_t n = 0;
    bool written = false;
    for (const std::string &c : LoggedCdbs("w")) {
      written = written || c.compare(0, 2, "2A") == 0;
      n += written && c.compare(0, 2, "28") == 0 && c.compare(2, 2, "08") != 0;
    }
    return n;
  }
};

TEST_F(BurnSafety, AnOpenLastSessionIsRefusedUntilClosedAndTheNextSessionIsSeen) {
  // A burn that ended early leaves its session open. The next one must
  // neither write into it (and be invisible) nor fall back to sector 0.
  for (const std::string m : {"DVD-R", "CD-R", "DVD+R"}) {
    SCOPED_TRACE(m);
    Drive(m);
    const std::string first = BurnSession("a.bin", 200000, 1);
    OnlySource("b.bin", 600000, 2);
    Fault("w", "nomedium op=2A count=-1 skip=3");
    EXPECT_NE(BurnAndWait().find("MEDIUM NOT PRESENT"), std::string::npos) << error_;
    vrec::ClearFaults("w", error_);

    ClearLog("w");
    EXPECT_EQ(BurnAndWait(), kSessionIncompleteText);
    EXPECT_EQ(CountOp("2A") + CountOp("04") + CountOp("5B"), 0u) << "nothing is written or closed";
    ExpectDriveUsable();

    ASSERT_TRUE(Burner().CloseSession(false)) << Burner().ErrorText;
    const std::string third = OnlySource("c.bin", 300000, 3);
    Burner().Verify = true;
    EXPECT_EQ(BurnAndWait(), "");
    Burner().Verify = false;
    EXPECT_EQ(Sessions(), 3);
    EXPECT_TRUE(ReadBack(-1, "c.bin") == third) << "the new session is the disc's last";
    EXPECT_TRUE(ReadBack(1, "a.bin") == first);
  }
}

TEST_F(BurnSafety, ASequentialDiscWithoutANextWritableAddressIsNotWritten) {
  Drive("DVD+R");
  BurnSession("a.bin", 100000, 1);
  const std::string before = Export(0);
  OnlySource("b.bin", 100000, 2);
  Fault("w", "notready op=52 count=-1");
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), kNoWritableAddressText);
  EXPECT_EQ(CountOp("2A"), 0u) << "never at sector 0 by fallback";
  vrec::ClearFaults("w", error_);
  EXPECT_TRUE(Export(0) == before);
  ExpectDriveUsable();
}

TEST_F(BurnSafety, AnAppendableSequentialDVDRWGetsAnIncrementalSessionAndIsNeverFormatted) {
  // Session 1 made by a peer: an ISO image of its own, appended as a session.
  const std::string data1 = OnlySource("a.bin", 300000, 1);
  Compile();
  const std::string image = root_ + "/s1.iso";
  ASSERT_TRUE(Burner().SaveImageFile(image, true));
  Drive("DVD-RW", false, 60000);
  ASSERT_TRUE(vrec::AppendSession("w", image, -1, error_)) << error_;
  const std::string session1 = Export(1);

  // Too large: refused with nothing changed.
  OnlySource("big.bin", 150 * 1048576, 2);
  ClearLog("w");
  EXPECT_NE(BurnAndWait().find("NEEDS"), std::string::npos) << error_;
  EXPECT_EQ(CountOp("04") + CountOp("2A") + CountOp("A1"), 0u) << "no format, blank or write";
  EXPECT_TRUE(Export(1) == session1);

  // Fits: a second session after the first.
  const std::string data2 = OnlySource("b.bin", 400000, 3);
  ClearLog("w");
  Burner().Verify = true;
  EXPECT_EQ(BurnAndWait(), "");
  Burner().Verify = false;
  EXPECT_EQ(CountOp("04"), 0u);
  EXPECT_EQ(Sessions(), 2);
  EXPECT_TRUE(Export(1) == session1);
  EXPECT_TRUE(ReadBack(-1, "b.bin") == data2);
  EXPECT_TRUE(ReadBack(1, "a.bin") == data1);
}

TEST_F(BurnSafety, OverwritableMediaGetTheirSectorZeroDescriptorsLastAndVerified) {
  for (const std::string m : {"DVD+RW", "DVD-RAM", "DVD-RW-RO"}) {
    SCOPED_TRACE(m);
    Drive(m, true);
    const std::string first = BurnSession("a.bin", 300000, 1);
    const std::string system = Export(0).substr(0, 64 * 2048);

    // A write that fails part way leaves sector 0 on the first session.
    OnlySource("b.bin", 900000, 2);
    Fault("w", "nomedium op=2A count=-1 skip=4");
    EXPECT_NE(BurnAndWait().find("MEDIUM NOT PRESENT"), std::string::npos) << error_;
    vrec::ClearFaults("w", error_);
    EXPECT_TRUE(Export(0).substr(0, 64 * 2048) == system);
    EXPECT_TRUE(ReadBack(-1, "a.bin") == first);

    // A burn that succeeds writes sector 0 after the session, flushes it,
    // and reads it back with the session, from the medium.
    const std::string third = OnlySource("c.bin", 500000, 3);
    ClearLog("w");
    Burner().Verify = true;
    EXPECT_EQ(BurnAndWait(), "");
    Burner().Verify = false;
    const int64_t sent = SectorsSent(dtDVDPlusRW, Burner().SessionSectors());
    EXPECT_EQ(Burner().VerifyText, "VERIFY: " + std::to_string(sent + 32) + " sectors equal");
    std::vector<std::string> writes;
    for (const std::string &c : LoggedCdbs("w"))
      if (c.compare(0, 2, "2A") == 0 || c.compare(0, 2, "35") == 0)
        writes.push_back(c.substr(0, 2) + (c.compare(0, 2, "2A") == 0 ? c.substr(4, 8) : ""));
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(writes[0].substr(0, 2), "2A");
    EXPECT_NE(writes[0], "2A00000000") << "the session first";
    EXPECT_EQ(writes[writes.size() - 3], "35");
    EXPECT_EQ(writes[writes.size() - 2], "2A00000000");
    EXPECT_EQ(writes.back(), "35");
    EXPECT_EQ(ReadsWithoutFUA(), 0u);
    EXPECT_TRUE(ReadBack(-1, "c.bin") == third);
  }
}

TEST_F(BurnSafety, VerifyReadsTheMediumAndCatchesACorruptSectorZeroBlock) {
  Drive("DVD+RW", true);
  BurnSession("a.bin", 300000, 1);
  OnlySource("b.bin", 300000, 2);
  Fault("w", "corrupt lba=16 count=-1");
  Burner().Verify = true;
  // The sector is named through a one-byte tag per sector; the descriptors
  // carry the burn's time, so one burn in 256 names only the block's start.
  const std::string result = BurnAndWait();
  EXPECT_TRUE(result == "VERIFY: SECTOR 16 DIFFERS FROM THE DATA SENT" ||
              result == "VERIFY: SECTOR 0 DIFFERS FROM THE DATA SENT")
      << result;
}

TEST_F(BurnSafety, AFailedCloseIsAnErrorThatACloseTrackRepairs) {
  DiscWriteLimits.CloseAttempts = 3;
  for (const std::string m : {"DVD+R", "CD-R", "DVD-R"}) {
    SCOPED_TRACE(m);
    Drive(m);
    const std::string data = OnlySource("a.bin", 200000, 1);
    Fault("w", "nomedium op=5B count=-1");
    const std::string e = BurnAndWait();
    EXPECT_EQ(e.rfind(kCloseFailedText, 0), 0u) << e;
    vrec::ClearFaults("w", error_);
    ExpectDriveUsable();
    ASSERT_TRUE(Burner().CloseSession(false)) << Burner().ErrorText;
    EXPECT_EQ(Sessions(), 1);
    EXPECT_TRUE(ReadBack(1, "a.bin") == data);
    BurnSession("b.bin", 100000, 2);
    EXPECT_EQ(Sessions(), 2);
  }
}

TEST_F(BurnSafety, FinalizeClosesEveryWriteOnceDVD) {
  for (const std::string m : {"DVD+R", "DVD-R", "DVD+R-DL", "CD-R"}) {
    SCOPED_TRACE(m);
    Drive(m);
    Burner().FinalizeDisc = true;
    BurnSession("a.bin", 100000, 1);
    Burner().FinalizeDisc = false;
    EXPECT_EQ(Burner().DiscStatus(), 2) << "finalized";
    ClearLog("w");
    OnlySource("b.bin", 1000, 2);
    EXPECT_EQ(BurnAndWait(), "THE DISC IS CLOSED: NOTHING CAN BE ADDED TO IT");
  }
  // Without it they stay appendable.
  for (const std::string m : {"DVD+R", "DVD-R"}) {
    Drive(m);
    BurnSession("a.bin", 100000, 1);
    EXPECT_EQ(Burner().DiscStatus(), 1) << m;
  }
}

TEST_F(BurnSafety, SpaceChecksCountTheRoundUpAndTheVolumeAlreadyOnTheDisc) {
  // The size of a compilation of one file of Sectors data sectors.
  const auto sessionOf = [&](int64_t sectors) {
    OnlySource("a.bin", static_cast<size_t>(sectors * 2048), 1);
    Compile();
    Burner().PrepareLayout(false, nullptr);
    return Burner().SessionSectors();
  };
  const int64_t overhead = sessionOf(1000) - 1000;

  // 2,218 sectors need 2,240 on a DVD: refused before any write, not ended
  // by the drive at the last block with the track left open.
  ASSERT_EQ(sessionOf(2218 - overhead), 2218);
  Drive("DVD+R", false, 2225);
  ClearLog("w");
  const std::string e = BurnAndWait();
  EXPECT_NE(e.find("2240 SECTORS"), std::string::npos) << e;
  EXPECT_NE(e.find("2225 SECTORS"), std::string::npos) << e;
  EXPECT_EQ(CountOp("2A"), 0u);

  // A compilation that fills the free space exactly is burned.
  ASSERT_EQ(sessionOf(2240 - overhead), 2240);
  for (const std::string m : {"DVD+R", "DVD-R"}) {
    SCOPED_TRACE(m);
    Drive(m, false, 2240);
    Burner().Verify = true;
    EXPECT_EQ(BurnAndWait(), "");
    Burner().Verify = false;
    EXPECT_EQ(Burner().DiscStatus(), 2) << "full, so complete";
  }

  // On overwritable media the free space starts after the volume there: a
  // session that would fit the empty disc but not after it is refused.
  for (const std::string m : {"DVD+RW", "DVD-RAM"}) {
    SCOPED_TRACE(m);
    Drive(m, true, 8000);
    BurnSession("a.bin", 3000 * 2048, 1);
    const uint32_t volume = Burner().ReadISOVolumeSize();
    ASSERT_GT(volume, 3000u);
    const int64_t second = sessionOf(6000 - overhead);
    ASSERT_LT(second, 8000);
    ClearLog("w");
    const std::string refused = BurnAndWait();
    EXPECT_NE(refused.find(std::to_string(SectorsSent(dtDVDPlusRW, Burner().SessionSectors())) + " SECTORS"),
              std::string::npos)
        << refused;
    EXPECT_NE(refused.find(std::to_string(8000 - volume) + " SECTORS"), std::string::npos) << refused;
    EXPECT_EQ(CountOp("2A"), 0u);
  }
}

TEST_F(BurnSafety, TheTrayIsUnlockedAfterATimeOutEvenWhenLaterCommandsAreCutShort) {
  // The command line stops sending commands after a time-out; the unlock
  // must still go out.
  Drive("DVD-R");
  OnlySource("a.bin", 100000, 1);
  Burner().StopAfterTimeout = true;
  Burner().OnFinalizingTrack = [&](TObject *) { Fault("w", "pending op=51 count=-1"); };
  EXPECT_EQ(BurnAndWait(), kNotRespondingText);
  std::ifstream f(folder_ + "/w/settings");
  const std::string text((std::istreambuf_iterator<char>(f)), {});
  EXPECT_NE(text.find("prevent = 0"), std::string::npos);
}
