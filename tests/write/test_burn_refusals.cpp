// Burns refused before anything is written, and what the last DVD block
// carries past the data.
#include "BurnFixture.h"

TEST_F(BurnTest, TestWriteRefusedWhereTheMediumCannotSimulate) {
  for (const std::string media : {"DVD+R", "DVD+R-DL", "DVD+RW", "DVD-RAM", "DVD-RW"}) {
    SCOPED_TRACE(media);
    Drive(media, media == "DVD+RW" || media == "DVD-RW");
    Source("a.bin", 1000);
    Burner().TestWrite = true;
    ClearLog("w");
    EXPECT_EQ(BurnAndWait().rfind("TEST WRITE NOT POSSIBLE", 0), 0u) << error_;
    EXPECT_EQ(CountOp("2A") + CountOp("04"), 0u) << "nothing written or formatted";
    ExpectDriveUsable();
  }
}

TEST_F(BurnTest, TestWritePossibleOnlyWhereMediumAndDriveSimulate) {
  for (const auto &[media, possible] : std::vector<std::pair<std::string, bool>>{
           {"CD-R", true}, {"CD-RW", true}, {"DVD-R", true}, {"DVD-RW", false}, {"DVD+R", false},
           {"DVD+RW", false}, {"DVD-RAM", false}}) {
    SCOPED_TRACE(media);
    Drive(media, media == "DVD+RW" || media == "DVD-RW");
    EXPECT_EQ(Burner().TestWritePossible(Burner().GetDiscType()), possible);
  }
  // A drive without test writes cannot simulate even on a CD-R.
  Drive("CD-R");
  Setting("w", "test_write", "0");
  EXPECT_FALSE(Burner().TestWritePossible(dtCDR));
}

TEST_F(BurnTest, TestWriteEndsBeforeWritingWhenTheDriveRefusesItsPage) {
  // A first test write shows how many MODE SELECTs come before the
  // writer's own; the second has the writer's refused.
  Drive("CD-R");
  Source("a.bin", 1000);
  Burner().TestWrite = true;
  ClearLog("w");
  ASSERT_EQ(BurnAndWait(), "");
  size_t before = 0;
  for (const std::string &c : LoggedCdbs("w")) {
    if (c.compare(0, 2, "5C") == 0)
      break;
    before += c.compare(0, 2, "55") == 0;
  }
  Fault("w", "notready op=55 count=1 skip=" + std::to_string(before));
  ClearLog("w");
  EXPECT_EQ(BurnAndWait().rfind("TEST WRITE NOT POSSIBLE", 0), 0u) << error_;
  EXPECT_EQ(CountOp("2A"), 0u);
  ExpectDriveUsable();
  EXPECT_EQ(Burner().DiscStatus(), 0);
}

TEST_F(BurnTest, ClosedOrTooSmallDiscsAreRefusedWithTheSizes) {
  Drive("CD-R");
  Source("a.bin", 1000);
  Burner().FinalizeDisc = true;
  ASSERT_EQ(BurnAndWait(), "");
  ClearLog("w");
  EXPECT_NE(BurnAndWait().find("CLOSED"), std::string::npos) << error_;
  EXPECT_EQ(CountOp("2A"), 0u);
  ExpectDriveUsable();

  Drive("DVD+R", false, 2000);
  Source("b.bin", 5 * 1048576);
  ClearLog("w");
  const std::string e = BurnAndWait();
  EXPECT_NE(e.find(std::to_string(SectorsSent(dtDVDPlusR, Burner().SessionSectors())) + " SECTORS"),
            std::string::npos)
      << e;
  EXPECT_NE(e.find("2000 SECTORS"), std::string::npos) << e;
  EXPECT_EQ(CountOp("2A"), 0u);
  ExpectDriveUsable();
}

TEST_F(BurnTest, LastDVDBlockCarriesZerosPastTheDataAndFitsTheReservation) {
  Drive("DVD-R");
  Source("a.bin", 900000, 7);  // random, so stale bytes of a block would show
  EXPECT_EQ(BurnAndWait(), "");
  const int64_t sectors = Burner().SessionSectors();
  const int64_t end = (sectors + 31) / 32 * 32;
  ASSERT_NE(sectors % 32, 0) << "the last block must be partial";
  EXPECT_EQ(Burner().BytesWritten.load(), sectors * 2048);
  EXPECT_EQ(CountOp("2A"), static_cast<size_t>(end / 32));
  for (const std::string &c : LoggedCdbs("w")) {
    if (c.compare(0, 2, "53") == 0) {
      EXPECT_EQ(std::stol(c.substr(10, 8), nullptr, 16), end) << "RESERVE TRACK";
    }
  }
  const std::string out = root_ + "/disc.iso";
  ASSERT_TRUE(vrec::ExportMedium("w", out, 1, error_)) << error_;
  std::ifstream f(out, std::ios::binary);
  const std::string disc((std::istreambuf_iterator<char>(f)), {});
  ASSERT_GE(static_cast<int64_t>(disc.size()), end * 2048);
  EXPECT_EQ(disc.find_first_not_of('\0', static_cast<size_t>(sectors * 2048)), std::string::npos);
}
