// The disc writer: preparation of the drive and the block loop.
#include "ovDiscWrite.h"

#include "ovBytes.h"
#include "ovCache.h"
#include "ovSync.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

TDiscWriteLimits DiscWriteLimits;

const char *const kWriterBusyText = "WRITER BUSY/BUFFER FULL";
const char *const kNotRespondingText = "WRITER ERROR [DRIVE NOT RESPONDING]";
const char *const kAbortedByUserText = "OPERATION ABORTED BY USER";
const char *const kSessionIncompleteText =
    "THE LAST SESSION OF THE DISC IS INCOMPLETE (AN EARLIER WRITE DID NOT END): CLOSE THE TRACK FIRST, "
    "THEN BURN AGAIN";
const char *const kNoWritableAddressText =
    "THE DRIVE REPORTS NO NEXT WRITABLE ADDRESS: NOTHING WAS WRITTEN (CLOSE THE TRACK FIRST IF AN EARLIER "
    "WRITE DID NOT END)";
const char *const kCloseFailedText = "THE DATA IS WRITTEN BUT THE CLOSE FAILED";

namespace {

constexpr uint8_t kWriteFlags = 0x50;
constexpr uint32_t kPauseSliceMs = 50;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscIncompatibleFormat = 0x30;
constexpr int32_t kDVDBlockBytes = 65536;
static_assert(CacheBlockCapacity >= kDVDBlockBytes, "a cache block holds a whole DVD write");

// The format lists of an unformatted DVD+RW, sent once before its first write.
constexpr uint8_t kFormatDVDPlusRW[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};

} // namespace

bool PauseUnlessAborted(uint32_t Ms) {
  while (Ms > 0) {
    if (AbortRequested.load())
      return false;
    const uint32_t step = std::min(Ms, kPauseSliceMs);
    ov::Sleep(step);
    Ms -= step;
  }
  return !AbortRequested.load();
}

bool WaitDriveSettled(TSCSIDevice &Dev, uint32_t IntervalMs, uint32_t TotalMs, bool UntilSuccess,
                      std::atomic<uint32_t> *FreeBuffer) {
  for (uint64_t waited = 0;; waited += IntervalMs) {
    // A format is polled after a pause; a flush at once, then after each.
    if (!UntilSuccess)
      ov::Sleep(IntervalMs);
    const bool ok = Dev.ReadDiscInformation();
    // A command that timed out means the drive stopped answering: polling
    // it further would only wait out more time-outs.
    if (Dev.TimedOut())
      return false;
    if (UntilSuccess ? ok : Dev.SenseASC() != kAscNotReady)
      return true;
    if (waited >= TotalMs)
      return false;
    if (UntilSuccess) {
      if (FreeBuffer) {
        // The buffer figure shown steps once per poll.
        const uint32_t step = Dev.DeviceBufferSize.load() / 960;
        const uint32_t free = FreeBuffer->load();
        FreeBuffer->store(free > step ? free - step : 0);
      }
      ov::Sleep(IntervalMs);
    }
  }
}

TDiscWriter::TDiscWriter(TOrvBurner &ABurner, TCacheThread &ACache, bool AImageFile)
    : TThWrite(ABurner, ACache, false), imageFile_(AImageFile) {}

std::unique_ptr<TThWrite> MakeDiscWriter(TOrvBurner &Burner, TCacheThread &Cache) {
  return std::make_unique<TDiscWriter>(Burner, Cache, false);
}

std::unique_ptr<TThWrite> MakeImageDiscWriter(TOrvBurner &Burner, TCacheThread &Cache) {
  return std::make_unique<TDiscWriter>(Burner, Cache, true);
}

void TDiscWriter::SendStreaming() {
  // Start LBA 0 and 1000 ms read and write times; the range and the rates
  // describe this session at the speeds asked for (the drive's maximum
  // when none was asked).
  const auto rate = [](uint32_t kbs) { return static_cast<uint32_t>(kbs / 1385.0 * 1440.25); };
  const uint32_t readSpeed = Burner.ReadSpeed ? Burner.ReadSpeed : Burner.CapMaxReadSpeed;
  const uint32_t writeSpeed = Burner.WriteSpeed() ? Burner.WriteSpeed() : Burner.DeviceMaxWriteSpeed();
  const int64_t sectors = Burner.SessionSectors();
  uint8_t d[28] = {};
  ov::PutBE32(d + 8, static_cast<uint32_t>(Burner.SessionStart + std::max<int64_t>(sectors, 1) - 1));
  ov::PutBE32(d + 12, rate(readSpeed));
  ov::PutBE32(d + 16, 1000);
  ov::PutBE32(d + 20, rate(writeSpeed));
  ov::PutBE32(d + 24, 1000);
  Burner.SetStreaming(d, sizeof d);
}

