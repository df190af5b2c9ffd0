// The management API of the virtual recorders.
#include "VrecTestUtil.h"

#include "VRecorder.h"

using namespace vrectest;

TEST_F(VrecTest, AddInsertList) {
  Drive("w", "dvd-writer", "CD-R");
  std::vector<vrec::TDriveSummary> all;
  std::string err;
  ASSERT_TRUE(vrec::ListDrives(all, err));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].Name, "w");
  EXPECT_EQ(all[1].Medium, "CD-R");
  EXPECT_EQ(all[1].Capacity, 359847u);
  EXPECT_EQ(all[1].DiscStatus, "empty");
}
