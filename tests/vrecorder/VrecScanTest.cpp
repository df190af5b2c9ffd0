// The recorder as the device layer finds it: every drive reachable by the
// scan, addresses that stay put, and the session counts of `vdrive list`
// against what the device layer reads from the drive.
#include "VrecTestUtil.h"

#include "VRecorder.h"
#include "ovDrvLib.h"

#include <fstream>
#include <memory>
#include <sstream>

using namespace vrectest;

namespace {

std::string Name(int i) { return i == 0 ? "vd0" : "d" + std::string(i < 10 ? "0" : "") + std::to_string(i); }
std::string Address(int slot) { return std::to_string(slot / 8) + ":" + std::to_string(slot % 8) + ":0"; }

std::unique_ptr<TSCSIDevice> ScanningDevice() {
  auto dev = std::make_unique<TSCSIDevice>();
  EXPECT_TRUE(dev->InitializeASPI(false, WNASPI32_PATH));
  return dev;
}

void Select(TSCSIDevice &dev, const std::string &name) {
  for (const std::string &s : dev.DeviceList)
    if (s.find("," + name + " ") != std::string::npos) {
      dev.SelectDevice(s);
      ASSERT_NE(dev.HaId, 254) << s;
      return;
    }
  FAIL() << name << " not listed";
}

int Count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// Rewrites a drive's settings file with `edit` applied to its lines.
template <class Edit> void EditSettings(const std::string &folder, const std::string &name, Edit edit) {
  const std::string path = folder + "/" + name + "/settings";
  std::ifstream in(path);
  std::string line, text;
  while (std::getline(in, line))
    if (edit(line))
      text += line + "\n";
  in.close();
  std::ofstream(path, std::ios::trunc) << text;
}

}  // namespace

TEST_F(VrecTest, TwentyDrivesAreReachableAndKeepTheirAddresses) {
  std::string err;
  ASSERT_TRUE(vrec::PrepareDrivesFolder(err)) << err;  // vd0
  for (int i = 1; i < 20; ++i)
    ASSERT_TRUE(vrec::AddDrive(Name(i), "dvd-writer", "", "", "", err)) << err;
  std::unique_ptr<TSCSIDevice> dev = ScanningDevice();
  EXPECT_EQ(dev->HostAdapterCount, 3);
  const std::vector<std::string> before = dev->DeviceList;
  ASSERT_EQ(before.size(), 20u);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(before[size_t(i)].rfind(Address(i) + "," + Name(i) + " ", 0), 0u) << before[size_t(i)];
  // Every listed drive can be selected and answers as itself.
  for (int i = 0; i < 20; ++i) {
    dev->SelectDevice(before[size_t(i)]);
    ASSERT_NE(dev->HaId, 254) << before[size_t(i)];
    EXPECT_EQ(dev->DriveName(), Name(i));
  }

  // A drive removed behind the back of a process that scanned before: the
  // selected drive still receives the commands sent to its address.
  Select(*dev, "d19");
  ASSERT_TRUE(vrec::RemoveDrive("d05", err)) << err;
  ASSERT_TRUE(vrec::ClearLog("d18", err)) << err;
  ASSERT_TRUE(vrec::ClearLog("d19", err)) << err;
  EXPECT_TRUE(dev->Inquiry());
  EXPECT_EQ(Count(Log("d19"), "cmd=INQUIRY"), 1);
  EXPECT_EQ(Log("d18"), "");

  // A new scan finds the others where they were.
  dev->ScanDevices();
  std::vector<std::string> expected = before;
  expected.erase(expected.begin() + 5);
  EXPECT_EQ(dev->DeviceList, expected);

  // A drive added later takes the lowest free address and keeps it.
  ASSERT_TRUE(vrec::AddDrive("late", "cdrw-writer", "", "", "", err)) << err;
  vrec::TDriveSummary s;
  ASSERT_TRUE(vrec::GetDrive("late", s, err)) << err;
  EXPECT_EQ(s.Address, "0:5:0");
  ASSERT_TRUE(vrec::AddDrive("later", "cdrw-writer", "", "", "", err)) << err;
  ASSERT_TRUE(vrec::GetDrive("later", s, err)) << err;
  EXPECT_EQ(s.Address, "2:4:0");
  dev->ScanDevices();
  ASSERT_EQ(dev->DeviceList.size(), 21u);
  EXPECT_EQ(dev->DeviceList[5].rfind("0:5:0,late ", 0), 0u);
  EXPECT_EQ(dev->DeviceList[20].rfind("2:4:0,later ", 0), 0u);
}

