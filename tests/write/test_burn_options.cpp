// Burn settings seen in the command log and on the disc: test write,
// FinalizeTrack, FinalizeDisc, OPC, the refusals made before anything is
// written, and what the last DVD block carries.
#include "BurnFixture.h"

#include <algorithm>

namespace {

bool Has(const std::vector<std::string> &seq, const std::string &item) {
  return std::find(seq.begin(), seq.end(), item) != seq.end();
}

size_t CountOp(const std::vector<std::string> &cdbs, const std::string &op) {
  return static_cast<size_t>(
      std::count_if(cdbs.begin(), cdbs.end(), [&](const std::string &c) { return c.compare(0, 2, op) == 0; }));
}

} // namespace

TEST_F(BurnTest, TestWriteOnCDRRecordsNothingAndClosesNothing) {
  Drive("CD-R");
  Source("a.bin", 200000);
  Burner().TestWrite = true;
  Burner().PerformOPC = true;
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  const auto seq = WriterSequence();
  EXPECT_FALSE(Has(seq, "54")) << "no OPC on a test write";
  for (const auto &s : seq)
    EXPECT_NE(s.substr(0, 2), "5B") << "nothing closed on a test write";
  EXPECT_GT(CountOp(LoggedCdbs("w"), "2A"), 0u) << "the data went out";
  EXPECT_TRUE(std::find(messages_.begin(), messages_.end(), ">>> TEST/DUMMY WRITE") != messages_.end());
  ExpectDriveUsable();
  EXPECT_EQ(Burner().DiscStatus(), 0) << "the disc stays blank";
}

TEST_F(BurnTest, TestWriteRefusedBeforeWritingWhereTheMediumHasNoSimulation) {
  for (const char *media : {"DVD+R", "DVD+R-DL", "DVD+RW", "DVD-RAM", "DVD-RW"}) {
    SCOPED_TRACE(media);
    vrec::RemoveDrive("w", error_);
    burner_.reset();
    const std::string m = media;
    Drive(media, m == "DVD+RW" || m == "DVD-RW");
    Source("a.bin", 1000);
    Burner().TestWrite = true;
    ClearLog("w");
    const std::string e = BurnAndWait();
    EXPECT_EQ(e.rfind("TEST WRITE NOT POSSIBLE", 0), 0u) << e;
    EXPECT_EQ(CountOp(LoggedCdbs("w"), "2A"), 0u);
    EXPECT_EQ(CountOp(LoggedCdbs("w"), "04"), 0u) << "nothing formatted either";
    ExpectDriveUsable();
  }
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
  const std::string e = BurnAndWait();
  EXPECT_EQ(e.rfind("TEST WRITE NOT POSSIBLE", 0), 0u) << e;
  EXPECT_EQ(CountOp(LoggedCdbs("w"), "2A"), 0u);
  ExpectDriveUsable();
  EXPECT_EQ(Burner().DiscStatus(), 0);
}

TEST_F(BurnTest, FinalizeTrackOffFlushesAndRestoresWithoutClosing) {
  Drive("DVD+R");
  Source("a.bin", 200000);
  Burner().FinalizeTrack = false;
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  const auto seq = WriterSequence();
  std::string tail;
  for (size_t i = seq.size() >= 14 ? seq.size() - 14 : 0; i < seq.size(); ++i)
    tail += seq[i] + " ";
  EXPECT_EQ(tail, "2A*5 5C 35 51 00 5C 5A 55 BB 01 1E 1B 01 00 ");
  ExpectDriveUsable();
}

TEST_F(BurnTest, FinalizeDiscClosesTheCDForGoodAndOnlyWhenAsked) {
  Drive("CD-R");
  Source("a.bin", 200000);
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(Burner().DiscStatus(), 1) << "a closed session leaves the disc appendable";
  Source("b.bin", 1000, 3);
  Burner().FinalizeDisc = true;
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(Burner().DiscStatus(), 2);
  EXPECT_EQ(Burner().SessionCount(), 2);
  // A closed disc is refused before anything is sent.
  ClearLog("w");
  const std::string e = BurnAndWait();
  EXPECT_NE(e.find("CLOSED"), std::string::npos) << e;
  EXPECT_EQ(CountOp(LoggedCdbs("w"), "2A"), 0u);
  ExpectDriveUsable();
}

TEST_F(BurnTest, OPCAndDVDRReservationFollowTheSettings) {
  Drive("DVD-R");
  Source("a.bin", 1000 * 2048 - 40 * 2048);
  Burner().PerformOPC = true;
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  const auto seq = WriterSequence();
  EXPECT_TRUE(Has(seq, "54"));
  const int64_t sectors = Burner().SessionSectors();
  for (const std::string &c : LoggedCdbs("w"))
    if (c.compare(0, 2, "53") == 0)
      EXPECT_EQ(std::stoul(c.substr(10, 8), nullptr, 16), static_cast<unsigned long>((sectors + 31) / 32 * 32));
  ExpectDriveUsable();
}

TEST_F(BurnTest, LastDVDBlockCarriesZerosPastTheData) {
  Drive("DVD+R");
  // Random data, so that stale bytes of an earlier block would show.
  Source("a.bin", 900000, 7);
  EXPECT_EQ(BurnAndWait(), "");
  const int64_t sectors = Burner().SessionSectors();
  ASSERT_NE(sectors % 32, 0) << "the last block must be partial";
  EXPECT_EQ(Burner().BytesWritten.load(), sectors * 2048);
  const std::string out = root_ + "/disc.iso";
  std::string err;
  ASSERT_TRUE(vrec::ExportMedium("w", out, 1, err)) << err;
  std::ifstream f(out, std::ios::binary);
  const std::string disc((std::istreambuf_iterator<char>(f)), {});
  const int64_t end = (sectors + 31) / 32 * 32;
  ASSERT_GE(static_cast<int64_t>(disc.size()), end * 2048);
  EXPECT_EQ(disc.find_first_not_of('\0', static_cast<size_t>(sectors * 2048)), std::string::npos)
      << "past the session's sectors";
  EXPECT_EQ(CountOp(LoggedCdbs("w"), "2A"), static_cast<size_t>(end / 32));
}

TEST_F(BurnTest, CompilationLargerThanTheFreeSpaceIsRefusedWithBothSizes) {
  AddDrive("w", "dvd-writer");
  Insert("w", "DVD+R", 2000);
  Source("a.bin", 5 * 1048576);
  ClearLog("w");
  const std::string e = BurnAndWait();
  EXPECT_NE(e.find("NEEDS"), std::string::npos) << e;
  EXPECT_NE(e.find(std::to_string(Burner().SessionSectors()) + " SECTORS"), std::string::npos) << e;
  EXPECT_NE(e.find("2000 SECTORS"), std::string::npos) << e;
  EXPECT_EQ(CountOp(LoggedCdbs("w"), "2A"), 0u);
  ExpectDriveUsable();
}
