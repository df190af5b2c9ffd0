// The drive commands of `skarvo` against a virtual DVD writer.
#include "VDriveFixture.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef SKARVO_CLI_PATH
#error "SKARVO_CLI_PATH must name the built skarvo program"
#endif

namespace {

struct TRun {
  int Status = -1;
  std::string Output;  // stdout and stderr
};

TRun RunSkarvo(const std::string &args) {
  TRun r;
  const std::string cmd = std::string(SKARVO_CLI_PATH) + " " + args + " 2>&1 </dev/null";
  FILE *p = ::popen(cmd.c_str(), "r");
  if (!p)
    return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
    r.Output.append(buf, n);
  const int st = ::pclose(p);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

size_t Count(const std::vector<std::string> &cdbs, const std::string &prefix) {
  size_t n = 0;
  for (const std::string &c : cdbs)
    n += c.rfind(prefix, 0) == 0;
  return n;
}

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace

TEST_F(VDriveTest, CliDrivesCapabilitiesInfoAndErase) {
  AddDrive("w", "dvd-writer");
  AddDrive("x", "dvd-reader");
  Insert("w", "CD-RW");
  Setting("w", "clock", "1000");

  const TRun drives = RunSkarvo("drives");
  EXPECT_EQ(drives.Status, 0);
  EXPECT_EQ(drives.Output.rfind("0:0:0,", 0), 0u) << drives.Output;
  EXPECT_TRUE(Has(drives.Output, "0:1:0,")) << drives.Output;

  const TRun caps = RunSkarvo("capabilities --drive w");
  EXPECT_EQ(caps.Status, 0) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, "[x] Write CDRW")) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, "[x] Write DVD+RW")) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, "[x] Underrun Protection")) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, "Max Write Speed : ")) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, "Max Read Speed  : ")) << caps.Output;
  const TRun readerCaps = RunSkarvo("capabilities --drive 1");
  EXPECT_EQ(readerCaps.Status, 0);
  EXPECT_TRUE(Has(readerCaps.Output, "[ ] Write CDR")) << readerCaps.Output;

  const TRun info = RunSkarvo("info");
  EXPECT_EQ(info.Status, 0) << info.Output;
  EXPECT_TRUE(Has(info.Output, "Medium      : CD-RW")) << info.Output;
  EXPECT_TRUE(Has(info.Output, "Disc is blank")) << info.Output;
  EXPECT_TRUE(Has(info.Output, "Disc Size   : ")) << info.Output;
  EXPECT_TRUE(Has(info.Output, "Sessions : 0")) << info.Output;

  const TRun erase = RunSkarvo("erase --yes --drive 0");
  EXPECT_EQ(erase.Status, 0) << erase.Output;
  EXPECT_TRUE(Has(erase.Output, "100.0 %")) << erase.Output;
  const std::string done = "Erase process completed.\n";
  ASSERT_GE(erase.Output.size(), done.size());
  EXPECT_EQ(erase.Output.substr(erase.Output.size() - done.size()), done) << erase.Output;
}

TEST_F(VDriveTest, CliRefusals) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-R");
  const TRun erase = RunSkarvo("erase --yes");
  EXPECT_EQ(erase.Status, 1);
  EXPECT_TRUE(Has(erase.Output, "This disc is not erasable.")) << erase.Output;
  EXPECT_EQ(Count(LoggedCdbs("w"), "A1"), 0u);

  // Without --yes and without a terminal nothing is erased.
  Insert("w", "CD-RW");
  const TRun unconfirmed = RunSkarvo("erase");
  EXPECT_EQ(unconfirmed.Status, 1);
  EXPECT_EQ(Count(LoggedCdbs("w"), "A1"), 0u);

  const TRun badIndex = RunSkarvo("info --drive 7");
  EXPECT_EQ(badIndex.Status, 1);
  EXPECT_TRUE(Has(badIndex.Output, "no drive with index 7")) << badIndex.Output;
  const TRun badName = RunSkarvo("info --drive nosuch");
  EXPECT_EQ(badName.Status, 1);
  EXPECT_TRUE(Has(badName.Output, "no drive matches")) << badName.Output;
  const TRun noValue = RunSkarvo("info --drive");
  EXPECT_EQ(noValue.Status, 2);

  std::string err;
  ASSERT_TRUE(vrec::EjectMedium("w", err)) << err;
  const TRun empty = RunSkarvo("info --drive w");
  EXPECT_EQ(empty.Status, 1);
  EXPECT_TRUE(Has(empty.Output, "The tray is open.")) << empty.Output;
}

