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

TEST_F(VrecTest, ManagementRefusesBadInput) {
  std::string err;
  ASSERT_TRUE(vrec::PrepareDrivesFolder(err)) << err;
  EXPECT_FALSE(vrec::AddDrive("../x", "dvd-writer", "", "", "", err));
  EXPECT_FALSE(vrec::AddDrive(".hidden", "dvd-writer", "", "", "", err));
  EXPECT_FALSE(vrec::AddDrive("w", "floppy", "", "", "", err));
  EXPECT_FALSE(vrec::AddDrive("w", "dvd-writer", "TOOLONGVENDOR", "", "", err));
  ASSERT_TRUE(vrec::AddDrive("w", "dvd-writer", "PLEXTOR", "CRX175E", "1.0", err)) << err;
  EXPECT_FALSE(vrec::AddDrive("w", "dvd-writer", "", "", "", err));
  EXPECT_FALSE(vrec::InsertMedium("w", "DVD-ROM", 0, "", false, err));  // needs an image
  EXPECT_FALSE(vrec::InsertMedium("w", "CD-R", 0, dir_ + "/missing.iso", false, err));
  EXPECT_FALSE(vrec::InsertMedium("w", "CD-R", 0, "", true, err));  // --formatted is for DVD+RW/DVD-RW
  Insert("w", "DVD-RW-RO", 0, "", false);
  lib_->Info();
  const uint8_t t = Target("w");
  TReply cfg = Cmd({0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}, 1, 114, {}, t);
  EXPECT_EQ(Be16(cfg.Data, 6), 0x0013);
  TReply inq = Cmd({0x12, 0, 0, 0, 36, 0}, 1, 36, {}, t);
  EXPECT_EQ(std::string(inq.Data.begin() + 8, inq.Data.begin() + 36), "PLEXTOR CRX175E         1.0 ");
  // A prevented removal keeps the medium in.
  ASSERT_TRUE(Cmd({0x1E, 0, 0, 0, 1, 0}, 0, 0, {}, t).Good());
  EXPECT_FALSE(vrec::InsertMedium("w", "CD-R", 0, "", false, err));
  // A locked tray refuses a polite eject and keeps the disc; a forced one takes it out.
  EXPECT_FALSE(vrec::EjectMedium("w", err, false));
  EXPECT_NE(err.find("locked"), std::string::npos) << err;
  vrec::TDriveSummary s;
  ASSERT_TRUE(vrec::GetDrive("w", s, err));
  EXPECT_EQ(s.Medium, "DVD-RW");
  EXPECT_TRUE(vrec::EjectMedium("w", err, true));
  ASSERT_TRUE(vrec::RemoveDrive("w", err)) << err;
  vrec::TDriveSummary gone;
  EXPECT_FALSE(vrec::GetDrive("w", gone, err));
}
