// The command sequence of a burn per medium and setting, from the
// recorder's log, and the state the disc is left in.
#include "BurnFixture.h"

namespace {

// Buffer capacity, disc type, load, tray locked, rezero, speeds, ready wait,
// current speed, write parameters (no rezero on DVD+RW).
const std::string kPrepare = "5C 46 1B 1E 01 BB 51 00 5A 5A 46 46 46 46 46 5A 5A 55";
const std::string kPreparePlusRW = "5C 46 1B 1E BB 51 00 5A 5A 46 46 46 46 46 5A 5A 55";
// Write parameters, speeds, rezero, tray unlocked, load, rezero, ready.
const std::string kRestore = "5A 55 BB 01 1E 1B 01 00";
const std::string kLoop = "2A*5 5C 2A*5 5C";  // the buffer is read every fifth block

struct SequenceCase {
  const char *Name;
  const char *Media;
  bool Formatted;
  void (*Setup)(TOrvBurner &);
  std::string Expected;
  int Status;  // DiscStatus afterwards: 0 blank, 1 appendable, 2 complete, 3 random access
};

class BurnSequence : public BurnTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(BurnSequence, CommandsPerMedium) {
  const SequenceCase &c = GetParam();
  Drive(c.Media, c.Formatted);
  Source("a.bin", 300000);
  Source("d/b.bin", 5000, 2);
  if (c.Setup)
    c.Setup(Burner());
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(WriterSequence(), c.Expected);
  ExpectDriveUsable();
  EXPECT_EQ(Burner().DiscStatus(), c.Status);
}

void TestWrite(TOrvBurner &b) { b.TestWrite = b.PerformOPC = true; }
void Opc(TOrvBurner &b) { b.PerformOPC = true; }
void NoTrackClose(TOrvBurner &b) { b.FinalizeTrack = false; }
void Finalize(TOrvBurner &b) { b.FinalizeDisc = true; }

INSTANTIATE_TEST_SUITE_P(
    Media, BurnSequence,
    ::testing::Values(
        // CD: 27-sector writes, the session closed with the immediate bit.
        SequenceCase{"CDR", "CD-R", false, nullptr, kPrepare + " " + kLoop + " 2A*2 5C 35 5A 55 5B:2/0000i 51 00 5C " + kRestore, 1},
        SequenceCase{"CDRW", "CD-RW", false, Opc, kPrepare + " 54 " + kLoop + " 2A*2 5C 35 5A 55 5B:2/0000i 51 00 5C " + kRestore, 1},
        SequenceCase{"CDRFinalized", "CD-R", false, Finalize, kPrepare + " " + kLoop + " 2A*2 5C 35 5A 55 5B:2/0000i 51 00 5C " + kRestore, 2},
        // A test write skips OPC and every close, and records nothing.
        SequenceCase{"CDRTestWrite", "CD-R", false, TestWrite, kPrepare + " " + kLoop + " 2A*2 5C 35 51 00 5C " + kRestore, 0},
        // DVD-R: streaming at the chosen speed, time stamp, reservation;
        // an immediate flush polled until the drive answers; two tracks and
        // the session closed without new write parameters.
        SequenceCase{"DVDR", "DVD-R", false, nullptr, kPrepare + " B6 BF 53 51 00 " + kLoop + " 35 51 5B:1/0001 5B:1/0002 5B:2/0003 51 00 5C " + kRestore, 1},
        // DVD-RW (a blank one formatted before the burn). A first session on
        // an overwritable medium starts at LBA 0 with its own descriptors.
        SequenceCase{"DVDRW", "DVD-RW", false, nullptr, kPrepare + " B6 " + kLoop + " 35 51 5A 55 5B:2/0000i 51 00 5C " + kRestore, 2},
        SequenceCase{"DVDRWRestricted", "DVD-RW", true, nullptr, kPrepare + " B6 51 " + kLoop + " 35 51 5A 55 5B:2/0000i 51 00 5C " + kRestore, 2},
        SequenceCase{"DVDPR", "DVD+R", false, nullptr, kPrepare + " B6 " + kLoop + " 35 5A 55 5B:1/0001 5B:2/00FF 51 00 5C " + kRestore, 1},
        SequenceCase{"DVDPRNoClose", "DVD+R", false, NoTrackClose, kPrepare + " B6 " + kLoop + " 35 51 00 5C " + kRestore, 1},
        SequenceCase{"DVDPRDL", "DVD+R-DL", false, nullptr, kPrepare + " B6 " + kLoop + " 35 5A 55 5B:1/0001 5B:2/0000 51 00 5C " + kRestore, 1},
        SequenceCase{"DVDPRDLFinalized", "DVD+R-DL", false, Finalize, kPrepare + " B6 " + kLoop + " 35 5A 55 5B:1/0001 5B:6/0000 51 00 5C " + kRestore, 2},
        SequenceCase{"DVDPRW", "DVD+RW", true, nullptr, kPreparePlusRW + " B6 51 " + kLoop + " 35 5A 55 5B:3/00FF 51 00 5C " + kRestore, 2},
        // Unformatted DVD+RW: the first write refused, one format and its
        // wait, the write again.
        SequenceCase{"DVDPRWUnformatted", "DVD+RW", false, nullptr, kPreparePlusRW + " B6 51 2A*1 04 51 " + kLoop + " 35 5A 55 5B:3/00FF 51 00 5C " + kRestore, 2},
        // DVD-RAM: no write parameters, no buffer read at the end, no close.
        SequenceCase{"DVDRAM", "DVD-RAM", false, nullptr, "5C 46 1B 1E 01 BB 00 03 5A 5A 46 46 46 46 46 5A 51 2A*5 5C 2A*5 35 00 03 " + kRestore, 3}),
    [](const ::testing::TestParamInfo<SequenceCase> &i) { return std::string(i.param.Name); });

} // namespace