TEST_F(VrecTest, DrivesWithoutAStoredAddressGetOneOnLoad) {
  Drive("a", "dvd-writer", "none");
  Drive("b", "dvd-writer", "none");
  Drive("c", "dvd-writer", "none");
  Drive("d", "dvd-writer", "none");
  const std::string folder = dir_ + "/drives";
  // b has no address (a folder from an older version); c claims a's; d has
  // one of its own on another adapter.
  EditSettings(folder, "b", [](std::string &l) { return l.rfind("address", 0) != 0; });
  EditSettings(folder, "c", [](std::string &l) {
    if (l.rfind("address", 0) == 0)
      l = "address = 0:1:0";
    return true;
  });
  EditSettings(folder, "d", [](std::string &l) {
    if (l.rfind("address", 0) == 0)
      l = "address = 1:2:0";
    return true;
  });
  for (int pass = 0; pass < 2; ++pass) {  // the same addresses each time
    std::vector<vrec::TDriveSummary> all;
    std::string err;
    ASSERT_TRUE(vrec::ListDrives(all, err)) << err;
    std::vector<std::string> seen;
    for (const vrec::TDriveSummary &d : all)
      seen.push_back(d.Address + " " + d.Name);
    EXPECT_EQ(seen, (std::vector<std::string>{"0:0:0 vd0", "0:1:0 a", "0:2:0 b", "0:3:0 c", "1:2:0 d"}));
  }
  // The addresses given are stored, and the ASPI layer uses them.
  std::ifstream in(folder + "/b/settings");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("address = 0:2:0\n"), std::string::npos);
  EXPECT_EQ(lib_->Info(), (uint32_t(SS_COMP) << 8) | 2u);
  char name[16];
  ASSERT_EQ(lib_->DeviceName(1, 2, 0, name, sizeof name), 1);
  EXPECT_STREQ(name, "d");
  ASSERT_EQ(lib_->DeviceName(0, 3, 0, name, sizeof name), 1);
  EXPECT_STREQ(name, "c");
  EXPECT_EQ(lib_->DeviceName(1, 0, 0, name, sizeof name), 0);
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  q.SRB_HaId = 1;
  ASSERT_EQ(lib_->Send(&q), uint32_t(SS_COMP));
  EXPECT_EQ(q.HA_Count, 2);
  EXPECT_EQ(q.HA_Unique[3], 8);  // targets per adapter
  EXPECT_EQ(std::string(reinterpret_cast<char *>(q.HA_Identifier), 6), "VREC 1");
}

TEST_F(VrecTest, ListCountsSessionsAndRecordedBlocksAsTheHostSeesThem) {
  // CD-R: two closed sessions; the empty third one is not counted, and its
  // invisible track is not recorded data.
  Drive("cd", "dvd-writer", "CD-R");
  uint8_t t = Target("cd");
  ASSERT_TRUE(SetWriteType(1, false, 3, t).Good());
  ASSERT_TRUE(Write(0, 300, 1, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  ASSERT_TRUE(Write(11702, 50, 2, t).Good());
  ASSERT_TRUE(CloseSession(t).Good());
  // DVD+R: one closed session, and one being written (incomplete).
  Drive("plus", "dvd-writer", "DVD+R");
  t = Target("plus");
  ASSERT_TRUE(Write(0, 100, 3, t).Good());
  ASSERT_TRUE(Cmd({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  ASSERT_TRUE(Cmd({0x5B, 0, 2, 0, 0, 0xFF, 0, 0, 0, 0}, 0, 0, {}, t).Good());
  Drive("open", "dvd-writer", "DVD+R");
  ASSERT_TRUE(Write(0, 64, 4, Target("open")).Good());
  // DVD-RW in restricted overwrite with data.
  Drive("ro", "dvd-writer", "DVD-RW-RO");
  ASSERT_TRUE(Write(0, 32, 5, Target("ro")).Good());
  Drive("blank", "dvd-writer", "DVD-R");

  struct TWant {
    const char *Name;
    int Sessions;
    uint32_t Recorded;
    const char *Status;
  };
  const TWant want[] = {{"cd", 2, 11752, "appendable"}, {"plus", 1, 112, "appendable"},
                        {"open", 1, 64, "appendable"}, {"ro", 1, 32, "complete"},
                        {"blank", 0, 0, "empty"}};
  std::unique_ptr<TSCSIDevice> dev = ScanningDevice();
  for (const TWant &w : want) {
    std::string err;
    vrec::TDriveSummary s;
    ASSERT_TRUE(vrec::GetDrive(w.Name, s, err)) << err;
    EXPECT_EQ(s.Sessions, w.Sessions) << w.Name;
    EXPECT_EQ(s.Recorded, w.Recorded) << w.Name;
    EXPECT_EQ(s.DiscStatus, w.Status) << w.Name;
    Select(*dev, w.Name);
    EXPECT_EQ(int(dev->SessionCount()), s.Sessions) << w.Name;
  }
}