namespace {

// The drive's write-parameters page as it kept it from the last MODE SELECT.
std::vector<uint8_t> WriteParams(const std::string &settingsFile) {
  std::ifstream in(settingsFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("write_params = ", 0) != 0)
      continue;
    std::vector<uint8_t> bytes;
    std::istringstream hex(line.substr(15));
    unsigned value = 0;
    while (hex >> std::hex >> value)
      bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
  }
  return {};
}

// The figure after "label : " in megabytes.
double Figure(const std::string &text, const std::string &label) {
  const auto p = text.find(label);
  if (p == std::string::npos)
    return -1;
  std::string number;
  size_t i = text.find(':', p) + 1;
  while (i < text.size() && text[i] == ' ')
    ++i;
  for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == ',' || text[i] == '.'); ++i)
    if (text[i] != ',')
      number += text[i];
  return number.empty() ? -1 : std::stod(number);
}

} // namespace

TEST_F(VDriveTest, CliCloseTrackKeepsACDAppendableUnlessFinalizing) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-R");
  std::vector<uint8_t> data(32 * 2048, 0x5A);
  {
    TSCSIDevice &dev = Select("w");
    ASSERT_TRUE(dev.SetWriteParameters(false, false, dtCDR, false)) << dev.ErrorText;
    ASSERT_TRUE(dev.Write10(0, 32, 0x50, static_cast<int>(data.size()), data.data())) << dev.ErrorText;
  }
  ClearLog("w");
  const TRun close = RunSkarvo("close-track --drive w");
  EXPECT_EQ(close.Status, 0) << close.Output;
  EXPECT_TRUE(Has(close.Output, "stays appendable")) << close.Output;
  vrec::TDriveSummary s;
  std::string err;
  ASSERT_TRUE(vrec::GetDrive("w", s, err)) << err;
  EXPECT_EQ(s.DiscStatus, "appendable");
  EXPECT_EQ(s.Sessions, 1);
  // The page sent just before the close asked for a next session.
  std::vector<std::string> cdbs = LoggedCdbs("w");
  auto closeCmd = std::find(cdbs.begin(), cdbs.end(), "5B0002000000000000000000");
  if (closeCmd == cdbs.end())
    closeCmd = std::find_if(cdbs.begin(), cdbs.end(), [](const std::string &c) { return c.rfind("5B000200", 0) == 0; });
  ASSERT_NE(closeCmd, cdbs.end());
  ASSERT_NE(closeCmd, cdbs.begin());
  EXPECT_EQ((closeCmd - 1)->substr(0, 2), "55");
  std::vector<uint8_t> page = WriteParams(folder_ + "/w/settings");
  ASSERT_GE(page.size(), 4u);
  EXPECT_EQ(page[3] >> 6, 3) << "multisession";

  // A second session, then finalising closes the disc for good.
  {
    TSCSIDevice &dev = Device();
    ASSERT_TRUE(dev.SetWriteParameters(false, false, dtCDR, false)) << dev.ErrorText;
    ASSERT_TRUE(dev.ReadTrackInformation(0xFF)) << dev.ErrorText;
    const uint32_t next = dev.TrackNextWritable();
    ASSERT_TRUE(dev.Write10(next, 32, 0x50, static_cast<int>(data.size()), data.data())) << dev.ErrorText;
  }
  ClearLog("w");
  const TRun fin = RunSkarvo("close-track --finalize --drive w");
  EXPECT_EQ(fin.Status, 0) << fin.Output;
  ASSERT_TRUE(vrec::GetDrive("w", s, err)) << err;
  EXPECT_EQ(s.DiscStatus, "complete");
  EXPECT_EQ(s.Sessions, 2);
  page = WriteParams(folder_ + "/w/settings");
  ASSERT_GE(page.size(), 4u);
  EXPECT_EQ(page[3] >> 6, 0) << "multisession";
  cdbs = LoggedCdbs("w");
  EXPECT_EQ(Count(cdbs, "5B"), 1u);
}