bool TDiscWriter::OpenTarget() {
  TOrvBurner &b = Burner;
  savedStopAfterTimeout_ = b.StopAfterTimeout;
  // A drive that stops answering must end the burn within one time-out,
  // not one per closing command.
  b.StopAfterTimeout = true;
  b.ClearTimedOut();

  uint32_t size = 0, free = 0;
  bufferPolling_ = b.ReadBufferCapacity(size, free);
  const uint32_t freeAtStart = b.DeviceFreeBufferSize;
  discType_ = b.GetDiscType();
  DiscTypeCode = discType_;
  isCD_ = discType_ == dtCDR || discType_ == dtCDRW;
  b.LoadEject(false);
  // The tray stays locked until the write has ended, whatever the ending.
  b.AllowMediumRemoval(false);
  prepared_ = true;
  if (discType_ != dtDVDPlusRW && !IsBDRE(discType_))
    b.RezeroUnit();
  b.SetCDSpeed(b.ReadSpeed, b.WriteSpeed());
  b.WaitUnitReady(10000, 1000);

  const bool finalize = b.FinalizeDisc;
  const uint16_t speed = b.GetCurrentWriteSpeed();
  b.FinalizeDisc = true;
  const bool paramsSet = b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, discType_, true);
  b.FinalizeDisc = finalize;
  // A drive that did not take the simulation bit would record for real.
  if (b.TestWrite && (discType_ == dtDVDRAM || !paramsSet || !(b.WriteParamsPage[2] & 0x10))) {
    Fail(std::string("TEST WRITE NOT POSSIBLE ON ") + DiscTypeName(discType_) + " IN THIS DRIVE");
    return false;
  }

  if (IsDVDMinus(discType_) || discType_ == dtDVDPlusR || discType_ == dtDVDPlusRW || discType_ == dtDVDPlusRDL ||
      IsBDR(discType_) || IsBDRE(discType_))
    SendStreaming();
  // The track the layout found for the session (the invisible one).
  firstTrack_ = b.SessionTrack ? b.SessionTrack : static_cast<uint16_t>(b.SessionCount() + 1);
  if (discType_ == dtDVDR) {
    b.WriteDVDTimestamp(ov::Now());
    b.ReserveTrack(static_cast<uint32_t>(SectorsSent(discType_, b.SessionSectors())));
    b.WaitUnitReady(10000, 1000);
  }
  if (discType_ != dtDVDRAM && !b.TestWrite && b.PerformOPC)
    b.SendOPC();

  std::string speedText;
  if ((discType_ >= dtDVDR && discType_ <= dtDVDPlusR) || IsBD(discType_))
    speedText = ov::FormatFloat("0.0", speed / SpeedUnit(discType_));
  else
    speedText = ov::FormatFloat("0", speed / 176.4);
  speedText += ov::FormatFloat("X (#,##0 KB/s)", speed);
  char line[160];
  std::snprintf(line, sizeof line, "STARTING WRITE PROCESS ON %s AT %s", DiscTypeName(discType_),
                speedText.c_str());
  b.DebugMsg(std::string(">>> ") + line, 1);
  if (b.TestWrite)
    b.DebugMsg(">>> TEST/DUMMY WRITE", 1);

  digests_.Clear();
  if (b.Verify && !b.TestWrite)
    digests_.Reserve(b.SessionSectors(), isCD_ ? 27 : 32);
  written_ = 0;
  pace_.Start(speed, bufferPolling_, freeAtStart);
  firstBlockSectors_ = 0;
  return true;
}

void TDiscWriter::FailWrite() {
  Fail("WRITER ERROR [" + Burner.ErrorText + "]");
}

bool TDiscWriter::WriteWithRetries(uint32_t LBA, uint32_t Sectors, int32_t Bytes, uint8_t *Data) {
  TOrvBurner &b = Burner;
  const uint64_t waitLimitMs = uint64_t(DiscWriteLimits.BusyAttempts) * DiscWriteLimits.BusyPauseMs;
  uint64_t waitedMs = 0;
  int32_t resent = 0;
  for (int32_t attempt = 0;;) {
    if (AbortRequested.load()) {
      Fail(kAbortedByUserText);
      return false;
    }
    // BD-RE streams: defect management would halve the speed, and the
    // verify reads back what was written.
    const bool sent = IsBDRE(discType_) ? b.Write12(LBA, Sectors, true, Bytes, Data)
                                        : b.Write10(LBA, static_cast<uint16_t>(Sectors), kWriteFlags, Bytes, Data);
    if (sent) {
      pace_.Sent(static_cast<uint32_t>(Bytes));
      return true;
    }
    if (b.TimedOut()) {
      Fail(kNotRespondingText);
      return false;
    }
    const uint8_t asc = b.SenseASC();
    // An image burned to an unformatted DVD+RW or BD-RE meets the format
    // here (a compilation meets it at its descriptor block): formatted once,
    // then the write is sent again.
    if (asc == kAscIncompatibleFormat && (discType_ == dtDVDPlusRW || IsBDRE(discType_)) && !plusRWFormatted_) {
      plusRWFormatted_ = true;
      if (FormatOverwritable())
        continue;
      if (Cache.HasError())
        return false;
    }
    const TWriteOutcome outcome = ClassifyFailedWrite(b);
    if (outcome == TWriteOutcome::Resend && ++resent < kResendAttempts)
      continue;
    if (outcome != TWriteOutcome::Wait) {
      FailWrite();
      return false;
    }
    const uint32_t ms = pace_.RetryPauseMs(b, static_cast<uint32_t>(Bytes), attempt, DiscWriteLimits.BusyPauseMs);
    if (!PauseUnlessAborted(ms)) {
      Fail(kAbortedByUserText);
      return false;
    }
    waitedMs += ms;
    if (++attempt >= DiscWriteLimits.BusyAttempts || waitedMs >= waitLimitMs) {
      Fail(kWriterBusyText);
      return false;
    }
  }
}

