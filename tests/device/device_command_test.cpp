// Transport, enumeration, selection and the command layer, end to end
// against the virtual recorder.
#include "VDriveFixture.h"

#include <chrono>
#include <set>

namespace {

std::string Pad(const std::string &s, size_t n) {
  std::string r = s.substr(0, n);
  r.resize(n, ' ');
  return r;
}

} // namespace

TEST(DeviceTables, CommandNamesAndSenseTable) {
  EXPECT_EQ(CommandNames(0x00), "TEST UNIT READY       ");
  EXPECT_EQ(CommandNames(0x5B), "CLOSE TRACK/SESSION   ");
  EXPECT_EQ(CommandNames(0x4A), "GET EVENT/STATUS NOTIF");
  EXPECT_EQ(CommandNames(0xBC), "BC");
  EXPECT_EQ(CommandNames(0x02), "02");
  int named = 0;
  for (int op = 0; op < 255; ++op) {
    const std::string &n = CommandNames(static_cast<uint8_t>(op));
    if (n.size() == 22)
      ++named;
    else
      EXPECT_EQ(n.size(), 2u) << op;
  }
  EXPECT_EQ(named, 51);
  EXPECT_EQ(AdditionalSenseCount(), 256);
  EXPECT_STREQ(AdditionalSenseText(0x04, 0x02), "LOGICAL UNIT NOT READY, INITIALIZING CMD. REQUIRED");
  EXPECT_STREQ(AdditionalSenseText(0x30, 0x10), "MEDIUM NOT FORMATTED");
  EXPECT_STREQ(AdditionalSenseText(0x73, 0x06), "RMA/PMA IS ALMOST FULL");
  EXPECT_STREQ(AdditionalSenseText(0x63, 0x02), "");
  EXPECT_STREQ(DiscTypeNames[8], "DVD-RW");
  EXPECT_STREQ(DiscTypeNames[12], "DVD+R DL");
}

TEST(DeviceNoTransport, CommandsFailAtOnce) {
  UnloadASPI();
  TSCSIDevice dev;
  EXPECT_FALSE(dev.ASPIInitialized());
  dev.HaId = dev.Target = dev.Lun = 0;
  SRB_ExecSCSICmd srb{};
  srb.SRB_Flags = 0x40;
  srb.SRB_CDBLen = 6;
  dev.ExecSRB(srb, 5000);
  EXPECT_EQ(srb.SRB_Status, 0);
  EXPECT_EQ(srb.SRB_Cmd, 0);  // the request was not even addressed
  EXPECT_FALSE(dev.TestUnitReady());
  uint8_t buf[2048];
  EXPECT_FALSE(dev.Read10(0, 1, sizeof buf, buf));
  // Nothing reached a drive: the write is not reported as done.
  EXPECT_FALSE(dev.Write10(0, 1, 0x50, sizeof buf, buf));
  uint32_t a = 0, b = 0;
  EXPECT_FALSE(dev.ReadCapacity(a, b));
}

