// Media behaviour of the virtual recorder through raw SRBs.
#include "VrecTestUtil.h"

#include "VRecorder.h"

using namespace vrectest;

TEST_F(VrecTest, CdrTwoSessionsSecondStartsAfterLeadOutAndLeadIn) {
  Drive("w", "dvd-writer", "CD-R");
  const uint8_t t = Target("w");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 300, 1, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  TReply ti = TrackInfo(2, t);
  ASSERT_TRUE(ti.Good());
  EXPECT_EQ(Be32(ti.Data, 8), 300u + 11400u);
  EXPECT_EQ(Be32(ti.Data, 12), 300u + 11400u);
  EXPECT_EQ(ti.Data[7] & 1, 1);
  ASSERT_TRUE(Write(11700, 50, 2, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  TReply toc1 = Toc(1, false, 0, t);
  ASSERT_TRUE(toc1.Good());
  EXPECT_EQ(toc1.Data[2], 1);
  EXPECT_EQ(toc1.Data[3], 2);  // last complete session
  EXPECT_EQ(toc1.Data[6], 2);  // its first track
  EXPECT_EQ(Be32(toc1.Data, 8), 11700u);
  ti = TrackInfo(2, t);
  EXPECT_EQ(Be32(ti.Data, 8), 11700u);
  EXPECT_EQ(Be32(ti.Data, 24), 50u);
  // A third session comes 6,900 blocks after the second.
  ti = TrackInfo(3, t);
  EXPECT_EQ(Be32(ti.Data, 8), 11750u + 6900u);
}