bool TDiscWriter::FormatOverwritable() {
  TOrvBurner &b = Burner;
  // A BD-RE gets its whole capacity without spare areas: the space checked
  // before the burn stays what the disc holds.
  const bool formatted = IsBDRE(discType_) ? b.FormatBDRE(0x31, 0, true)
                                           : b.FormatUnit(0x11, kFormatDVDPlusRW, sizeof kFormatDVDPlusRW);
  if (!formatted)
    return false;
  if (!WaitDriveSettled(b, 2000, DiscWriteLimits.FormatWaitMs, false)) {
    Fail(kNotRespondingText);
    return false;
  }
  return true;
}

bool TDiscWriter::WriteDescriptorBlock() {
  TOrvBurner &b = Burner;
  // The block at LBA 0 carries the new session's system area and volume
  // descriptors. Past them, a later session keeps what the disc holds, so
  // nothing of an earlier session is overwritten beyond its descriptors.
  // It goes out after the session is on the disc and flushed: until it is
  // written, sector 16 still describes the earlier session.
  const uint32_t sectors = firstBlockSectors_;
  std::vector<uint8_t> buffer(kDVDBlockBytes);
  uint8_t *block = buffer.data();
  const uint32_t bytes = sectors * 2048;
  std::memcpy(block, b.DescriptorCopy.data(), std::min<size_t>(bytes, b.DescriptorCopy.size()));
  const uint32_t own = static_cast<uint32_t>((b.DescriptorCopySize + 2047) / 2048);
  if (own < sectors && !b.Read10(own, static_cast<uint16_t>(sectors - own),
                                 static_cast<int>((sectors - own) * 2048), block + own * 2048, true)) {
    // Rewriting those sectors with anything but what they hold would
    // damage the earlier session.
    FailWrite();
    return false;
  }
  if (!WriteWithRetries(0, sectors, static_cast<int32_t>(bytes), block))
    return false;
  if (b.Verify && !b.TestWrite)
    digests_.Add(0, block, sectors);
  FlushCache();
  return !Cache.HasError();
}

bool TDiscWriter::SendBlock(int64_t Count) {
  (void)Count;
  bool ok = true;
  for (auto &blk : Taken()) {
    ok = SendOne(blk->Data, blk->Count);
    if (!ok)
      break;
  }
  Cache.ReturnBlocks(Taken());
  return ok;
}

bool TDiscWriter::SendOne(uint8_t *Data, int32_t Count) {
  TOrvBurner &b = Burner;
  CountWritten(Count);
  int32_t bytes = Count;
  // A compilation on a DVD goes out in whole 32-sector writes; the sectors
  // past the block's data are zeros, never what an earlier block left. Only
  // the last data block and the padding after it can be partial, so the
  // zeros stand for the padding that follows: nothing beyond the session's
  // sectors rounded up to 32 is sent (a DVD-R track is reserved that long).
  // The cache's blocks have room for the zeros.
  if (!imageFile_ && !isCD_) {
    if (bytes < kDVDBlockBytes) {
      std::memset(Data + bytes, 0, static_cast<size_t>(kDVDBlockBytes - bytes));
      bytes = kDVDBlockBytes;
    }
    const int64_t end = SectorsSent(discType_, b.SessionSectors());
    if (written_ >= end)
      return true;
    bytes = static_cast<int32_t>(std::min<int64_t>(bytes, (end - written_) * 2048));
  }
  const uint32_t sectors = static_cast<uint32_t>(bytes / 2048);
  if (firstBlockSectors_ == 0)
    firstBlockSectors_ = sectors;
  if (!pace_.BeforeWrite(b, static_cast<uint32_t>(bytes))) {
    Fail(kAbortedByUserText);
    return false;
  }
  const uint32_t lba = b.SessionStart + written_;
  if (!WriteWithRetries(lba, sectors, bytes, Data))
    return false;
  if (b.Verify && !b.TestWrite)
    digests_.Add(lba, Data, sectors);
  written_ += sectors;
  return true;
}