TEST_F(VDriveTest, ScanListsEveryDriveWithItsIdentity) {
  AddDrive("alpha", "dvd-writer");
  AddDrive("beta", "cdrw-writer", "ACME", "CD-W512EB", "2.10");
  AddDrive("gamma", "dvd-reader");
  TSCSIDevice &dev = Device();
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  ASSERT_EQ(dev.DeviceList.size(), 3u);
  EXPECT_EQ(dev.DeviceList[1], "0:1:0,beta " + Pad("ACME", 8) + Pad("CD-W512EB", 16) + Pad("2.10", 4));
  std::set<std::string> names;
  for (size_t i = 0; i < dev.DeviceList.size(); ++i) {
    const std::string &s = dev.DeviceList[i];
    EXPECT_EQ(s.rfind("0:" + std::to_string(i) + ":0,", 0), 0u) << s;
    names.insert(s.substr(6, s.find(' ') - 6));
    EXPECT_EQ(s.size(), s.find(' ') + 1 + 28) << s;
  }
  EXPECT_EQ(names, (std::set<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_EQ(dev.HostAdapterCount, 1);

  // The drive number of the disk-information request becomes the letter.
  dev.HaId = 0;
  dev.Target = 2;
  dev.Lun = 0;
  EXPECT_EQ(dev.DriveLetter(), 'E');  // drive number 2 + target

  // A scan leaves the selected address alone.
  dev.SelectDevice(dev.DeviceList[1]);
  ASSERT_EQ(dev.Target, 1);
  dev.ScanDevices();
  EXPECT_EQ(dev.HaId, 0);
  EXPECT_EQ(dev.Target, 1);
  EXPECT_EQ(dev.Lun, 0);
  EXPECT_EQ(dev.DeviceList.size(), 3u);
}

TEST_F(VDriveTest, SelectionOfBadStringsClearsTheDevice) {
  AddDrive("w", "dvd-writer");
  TSCSIDevice &dev = Select("w");
  EXPECT_EQ(dev.PeripheralType, 5);
  EXPECT_EQ(dev.DeviceDescription, Pad("SKARVO", 8) + " " + dev.DeviceList[0].substr(16, 16) + " " +
                                       dev.DeviceList[0].substr(32, 4));
  const std::string bad = "0:x:0,w " + dev.DeviceList[0].substr(8);
  dev.SelectDevice(bad);
  EXPECT_TRUE(Logged("INVALID DEVICE ID / NOT A CD OR DVD DRIVE"));
  EXPECT_EQ(dev.HaId, 254);
  EXPECT_EQ(dev.Target, 254);
  EXPECT_EQ(dev.Lun, 254);
  EXPECT_EQ(dev.PeripheralType, 127);
  EXPECT_TRUE(dev.DeviceID.empty());
  EXPECT_FALSE(dev.TestUnitReady());

  // A well-formed address where no drive answers is no drive either.
  messages_.clear();
  dev.SelectDevice("0:5:0,nothing");
  EXPECT_TRUE(Logged("INVALID DEVICE ID / NOT A CD OR DVD DRIVE"));
  EXPECT_EQ(dev.HaId, 254);

  messages_.clear();
  dev.SelectDevice("0:0");
  EXPECT_TRUE(Logged("INVALID DEVICE ID / NOT A CD OR DVD DRIVE"));
  messages_.clear();
  dev.SelectDevice("");
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(dev.HaId, 254);
}

TEST_F(VDriveTest, CommandBlocksReachTheDriveAsBuilt) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-RW");
  TSCSIDevice &dev = Select("w");
  ClearLog("w");
  EXPECT_TRUE(dev.TestUnitReady());
  EXPECT_TRUE(dev.SetCDSpeed(0, 1764));
  EXPECT_TRUE(dev.ReadDiscInformation());
  EXPECT_TRUE(dev.ReadTrackInformation(1));
  uint8_t toc[26] = {};
  EXPECT_TRUE(dev.ReadTOC(4, toc, sizeof toc, 0, true));
  EXPECT_TRUE(dev.AllowMediumRemoval(false));
  EXPECT_TRUE(dev.AllowMediumRemoval(true));
  uint8_t cfg[114];
  EXPECT_TRUE(dev.GetConfiguration(2, 0x2A, cfg, sizeof cfg));
  EXPECT_TRUE(dev.SynchronizeCache(30000, true));
  const std::vector<std::string> expected = {
      "000000000000",
      "BB00FFFF06E4000000000000",
      "51000000000000003800",
      "52010000000100002800",
      "43020400000000001A00",
      "1E0000000100",
      "1E0000000000",
      "4602002A000000007200",
      "35020000000000000000",
  };
  EXPECT_EQ(LoggedCdbs("w"), expected);
}

TEST_F(VDriveTest, ErrorTextsOfInjectedFaults) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-R");
  TSCSIDevice &dev = Select("w");

  Fault("w", "busy count=1");
  EXPECT_FALSE(dev.TestUnitReady());
  EXPECT_EQ(dev.ErrorText, "TARGET BUSY");
  EXPECT_TRUE(dev.TargetBusy);
  EXPECT_TRUE(dev.TestUnitReady());
  EXPECT_FALSE(dev.TargetBusy);
  EXPECT_EQ(dev.ErrorText, "");
  EXPECT_EQ(dev.LastSense[12], 0);

  Fault("w", "nomedium count=1");
  EXPECT_FALSE(dev.TestUnitReady());
  EXPECT_EQ(dev.ErrorText, "NOT READY (MEDIUM NOT PRESENT)");
  EXPECT_EQ(dev.LastSense[12], 0x3A);

  Fault("w", "notready count=1 ascq=7");
  EXPECT_FALSE(dev.TestUnitReady());
  EXPECT_EQ(dev.ErrorText, "NOT READY (LOGICAL UNIT NOT READY, OPERATION IN PROGRESS)");

  // A pair the table does not hold is shown in decimal.
  Fault("w", "notready count=1 ascq=0x0A");
  EXPECT_FALSE(dev.TestUnitReady());
  EXPECT_EQ(dev.ErrorText, "NOT READY (4,10)");

  Fault("w", "opc count=1");
  EXPECT_FALSE(dev.SendOPC());
  EXPECT_NE(dev.ErrorText.find("(POWER CALIBRATION AREA ERROR)"), std::string::npos) << dev.ErrorText;

  std::vector<uint8_t> block(2048, 0x5A);
  Fault("w", "writeerror count=1 lba=0");
  EXPECT_FALSE(dev.Write10(0, 1, 0x50, 2048, block.data()));
  EXPECT_EQ(dev.ErrorText, "MEDIUM ERROR (WRITE ERROR)");

  // An opcode the drive does not know.
  SRB_ExecSCSICmd srb{};
  srb.SRB_Flags = 0x40;
  srb.SRB_CDBLen = 12;
  srb.CDBByte[0] = 0xBC;
  dev.ExecSRB(srb, 10000);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(dev.ErrorText, "ILLEGAL REQUEST (INVALID COMMAND OPERATION CODE)");
}