TEST_F(BurnTest, TheBurnEndsOnlyOnceTheDriveHasFinishedClosing) {
  // CD and DVD-RW sessions are closed with the immediate bit: the drive
  // answers at once and goes on closing for a while (here a quarter or half
  // a second). The burn must wait for it, so that the command after it never
  // meets "operation in progress". The library's clock runs as fast as the
  // drive's, so that its waits mean to the drive what they say.
  ov::SetTimeScale(1.0 / 40);
  for (const char *media : {"CD-R", "DVD-RW"}) {
    SCOPED_TRACE(media);
    Drive(media);
    Source("a.bin", 300000);
    Setting("w", "clock", "40");
    EXPECT_EQ(BurnAndWait(), "");
    const bool answered = Burner().ReadDiscInformation();
    const TSenseData sense = DecodeSense(Burner().LastSense, sizeof Burner().LastSense);
    EXPECT_TRUE(answered) << std::hex << int(sense.Key) << "/" << int(sense.Asc) << "/" << int(sense.Ascq);
  }
}

TEST_F(BurnTest, ADriveThatNeverFinishesClosingFailsTheBurn) {
  // How many READ DISC INFORMATION commands come before the close on a
  // sound drive; on the second drive every one after them answers "not
  // ready", so the drive never shows the end of its immediate close.
  Drive("CD-R");
  Source("a.bin", 300000);
  ClearLog("w");
  ASSERT_EQ(BurnAndWait(), "");
  int before = 0;
  for (const std::string &cdb : LoggedCdbs("w")) {
    if (cdb.compare(0, 2, "5B") == 0)
      break;
    before += cdb.compare(0, 2, "51") == 0;
  }
  // The library's 240 s wait for the drive takes a quarter of a second here.
  Drive("CD-R");
  ClearLog("w");
  Fault("w", "notready count=-1 op=51 skip=" + std::to_string(before));
  EXPECT_EQ(BurnAndWait(), kNotRespondingText);
  EXPECT_FALSE(TOrvBurner::WriteRunning());
  std::ifstream f(folder_ + "/w/settings");
  const std::string text((std::istreambuf_iterator<char>(f)), {});
  EXPECT_NE(text.find("prevent = 0"), std::string::npos) << "the tray stays locked";
}
