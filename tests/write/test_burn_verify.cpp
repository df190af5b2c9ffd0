// Image files burned from sector 0, and the read-back verify of a burn.
#include "BurnFixture.h"

class BurnVerify : public BurnTest {
protected:
  std::string Export() {
    const std::string out = root_ + "/disc" + std::to_string(exports_++) + ".iso";
    std::string err;
    EXPECT_TRUE(vrec::ExportMedium("w", out, 0, err)) << err;
    return ReadFile(out);
  }
  int exports_ = 0;
};

TEST_F(BurnVerify, ImageOfAnyNameAndSizeIsBurnedFromSectorZeroAndVerified) {
  for (const std::string m : {"DVD+RW", "CD-R"}) {
    SCOPED_TRACE(m);
    Drive(m, m == "DVD+RW");
    // 400 whole sectors and a partial one; the name says nothing of the format.
    const std::string image = Source("backup.BIN", 400 * 2048 + 700, 11);
    Burner().Verify = true;
    ClearLog("w");
    ASSERT_EQ(BurnAndWait(image), "");
    EXPECT_EQ(Burner().VerifyText, "VERIFY: 401 sectors equal");
    EXPECT_EQ(Burner().BytesWritten.load(), 401 * 2048);
    const std::string disc = Export();
    const std::string data = ReadFile(image);
    ASSERT_GE(disc.size(), 401u * 2048);
    EXPECT_TRUE(disc.compare(0, data.size(), data) == 0);
    EXPECT_EQ(disc.find_first_not_of('\0', data.size()), std::string::npos) << "the last sector is padded with zeros";
    // Blocks of 27 sectors on CD, 32 on DVD, the first at LBA 0.
    const auto cdbs = LoggedCdbs("w");
    const auto first = std::find_if(cdbs.begin(), cdbs.end(), [](const std::string &c) { return c.compare(0, 2, "2A") == 0; });
    ASSERT_NE(first, cdbs.end());
    EXPECT_EQ(first->substr(2, 16), m == "CD-R" ? "000000000000001B" : "0000000000000020");
    ExpectDriveUsable();
  }
}

TEST_F(BurnVerify, ImagesThatCannotBeBurnedAreRefusedBeforeWriting) {
  Drive("DVD+R");
  ClearLog("w");
  const std::string missing = root_ + "/none.iso";
  EXPECT_EQ(BurnAndWait(missing), "CAN'T OPEN FILE \"" + missing + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_NE(BurnAndWait(src_).rfind("CAN'T", 0), std::string::npos) << "a folder is no image";
  // Larger than the medium: both sizes named.
  Drive("DVD+R", false, 3000);
  const std::string big = Source("big.iso", 4000 * 2048);
  const std::string e = BurnAndWait(big);
  EXPECT_NE(e.find("4000 SECTORS"), std::string::npos) << e;
  EXPECT_NE(e.find("3000 SECTORS"), std::string::npos) << e;
  // A sequential disc that already holds a session cannot take an image
  // made for sector 0.
  const std::string small = Source("small.iso", 100 * 2048);
  ASSERT_EQ(BurnAndWait(small), "");
  const std::string again = BurnAndWait(small);
  EXPECT_NE(again.find("BLANK"), std::string::npos) << again;
  EXPECT_EQ(CountOp("2A"), 4u) << "only the one burn wrote";
  ExpectDriveUsable();
}

TEST_F(BurnVerify, BurnedCompilationHoldsEveryFileWhereTheLayoutPutIt) {
  Drive("DVD+RW", true);
  Source("a.bin", 500000, 3);
  Source("sub/b.txt", 12345, 4);
  Source("sub/c.bin", 70000, 5);
  Burner().Verify = true;
  ASSERT_EQ(BurnAndWait(), "");
  const int64_t sectors = Burner().SessionSectors();
  EXPECT_EQ(Burner().VerifyText, "VERIFY: " + std::to_string((sectors + 31) / 32 * 32) + " sectors equal");
  // Every file lies where the layout put it, after the volume descriptor.
  const std::string disc = Export();
  EXPECT_EQ(disc.compare(16 * 2048 + 1, 5, "CD001"), 0);
  int files = 0;
  for (const TFEntry *e : Burner().FileList) {
    if (!e->HasSource())
      continue;
    const std::string data = ReadFile(e->SourcePath());
    const size_t at = (static_cast<size_t>(Burner().FirstFileAddress) + e->ISOAddress) * 2048;
    ASSERT_GE(disc.size(), at + data.size());
    EXPECT_TRUE(disc.compare(at, data.size(), data) == 0) << e->SourcePath();
    ++files;
  }
  EXPECT_EQ(files, 3);
}

TEST_F(BurnVerify, AMismatchFailsTheBurnNamingTheFirstSectorThatDiffers) {
  Drive("DVD+R");
  Source("a.bin", 500000, 3);
  Burner().Verify = true;
  // The drive records sector 70 wrongly and says nothing.
  Fault("w", "corrupt lba=70");
  const std::string e = BurnAndWait();
  EXPECT_EQ(e, "VERIFY: SECTOR 70 DIFFERS FROM THE DATA SENT");
  EXPECT_EQ(Burner().VerifyText, "");
  ExpectDriveUsable();
}

TEST_F(BurnVerify, AnUnreadableSessionFailsTheVerify) {
  Drive("CD-R");
  Source("a.bin", 100000, 3);
  Burner().Verify = true;
  Fault("w", "nomedium op=28 count=-1");
  const std::string e = BurnAndWait();
  EXPECT_EQ(e.rfind("VERIFY: CAN'T READ SECTOR 0 [", 0), 0u) << e;
  vrec::ClearFaults("w", error_);
  ExpectDriveUsable();
}
