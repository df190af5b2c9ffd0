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

// The preparation every burn starts with: buffer capacity, disc type, load,
// tray locked, (rezero,) speeds, ready wait, current speed, write parameters.
const std::string kPrepare = "5C 46 1B 1E 01 BB 51 00 5A 5A 46 46 46 5A 5A 55";
const std::string kPreparePlusRW = "5C 46 1B 1E BB 51 00 5A 5A 46 46 46 5A 5A 55";
// The restore after a closed session: write parameters, speeds, rezero,
// tray unlocked, load, rezero, ready.
const std::string kRestore = "5A 55 BB 01 1E 1B 01 00";

struct SequenceCase {
  const char *Media;
  bool Formatted;
  std::string Expected;  // the folded writer sequence
};

class BurnSequence : public BurnTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(BurnSequence, CommandsPerMedium) {
  const SequenceCase &c = GetParam();
  Drive(c.Media, c.Formatted);
  Source("a.bin", 300000);
  Source("d/b.bin", 5000, 2);
  ClearLog("w");
  EXPECT_EQ(BurnAndWait(), "");
  EXPECT_EQ(Join(WriterSequence()), c.Expected);
  ExpectDriveUsable();
}

INSTANTIATE_TEST_SUITE_P(
    Media, BurnSequence,
    ::testing::Values(
        // CD: 27-sector writes, buffer polled every fifth block, the session
        // closed with the immediate bit and polled until ready.
        SequenceCase{"CD-R", false, kPrepare + " 51 2A*5 5C 2A*5 5C 2A*2 5C 35 5A 55 5B:2/0000i 51 00 5C " + kRestore},
        SequenceCase{"CD-RW", false, kPrepare + " 51 2A*5 5C 2A*5 5C 2A*2 5C 35 5A 55 5B:2/0000i 51 00 5C " + kRestore},
        // DVD-R: streaming, the fixed descriptor, time stamp, reservation;
        // immediate flush polled by READ DISC INFORMATION; two tracks and
        // the session closed without a new write-parameters page.
        SequenceCase{"DVD-R", false, kPrepare + " B6 51 B6 BF 53 51 00 2A*5 5C 2A*5 5C 35 51 5B:1/0001 5B:1/0002 5B:2/0003 51 00 5C " + kRestore},
        // DVD-RW (formatted before the burn): the descriptor block at LBA 0
        // first, the session closed with the immediate bit.
        SequenceCase{"DVD-RW", false, kPrepare + " B6 51 2A*1 35 2A*5 5C 2A*5 5C 35 51 5A 55 5B:2/0000i 51 00 5C " + kRestore},
        SequenceCase{"DVD-RW", true, kPrepare + " B6 51 2A*1 35 2A*5 5C 2A*5 5C 35 51 5A 55 5B:2/0000i 51 00 5C " + kRestore},
        SequenceCase{"DVD+R", false, kPrepare + " B6 51 2A*5 5C 2A*5 5C 35 5A 55 5B:1/0001 5B:2/00FF 51 00 5C " + kRestore},
        SequenceCase{"DVD+R-DL", false, kPrepare + " B6 51 2A*5 5C 2A*5 5C 35 5A 55 5B:1/0001 5B:2/0000 51 00 5C " + kRestore},
        SequenceCase{"DVD+RW", true, kPreparePlusRW + " B6 51 2A*1 35 2A*5 5C 2A*5 5C 35 5A 55 5B:3/00FF 51 00 5C " + kRestore},
        // Unformatted DVD+RW: the first write refused, one format, its wait,
        // and the descriptor block written again.
        SequenceCase{"DVD+RW", false, kPreparePlusRW + " B6 51 2A*1 04 51 2A*1 35 2A*5 5C 2A*5 5C 35 5A 55 5B:3/00FF 51 00 5C " + kRestore},
        // DVD-RAM: no write parameters, no buffer reads at the end, no close.
        SequenceCase{"DVD-RAM", false, "5C 46 1B 1E 01 BB 00 03 5A 5A 46 46 46 5A 51 2A*1 35 2A*5 5C 2A*5 35 00 03 " + kRestore}),
    [](const ::testing::TestParamInfo<SequenceCase> &i) {
      std::string n = std::string(i.param.Media) + (i.param.Formatted ? "_formatted" : "");
      for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch)))
          ch = ch == '+' ? 'P' : '_';
      return n;
    });