TEST_F(VDriveTest, CliDriveDigitsAreAnIndexNamesSelectByName) {
  AddDrive("a", "dvd-writer");
  AddDrive("b", "dvd-reader");
  const TRun byIndex = RunSkarvo("capabilities --drive 1");
  EXPECT_EQ(byIndex.Status, 0) << byIndex.Output;
  EXPECT_TRUE(Has(byIndex.Output, "Device: 0:1:0,b ")) << byIndex.Output;
  const TRun byName = RunSkarvo("capabilities --drive=a");
  EXPECT_EQ(byName.Status, 0) << byName.Output;
  EXPECT_TRUE(Has(byName.Output, "Device: 0:0:0,a ")) << byName.Output;
  for (const char *empty : {"capabilities --drive=", "capabilities --drive ''"}) {
    const TRun r = RunSkarvo(empty);
    EXPECT_EQ(r.Status, 2) << empty << "\n" << r.Output;
    EXPECT_TRUE(Has(r.Output, "--drive needs a value")) << r.Output;
  }
  // The recorder never makes a drive whose name reads as an index, so "1"
  // always means the second drive.
  std::string err;
  EXPECT_FALSE(vrec::AddDrive("1", "dvd-writer", "", "", "", err));
  EXPECT_TRUE(Has(err, "a name begins with a letter")) << err;
  const TRun again = RunSkarvo("capabilities --drive 1");
  EXPECT_TRUE(Has(again.Output, "Device: 0:1:0,b ")) << again.Output;
}

TEST_F(VDriveTest, CliEraseTellsWhatHappened) {
  AddDrive("w", "dvd-writer");
  Setting("w", "clock", "1000");
  std::string err;
  ASSERT_TRUE(vrec::EjectMedium("w", err)) << err;
  const TRun empty = RunSkarvo("erase --yes --drive w");
  EXPECT_EQ(empty.Status, 1);
  EXPECT_TRUE(Has(empty.Output, "There is no disc in the drive w.")) << empty.Output;
  EXPECT_FALSE(Has(empty.Output, "not erasable")) << empty.Output;

  // Every zero-write refused: an error and a non-zero status.
  Insert("w", "DVD+RW", 0, MakeImage(100, 100), true);
  Fault("w", "unformatted count=-1");
  const TRun refused = RunSkarvo("erase --yes --drive w");
  EXPECT_EQ(refused.Status, 1) << refused.Output;
  EXPECT_TRUE(Has(refused.Output, "Erasing the DVD+RW in the drive w")) << refused.Output;
  EXPECT_TRUE(Has(refused.Output, "Erase process completed with errors. (WRITE REFUSED")) << refused.Output;
  EXPECT_FALSE(Has(refused.Output, "100.0 %")) << refused.Output;
}

TEST_F(VDriveTest, CliInterruptedEraseUnlocksTheTrayAndExits130) {
  AddDrive("w", "dvd-writer");
  Insert("w", "DVD-RW", 0, MakeImage(3000, 3000));
  Setting("w", "clock", "1");  // a complete blank takes about half an hour
  const std::string out = root_ + "/erase.out";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::freopen(out.c_str(), "w", stdout);
    std::freopen(out.c_str(), "a", stderr);
    std::freopen("/dev/null", "r", stdin);
    ::execl(SKARVO_CLI_PATH, SKARVO_CLI_PATH, "erase", "--yes", "--complete", "--drive", "w", nullptr);
    ::_exit(127);
  }
  // Wait until the blank has been sent.
  const auto start = std::chrono::steady_clock::now();
  while (Count(LoggedCdbs("w"), "A1") == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(Count(LoggedCdbs("w"), "A1"), 1u);
  ::kill(pid, SIGINT);
  int status = 0;
  const auto signalled = std::chrono::steady_clock::now();
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() - signalled < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "erase did not end after Ctrl-C";
  }
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const std::vector<std::string> cdbs = LoggedCdbs("w");
  const auto blank = std::find_if(cdbs.begin(), cdbs.end(), [](const std::string &c) { return c.rfind("A1", 0) == 0; });
  ASSERT_NE(blank, cdbs.end());
  EXPECT_NE(std::find(cdbs.begin(), blank, "1E0000000100"), blank) << "tray locked before the blank";
  EXPECT_NE(std::find(blank, cdbs.end(), "1E0000000000"), cdbs.end()) << "tray unlocked after it";
}

