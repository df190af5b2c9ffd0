// The command sequence of a burn, per medium, read from the recorder's log.
#include "BurnFixture.h"

namespace {

std::string Join(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &x : v)
    s += (s.empty() ? "" : " ") + x;
  return s;
}

} // namespace

TEST_F(BurnTest, DVDPlusRWFormatted) {
  Drive("DVD+RW", true);
  Source("a.bin", 300000);
  Source("d/b.bin", 5000, 2);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  // Preparation (no rezero on DVD+RW, tray locked), the descriptor block at
  // LBA 0 and its flush, the loop polling the buffer every fifth block, the
  // flush, close function 3, and the restore.
  EXPECT_EQ(Join(WriterSequence()), "5C 46 1B 1E BB 51 00 5A 5A 46 46 46 5A 5A 55 B6 51 2A*1 35 2A*5 5C 2A*5 5C "
                                    "35 5A 55 5B:3/00FF 51 00 5C 5A 55 BB 01 1E 1B 01 00");
  ExpectDriveUsable();
}

TEST_F(BurnTest, CDR) {
  Drive("CD-R");
  Source("a.bin", 300000);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(Join(WriterSequence()), "5C 46 1B 1E 01 BB 51 00 5A 5A 46 46 46 5A 5A 55 51 2A*5 5C 2A*5 5C 2A*2 5C "
                                    "35 5A 55 5B:2/0000i 51 51 00 5C 5A 55 BB 01 1E 1B 01 00");
  ExpectDriveUsable();
}

TEST_F(BurnTest, Explore) {
  const char *media = std::getenv("EXPLORE_MEDIA");
  if (!media)
    GTEST_SKIP();
  Drive(media, std::getenv("EXPLORE_FORMATTED") != nullptr);
  Burner().TestWrite = std::getenv("EXPLORE_TEST") != nullptr;
  Burner().Verify = true;
  Source("a.bin", 300000);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(Join(WriterSequence()), "");
  EXPECT_EQ(Join(WriterSequence(false)), "");
  EXPECT_EQ(Burner().VerifyText, "");
  if (std::getenv("EXPLORE_KEEP"))
    system(("cat " + folder_ + "/w/settings; grep -v 2A00 " + folder_ + "/w/commands.log | tail -n 40").c_str());
  ExpectDriveUsable();
}

TEST_F(BurnTest, Explore2) {
  const char *media = std::getenv("EXPLORE_MEDIA");
  if (!media)
    GTEST_SKIP();
  Drive(media, std::getenv("EXPLORE_FORMATTED") != nullptr);
  Burner().Verify = true;
  Source("a.bin", 300000);
  EXPECT_EQ(BurnAndWait(), "");
  const uint32_t first = Burner().SessionStart;
  Source("b.bin", 3000);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(first, Burner().SessionStart);
  EXPECT_EQ(Join(WriterSequence()), "");
  EXPECT_EQ(Burner().VerifyText, "");
  ExpectDriveUsable();
  if (std::getenv("EXPLORE_KEEP"))
    system(("cat " + folder_ + "/w/settings| grep -v speed").c_str());
}