TEST_F(VDriveTest, FirstFailedCommandIsLoggedOnce) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-R");
  TSCSIDevice &dev = Device();
  dev.SelectDevice(dev.DeviceList[0]);
  // Selection sent commands already: the latch is set, nothing was logged.
  for (const std::string &m : messages_)
    EXPECT_NE(m.rfind("<<< ", 0), 0u) << m;

  // A device made before the transport is up has sent nothing yet: its
  // first command fails and logs that one line.
  UnloadASPI();
  TSCSIDevice second;
  ASSERT_TRUE(InitASPI(false, SKARVO_WNASPI32_PATH));
  std::vector<std::string> lines;
  second.OnDebugMessage = [&](TObject *, const std::string &m, uint8_t t) {
    if (t == 0)
      lines.push_back(m);
  };
  second.HaId = 0;
  second.Target = 0;
  second.Lun = 0;
  std::vector<uint8_t> block(2048, 1);
  Fault("w", "writeerror count=2 lba=7");
  EXPECT_FALSE(second.Write10(7, 1, 0x50, 2048, block.data()));
  EXPECT_FALSE(second.Write10(7, 1, 0x50, 2048, block.data()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "<<< " + Pad("WRITE (10)", 22) +
                          " (2A) {50|0A} - 0:0:0 <04> [00800] 00 00 00 00 07 00 00 01 "
                          "00 00 00 00 00 00 00  |= 00 02 70 03 ASC:0C,ASQ:00 MEDIUM ERROR (WRITE ERROR)");
}

TEST_F(VDriveTest, PendingCommandIsAbortedAfterTheTimeOut) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-R");
  TSCSIDevice &dev = Select("w");
  Fault("w", "pending count=1 op=0x00");
  const auto start = std::chrono::steady_clock::now();
  // A time-out below 10 s still waits 10 s for completion.
  EXPECT_FALSE(dev.TestUnitReady(2000));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(dev.ErrorText, "COMMAND TIMEOUT");
  EXPECT_GE(waited, 9.9);
  EXPECT_LT(waited, 20.0);
  // The drive is usable again afterwards.
  EXPECT_TRUE(dev.TestUnitReady());
}

