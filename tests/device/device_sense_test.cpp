// The sense decoder, the error-text builder and the retry policy, fed with
// sense data of every format; the device-string address parser; the
// adapter numbering of the pass-through scan. No drive needed.
#include "ovDrvLib.h"
#include "ovSPTI.h"

#include <gtest/gtest.h>

#include <array>

namespace {

// 18 bytes of fixed-format sense: response code, key, ASC, ASCQ.
std::array<uint8_t, 24> Fixed(uint8_t code, uint8_t key, uint8_t asc, uint8_t ascq, uint8_t additional = 10) {
  std::array<uint8_t, 24> s{};
  s[0] = code;
  s[2] = key;
  s[7] = additional;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

// Descriptor-format sense: key, ASC and ASCQ in bytes 1-3. Bytes 12 and 13
// hold a descriptor's bytes, which a fixed-format reading would take as ASC.
std::array<uint8_t, 24> Descriptor(uint8_t code, uint8_t key, uint8_t asc, uint8_t ascq) {
  std::array<uint8_t, 24> s{};
  s[0] = code;
  s[1] = key;
  s[2] = asc;
  s[3] = ascq;
  s[7] = 12;  // one information descriptor
  s[8] = 0x00;
  s[9] = 0x0A;
  s[10] = 0x80;
  s[12] = 0x11;
  s[13] = 0x22;
  return s;
}

std::string Text(const std::array<uint8_t, 24> &s) {
  return CommandErrorText(SS_ERR, 0, 2, s.data(), s.size());
}
TSenseAction Action(const std::array<uint8_t, 24> &s) {
  return CommandAction(SS_ERR, 0, 2, s.data(), s.size());
}

} // namespace

TEST(SenseData, FixedFormatCurrentAndDeferred) {
  const auto current = Fixed(0x70, 0x02, 0x3A, 0x00);
  EXPECT_EQ(Text(current), "NOT READY (MEDIUM NOT PRESENT)");
  EXPECT_EQ(Action(current), TSenseAction::Fail);

  // Valid bit set: the same error, with the information field valid.
  const auto valid = Fixed(0xF0, 0x03, 0x0C, 0x00);
  EXPECT_EQ(Text(valid), "MEDIUM ERROR (WRITE ERROR)");
  EXPECT_EQ(DecodeSense(valid.data(), valid.size()).Key, 3);
  EXPECT_FALSE(DecodeSense(valid.data(), valid.size()).Deferred);

  // Deferred errors, with and without the valid bit, belong to an earlier
  // command: never retried.
  for (uint8_t code : {uint8_t(0x71), uint8_t(0xF1)}) {
    const auto deferred = Fixed(code, 0x03, 0x0C, 0x00);
    EXPECT_EQ(Text(deferred), "DEFERRED MEDIUM ERROR (WRITE ERROR)") << int(code);
    EXPECT_TRUE(DecodeSense(deferred.data(), deferred.size()).Deferred);
    EXPECT_EQ(Action(deferred), TSenseAction::Fail);
    // A deferred unit attention is still a lost earlier command.
    EXPECT_EQ(Action(Fixed(code, 0x06, 0x28, 0x00)), TSenseAction::Fail);
  }

  // No additional length: no ASC part, and no ASC read from stale bytes.
  const auto bare = Fixed(0x70, 0x05, 0x24, 0x00, 0);
  EXPECT_EQ(Text(bare), "ILLEGAL REQUEST");
  EXPECT_EQ(DecodeSense(bare.data(), bare.size()).Asc, 0);
}

TEST(SenseData, DescriptorFormatCurrentAndDeferred) {
  const auto current = Descriptor(0x72, 0x02, 0x04, 0x07);
  const TSenseData d = DecodeSense(current.data(), current.size());
  EXPECT_TRUE(d.Known);
  EXPECT_TRUE(d.Descriptor);
  EXPECT_EQ(d.Key, 2);
  EXPECT_EQ(d.Asc, 0x04);
  EXPECT_EQ(d.Ascq, 0x07);
  EXPECT_EQ(Text(current), "NOT READY (LOGICAL UNIT NOT READY, OPERATION IN PROGRESS)");
  EXPECT_EQ(Action(current), TSenseAction::Wait);

  const auto deferred = Descriptor(0x73, 0x03, 0x0C, 0x00);
  EXPECT_EQ(Text(deferred), "DEFERRED MEDIUM ERROR (WRITE ERROR)");
  EXPECT_EQ(Action(deferred), TSenseAction::Fail);

  EXPECT_EQ(Text(Descriptor(0x72, 0x05, 0x21, 0x02)), "ILLEGAL REQUEST (INVALID ADDRESS FOR WRITE)");
  // A pair outside the table is shown as numbers.
  EXPECT_EQ(Text(Descriptor(0x72, 0x04, 0x99, 0x01)), "HARDWARE ERROR (153,1)");
}

// The progress of a long operation in the sense-key-specific bytes: only
// with SKSV set, only for NOT READY or NO SENSE, in both formats.
TEST(SenseData, ProgressIndication) {
  uint8_t fixed[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x04, 0, 0x80, 0x40, 0x00};
  EXPECT_EQ(SenseProgress(fixed, sizeof fixed), 0x4000);
  fixed[15] = 0x00;  // SKSV clear
  EXPECT_EQ(SenseProgress(fixed, sizeof fixed), -1);
  fixed[15] = 0x80;
  fixed[2] = 0x03;  // a medium error carries no progress
  EXPECT_EQ(SenseProgress(fixed, sizeof fixed), -1);
  fixed[2] = 0x00;
  EXPECT_EQ(SenseProgress(fixed, sizeof fixed), 0x4000);
  EXPECT_EQ(SenseProgress(fixed, 16), -1);  // cut short

  // Descriptor format: an information descriptor, then the sense key specific one.
  const uint8_t desc[] = {0x72, 0x02, 0x04, 0x04, 0, 0, 0, 20,
                          0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0x02, 0x06, 0, 0, 0x80, 0xFF, 0xFF, 0};
  EXPECT_EQ(SenseProgress(desc, sizeof desc), 0xFFFF);
  EXPECT_EQ(SenseProgress(desc, 24), -1);  // the descriptor is not whole
}

TEST(SenseData, StatusesAndPolicy) {
  const auto none = std::array<uint8_t, 24>{};
  EXPECT_EQ(CommandErrorText(SS_COMP, 0, 0, none.data(), none.size()), "");
  EXPECT_EQ(CommandAction(SS_COMP, 0, 0, none.data(), none.size()), TSenseAction::GoOn);
  EXPECT_EQ(CommandErrorText(SS_ERR, HASTAT_TIMEOUT, 0, none.data(), none.size()), "COMMAND TIMEOUT");
  EXPECT_EQ(CommandAction(SS_ERR, HASTAT_TIMEOUT, 0, none.data(), none.size()), TSenseAction::Fail);
  EXPECT_EQ(CommandErrorText(SS_ERR, 0, 8, none.data(), none.size()), "TARGET BUSY");
  EXPECT_EQ(CommandAction(SS_ERR, 0, 8, none.data(), none.size()), TSenseAction::Retry);
  // Lost on the way without sense data: sent again a few times, never taken for "busy".
  EXPECT_EQ(CommandErrorText(SS_ERR, HASTAT_BUS_FREE, 0, none.data(), none.size()), "UNEXPECTED BUS FREE");
  for (uint8_t ha : {HASTAT_BUS_FREE, HASTAT_BUS_RESET, HASTAT_PARITY_ERROR, HASTAT_PHASE_ERR, HASTAT_SEL_TO})
    EXPECT_EQ(CommandAction(SS_ERR, ha, 0, none.data(), none.size()), TSenseAction::Resend) << int(ha);
  EXPECT_EQ(CommandAction(SS_ERR, 0, 2, none.data(), none.size()), TSenseAction::Resend) << "CHECK without sense";
  EXPECT_EQ(CommandAction(SS_ERR, 0, 2, nullptr, 0), TSenseAction::Resend);
  EXPECT_EQ(CommandAction(SS_ERR, HASTAT_DO_DU, 0, none.data(), none.size()), TSenseAction::Fail) << "would recur";
  EXPECT_EQ(CommandErrorText(SS_ABORTED, 0, 0, none.data(), none.size()), "OPERATION ABORTED BY USER");
  // A CHECK CONDITION without sense data has no text; an unknown response code is UNKNOWN.
  EXPECT_EQ(Text(none), "");
  EXPECT_EQ(Text(Fixed(0x7E, 0x02, 0x04, 0x00)), "UNKNOWN");
  EXPECT_EQ(Action(Fixed(0x7E, 0x02, 0x04, 0x00)), TSenseAction::Fail);

  EXPECT_EQ(Action(Fixed(0x70, 0x06, 0x28, 0x00)), TSenseAction::Retry);       // medium changed
  EXPECT_EQ(Action(Fixed(0x70, 0x02, 0x04, 0x08)), TSenseAction::Wait);        // long write
  EXPECT_EQ(Action(Fixed(0x70, 0x02, 0x04, 0x03)), TSenseAction::Fail);        // manual intervention
  EXPECT_EQ(Action(Fixed(0x70, 0x01, 0x17, 0x00)), TSenseAction::GoOn);        // recovered
  const auto eom = Fixed(0x70, 0x40, 0x00, 0x00);
  EXPECT_EQ(Text(eom).rfind("END OF MEDIA", 0), 0u);

  // Polled REQUEST SENSE answers: F0h counts as not ready, descriptors are read.
  const auto f0 = Fixed(0xF0, 0x00, 0x00, 0x00);
  EXPECT_EQ(PolledSenseASC(f0.data(), f0.size()), 0x04);
  const auto gone = Descriptor(0x72, 0x02, 0x3A, 0x00);
  EXPECT_EQ(PolledSenseASC(gone.data(), gone.size()), 0x3A);
}

TEST(DeviceAddress, ParsesMultiDigitNumbers) {
  uint8_t ha = 0, target = 0, lun = 0;
  ASSERT_TRUE(ParseDeviceAddress("12:3:0,/dev/sr5 HL-DT-ST DVDRAM GH24NSD1 LG00", ha, target, lun));
  EXPECT_EQ(ha, 12);
  EXPECT_EQ(target, 3);
  EXPECT_EQ(lun, 0);
  ASSERT_TRUE(ParseDeviceAddress("1:10:2", ha, target, lun));
  EXPECT_EQ(target, 10);
  EXPECT_EQ(lun, 2);
  for (const char *bad : {"", "0:0", "a:0:0,x", "0:0:0x", "1:2:3:4", "0::0,x", "300:0:0,x", "0:0:0 x"})
    EXPECT_FALSE(ParseDeviceAddress(bad, ha, target, lun)) << bad;
}

TEST(PassThroughScan, AdaptersAreNumberedDenselyFromTheHosts) {
  TSPTIDrive drives[kSPTISlots] = {};
  const auto put = [&](int slot, int host, uint8_t target, uint8_t lun) {
    drives[slot].present = true;
    drives[slot].host = host;
    drives[slot].tgt = target;
    drives[slot].lun = lun;
  };
  put(2, 14, 0, 0);                      // a USB burner on a high host number
  put(3, 3, 0, 0);                       // SATA
  put(4, 14, 1, 0);                      // a second drive on host 14
  put(5, -1, 0, kSPTINoAddressLun);      // no address reported
  put(6, 250, 0, 0);
  drives[7].host = 1;                    // absent slots play no part
  EXPECT_EQ(AssignSPTIAdapters(drives, kSPTISlots), 4);
  EXPECT_EQ(drives[3].ha, 0);
  EXPECT_EQ(drives[2].ha, 1);
  EXPECT_EQ(drives[4].ha, 1);
  EXPECT_EQ(drives[6].ha, 2);
  EXPECT_EQ(drives[5].ha, 3);
  EXPECT_EQ(drives[5].lun, 0);
  // The kernel host numbers stay with the drives.
  EXPECT_EQ(drives[2].host, 14);
  EXPECT_EQ(drives[6].host, 250);

  TSPTIDrive none[kSPTISlots] = {};
  EXPECT_EQ(AssignSPTIAdapters(none, kSPTISlots), 0);
}