TEST_F(VDriveTest, CliInfoFiguresAgree) {
  AddDrive("w", "bd-writer");
  // 66 MB recorded (33,800 blocks) in a first session.
  const std::string image = MakeImage(33800, 33800);
  struct TCase {
    const char *Media;
    bool Formatted;
    bool Sequential;  // the session count is the recorder's closed sessions
  };
  const TCase cases[] = {{"DVD-ROM", false, false}, {"DVD-RW", false, true}, {"DVD-RW", true, false},
                         {"DVD+R", false, true},    {"DVD+RW", true, false}, {"CD-R", false, true},
                         {"DVD-R", false, true},    {"BD-ROM", false, false}, {"BD-R", false, true},
                         {"BD-R-DL", false, true},  {"BD-RE", true, false}};
  for (const TCase &c : cases) {
    Insert("w", c.Media, 0, image, c.Formatted);
    const TRun info = RunSkarvo("info --drive w");
    SCOPED_TRACE(std::string(c.Media) + (c.Formatted ? " formatted" : "") + "\n" + info.Output);
    ASSERT_EQ(info.Status, 0);
    const double size = Figure(info.Output, "Disc Size"), used = Figure(info.Output, "Used Space"),
                 free = Figure(info.Output, "Free Space");
    EXPECT_GE(size, 66.0);
    EXPECT_GE(used, 66.0);
    EXPECT_GE(free, 0.0);
    EXPECT_LE(used + free, size + 0.01);
    vrec::TDriveSummary s;
    std::string err;
    ASSERT_TRUE(vrec::GetDrive("w", s, err)) << err;
    if (c.Sequential)
      EXPECT_TRUE(Has(info.Output, "Sessions : " + std::to_string(s.Sessions) + "\n"));
  }
}

TEST_F(VDriveTest, CliCapabilitiesWithADVDLoadedShowTheWriteModes) {
  AddDrive("w", "dvd-writer");
  Insert("w", "DVD+R");
  const TRun caps = RunSkarvo("capabilities --drive w");
  EXPECT_EQ(caps.Status, 0) << caps.Output;
  EXPECT_FALSE(Has(caps.Output, "Write Modes : none")) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, "Write Modes : TAO")) << caps.Output;
}

TEST_F(VDriveTest, CliDriveCommandsEndWithinTheirTimeOut) {
  AddDrive("w", "dvd-writer");
  Insert("w", "CD-RW");
  // A drive that never answers again, and one command left unanswered in
  // the middle of reading the disc.
  const std::pair<const char *, const char *> cases[] = {{"info", "pending count=-1"},
                                                         {"info", "pending count=1 op=0x51"}};
  for (const auto &[command, fault] : cases) {
    Fault("w", fault);
    const auto start = std::chrono::steady_clock::now();
    const TRun r = RunSkarvo(std::string(command) + " --drive w");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(r.Status, 1) << command << "\n" << r.Output;
    EXPECT_TRUE(Has(r.Output, "COMMAND TIMEOUT")) << command << "\n" << r.Output;
    EXPECT_LT(seconds.count(), 40) << command;
    std::string err;
    ASSERT_TRUE(vrec::ClearFaults("w", err)) << err;
  }
}

