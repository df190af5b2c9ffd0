// The drive commands of `skarvo` against a virtual DVD writer.
#include "VDriveFixture.h"

#include <cstdio>
#include <sys/wait.h>

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
  EXPECT_TRUE(Has(info.Output, "Disc is open")) << info.Output;
  EXPECT_TRUE(Has(info.Output, "Disc Size   : ")) << info.Output;
  EXPECT_TRUE(Has(info.Output, "Sessions : 0")) << info.Output;

  const TRun erase = RunSkarvo("erase --yes --drive 0");
  EXPECT_EQ(erase.Status, 0) << erase.Output;
  EXPECT_TRUE(Has(erase.Output, "100 %")) << erase.Output;
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
  EXPECT_TRUE(Has(empty.Output, "Error getting session information.")) << empty.Output;
  EXPECT_TRUE(Has(empty.Output, "MEDIUM NOT PRESENT")) << empty.Output;
}
