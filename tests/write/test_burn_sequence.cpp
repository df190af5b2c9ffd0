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