// The write speeds `capabilities` lists come from the medium's GET
// PERFORMANCE write-speed descriptors; a drive that does not answer them
// gets its speeds probed through SET CD SPEED and page 2Ah, with the same
// result.
TEST_F(VDriveTest, CliSpeedListComesFromGetPerformance) {
  AddDrive("bd", "bd-writer");
  Insert("bd", "BD-R");
  const std::string bdr = "Write Speeds : max, 12.0x (53940 KB/s), 10.0x (44950 KB/s), 8.0x (35960 KB/s), "
                          "6.0x (26970 KB/s), 4.0x (17980 KB/s), 2.0x (8990 KB/s)";
  ClearLog("bd");
  TRun caps = RunSkarvo("capabilities --drive bd");
  ASSERT_EQ(caps.Status, 0) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, bdr)) << caps.Output;
  std::vector<std::string> cdbs = LoggedCdbs("bd");
  EXPECT_EQ(Count(cdbs, "AC"), 1u);
  EXPECT_EQ(std::count_if(cdbs.begin(), cdbs.end(),
                          [](const std::string &c) { return c.size() >= 22 && c.compare(0, 2, "AC") == 0 && c.compare(20, 2, "03") == 0; }),
            1) << "one GET PERFORMANCE, type 03h";
  EXPECT_EQ(Count(cdbs, "BB"), 0u) << "no speed probing";

  // The list follows the medium: a BD-RE with spare areas records at 2x.
  Insert("bd", "BD-RE", 0, "", true);
  caps = RunSkarvo("capabilities --drive bd");
  EXPECT_TRUE(Has(caps.Output, "Write Speeds : max, 2.0x (8990 KB/s)\n")) << caps.Output;

  // Without an answer to GET PERFORMANCE the speeds are probed.
  Insert("bd", "BD-R");
  Fault("bd", "notready count=-1 op=AC ascq=0");
  ClearLog("bd");
  caps = RunSkarvo("capabilities --drive bd");
  ASSERT_EQ(caps.Status, 0) << caps.Output;
  EXPECT_TRUE(Has(caps.Output, bdr)) << caps.Output;
  cdbs = LoggedCdbs("bd");
  EXPECT_GE(Count(cdbs, "AC"), 1u);
  EXPECT_GE(Count(cdbs, "BB"), 6u);
}

// A BD-RE formatted with spare areas holds less than the whole disc: an
// image that would fit the disc but not its user area is refused before
// anything is written, and one that fits the user area is burned.
TEST_F(VDriveTest, CliBurnOnASparedDiscChecksTheUserArea) {
  AddDrive("bd", "bd-writer");
  // A small disc of 400,032 blocks: the default spare areas (393,216
  // blocks) leave 6,816 user blocks.
  Insert("bd", "BD-RE", 400032, "", true);
  Setting("bd", "clock", "0");
  const auto image = [this](const std::string &name, uint32_t sectors) {
    const std::string path = root_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(2048, 0);
    for (uint32_t i = 0; i < sectors; ++i) {
      std::fill(block.begin(), block.end(), static_cast<char>(i));
      if (i == 16) {  // a primary volume descriptor, so that the file reads as ISO 9660
        block[0] = 1;
        std::memcpy(block.data() + 1, "CD001", 5);
        block[6] = 1;
      }
      out.write(block.data(), block.size());
    }
    return path;
  };
  ClearLog("bd");
  TRun big = RunSkarvo("burn-image --drive bd --yes " + image("big.iso", 10000));
  EXPECT_NE(big.Status, 0) << big.Output;
  EXPECT_TRUE(Has(big.Output, "FREE")) << big.Output;
  std::vector<std::string> cdbs = LoggedCdbs("bd");
  for (const char *op : {"2A", "AA", "04", "5B"})
    EXPECT_EQ(Count(cdbs, op), 0u) << "nothing written or formatted: " << op;

  TRun fits = RunSkarvo("burn-image --drive bd --yes " + image("fits.iso", 6000));
  EXPECT_EQ(fits.Status, 0) << fits.Output;
  cdbs = LoggedCdbs("bd");
  EXPECT_GT(Count(cdbs, "AA") + Count(cdbs, "2A"), 0u);
}