TEST_F(VDriveTest, DVDRPreparationCommands) {
  AddDrive("w", "dvd-writer");
  Insert("w", "DVD-R");
  TSCSIDevice &dev = Select("w");
  ClearLog("w");
  const uint8_t streaming[28] = {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x23, 0x12, 0x7F, 0x00, 0x00,
                                 0xAB, 0xBD, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x05, 0x8A,
                                 0x00, 0x00, 0x03, 0xE8};
  EXPECT_TRUE(dev.SetStreaming(streaming, sizeof streaming)) << dev.ErrorText;
  EXPECT_TRUE(dev.WriteDVDTimestamp(ov::EncodeDateTime(2026, 12, 7, 21, 30, 5))) << dev.ErrorText;
  EXPECT_TRUE(dev.ReserveTrack(2048)) << dev.ErrorText;
  EXPECT_TRUE(dev.SendOPC()) << dev.ErrorText;
  uint32_t size = 0, freeBytes = 0;
  EXPECT_TRUE(dev.ReadBufferCapacity(size, freeBytes));
  const std::vector<std::string> expected = {
      "B60000000000000000001C00",      // SET STREAMING, 28 bytes
      "BF0000000000000F001600000000",  // SEND DVD STRUCTURE, format 0Fh, 22 bytes
      "530000000000000800000000",      // RESERVE TRACK (12 bytes), 2,048 blocks
      "54010000000000000000",          // SEND OPC INFORMATION, DoOpc
      "5C000000000000002000",          // READ BUFFER CAPACITY, 32 bytes
  };
  std::vector<std::string> cdbs = LoggedCdbs("w");
  ASSERT_EQ(cdbs.size(), expected.size());
  EXPECT_EQ(cdbs[0], expected[0]);
  EXPECT_EQ(cdbs[1].substr(0, 24), expected[1].substr(0, 24));
  EXPECT_EQ(cdbs[2], expected[2]);
  EXPECT_EQ(cdbs[3], expected[3]);
  EXPECT_EQ(cdbs[4], expected[4]);
  std::ifstream settings(folder_ + "/w/settings");
  std::stringstream text;
  text << settings.rdbuf();
  EXPECT_NE(text.str().find("timestamp = 20261207213005"), std::string::npos) << text.str();
  EXPECT_TRUE(dev.ReadTrackInformation(1));
  EXPECT_EQ(dev.TrackSize(), 2048u);
}

TEST_F(VDriveTest, WaitUnitReadyPollsWithinItsBudget) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-RW");
  TSCSIDevice &dev = Select("w");
  ov::SetTimeScale(0.001);
  Fault("w", "notready count=3 ascq=7");
  ClearLog("w");
  EXPECT_TRUE(dev.WaitUnitReady(30000, 1000));
  std::vector<std::string> cdbs = LoggedCdbs("w");
  ASSERT_GE(cdbs.size(), 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(cdbs[i].substr(0, 2), "51");  // READ DISC INFORMATION while not ready

  // A drive that stays not ready: every poll counts against the total.
  Fault("w", "notready count=-1");
  ClearLog("w");
  EXPECT_FALSE(dev.WaitUnitReady(10000, 1000));
  cdbs = LoggedCdbs("w");
  EXPECT_EQ(cdbs.size(), 11u);  // ten intervals fit, the eleventh poll ends it
}

TEST_F(VDriveTest, UnitAttentionAfterAMediumChangeIsRetriedOnce) {
  AddDrive("w", "dvd-writer");
  TSCSIDevice &dev = Select("w");
  Insert("w", "DVD+R");
  ClearLog("w");
  uint32_t last = 1, size = 0;
  ASSERT_TRUE(dev.ReadCapacity(last, size)) << dev.ErrorText;
  EXPECT_EQ(size, 2048u);
  const std::vector<std::string> lines = LogLines("w");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("status=CHECK sense=06/28/00"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("cmd=READ-CAPACITY"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("status=GOOD"), std::string::npos) << lines[1];
  // Only once: a failure that persists is not hidden by the retry.
  Fault("w", "notready count=2");
  EXPECT_FALSE(dev.ReadCapacity(last, size));
  EXPECT_EQ(LogLines("w").size(), 3u);
}
