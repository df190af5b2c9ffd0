// The disc writer's ending: flush, closing per medium, restoring the drive,
// and the read-back verify of what was sent.
#include "ovDiscWrite.h"

#include "ovCache.h"
#include "ovSync.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kAscNotReady = 0x04;
constexpr uint32_t kVerifyReadSectors = 512;  // 1 MiB per READ(10)

uint64_t Rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }
constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;

} // namespace

uint64_t SectorDigest(const uint8_t *Data) {
  // Four independent lanes keep the multiplier busy; each step is a
  // bijection of the lane, so any single changed word changes the result.
  uint64_t a = 1, b = 2, c = 3, d = 4;
  for (int i = 0; i < 2048; i += 32) {
    uint64_t w[4];
    std::memcpy(w, Data + i, sizeof w);
    a = Rotl(a ^ w[0], 29) * kMul;
    b = Rotl(b ^ w[1], 29) * kMul;
    c = Rotl(c ^ w[2], 29) * kMul;
    d = Rotl(d ^ w[3], 29) * kMul;
  }
  uint64_t h = a;
  h = Rotl(h ^ b, 31) * kMul;
  h = Rotl(h ^ c, 31) * kMul;
  h = Rotl(h ^ d, 31) * kMul;
  return h ^ (h >> 32);
}

uint64_t CombineDigest(uint64_t Block, uint64_t Sector) { return Rotl(Block ^ Sector, 27) * kMul; }

void TSentDigests::Reserve(int64_t Sectors, int32_t SectorsPerBlock) {
  Clear();
  const int64_t s = std::max<int64_t>(Sectors, 0) + 64;
  Tags.reserve(static_cast<size_t>(s));
  Blocks.reserve(static_cast<size_t>(s / std::max(SectorsPerBlock, 1) + 4));
}

void TSentDigests::Clear() {
  Blocks.clear();
  Tags.clear();
}

void TSentDigests::Add(uint32_t LBA, const uint8_t *Data, uint32_t Sectors) {
  TBlock blk;
  blk.LBA = LBA;
  blk.Sectors = Sectors;
  blk.TagsAt = Tags.size();
  for (uint32_t i = 0; i < Sectors; ++i) {
    const uint64_t s = SectorDigest(Data + static_cast<size_t>(i) * 2048);
    blk.Digest = CombineDigest(blk.Digest, s);
    Tags.push_back(SectorTag(s));
  }
  Blocks.push_back(blk);
}

std::string VerifyWritten(TSCSIDevice &Dev, const TSentDigests &Sent, int64_t &Equal,
                          std::atomic<int64_t> *Done) {
  Equal = 0;
  std::vector<uint8_t> buf(static_cast<size_t>(kVerifyReadSectors + 64) * 2048);
  size_t i = 0;
  while (i < Sent.Blocks.size()) {
    // Gather the following contiguous blocks into one read.
    const uint32_t start = Sent.Blocks[i].LBA;
    uint32_t sectors = 0;
    size_t j = i;
    while (j < Sent.Blocks.size() && Sent.Blocks[j].LBA == start + sectors &&
           (j == i || sectors + Sent.Blocks[j].Sectors <= kVerifyReadSectors)) {
      sectors += Sent.Blocks[j].Sectors;
      ++j;
    }
    // Force Unit Access: the drive's cache could answer with what was sent.
    if (!Dev.Read10(start, static_cast<uint16_t>(sectors), static_cast<int>(sectors * 2048), buf.data(), true))
      return "VERIFY: CAN'T READ SECTOR " + std::to_string(start) + " [" + Dev.ErrorText + "]";
    const uint8_t *p = buf.data();
    for (; i < j; ++i) {
      const TSentDigests::TBlock &blk = Sent.Blocks[i];
      uint64_t digest = 0;
      int64_t firstBad = -1;
      for (uint32_t k = 0; k < blk.Sectors; ++k) {
        const uint64_t s = SectorDigest(p + static_cast<size_t>(k) * 2048);
        digest = CombineDigest(digest, s);
        if (firstBad < 0 && SectorTag(s) != Sent.Tags[blk.TagsAt + k])
          firstBad = k;
      }
      if (digest != blk.Digest) {
        const uint32_t at = blk.LBA + static_cast<uint32_t>(firstBad < 0 ? 0 : firstBad);
        return "VERIFY: SECTOR " + std::to_string(at) + " DIFFERS FROM THE DATA SENT";
      }
      Equal += blk.Sectors;
      if (Done)
        Done->store(Equal);
      p += static_cast<size_t>(blk.Sectors) * 2048;
    }
  }
  return std::string();
}

void TDiscWriter::Flush() {
  if (Burner.OnFinalizingTrack)
    Burner.OnFinalizingTrack(&Burner);
  FlushCache();
}

void TDiscWriter::FlushCache() {
  TOrvBurner &b = Burner;
  // A flush the drive refuses leaves the data unrecorded: the write fails.
  bool flushed;
  if (IsDVDMinus(discType_)) {
    // A drive still busy with the last writes is polled below.
    flushed = b.SynchronizeCache(1800000, true) || b.TargetBusy || b.SenseASC() == kAscNotReady;
    b.DeviceFreeBufferSize.store(b.DeviceBufferSize.load());
    if (flushed && !WaitDriveSettled(b, 1000, DiscWriteLimits.FlushWaitMs, true, &b.DeviceFreeBufferSize) &&
        !Cache.HasError())
      Fail(kNotRespondingText);
  } else {
    flushed = b.SynchronizeCache(120000, false) || b.SynchronizeCache(120000, true);
  }
  if (b.TimedOut() && !Cache.HasError())
    Fail(kNotRespondingText);
  if (!flushed && !Cache.HasError())
    FailWrite();
}

bool TDiscWriter::CloseCD() {
  TOrvBurner &b = Burner;
  for (int32_t attempt = 1;; ++attempt) {
    if (b.CloseTrackOrSession(false, CloseImmediate.load(), false))
      return true;
    if (b.TimedOut())
      return false;
    if (!b.TargetBusy && b.SenseASC() != kAscNotReady)
      return b.CloseTrackOrSession(false, CloseImmediate.load(), false);
    if (attempt >= DiscWriteLimits.CloseAttempts)
      return false;
    ov::Sleep(DiscWriteLimits.CloseRetryMs);
  }
}

bool TDiscWriter::Close() {
  TOrvBurner &b = Burner;
  const bool finalize = b.FinalizeDisc;
  // Finalising follows the rule of a close on its own: the multisession
  // field cleared, DVD+R closed with its finalising function.
  bool ok = true;
  if (finalize)
    ok = b.SetClosingParameters(discType_, true);
  else if (discType_ != dtDVDR)
    b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, discType_, false);
  const uint8_t first = static_cast<uint8_t>(firstTrack_ & 0xFF);
  const uint8_t firstHigh = static_cast<uint8_t>(firstTrack_ >> 8);
  const uint8_t session = TSCSIDevice::SessionCloseFunction(discType_, finalize);
  // Every close is sent, even after one failed: what can be closed is.
  const auto close = [&](bool immediate, uint8_t function, uint8_t high, uint8_t low) {
    ok = b.CloseTrackSession(immediate, function, 0, high, low) && ok;
  };
  switch (discType_) {
  case dtDVDPlusR:
    close(false, 1, firstHigh, first);
    close(false, session, 0, 0xFF);
    break;
  case dtDVDPlusRDL:
    close(false, 1, firstHigh, first);
    close(false, session, 0, 0);
    break;
  case dtDVDR:
    close(false, 1, firstHigh, first);
    // The empty track after the reservation: a reservation that filled the
    // disc leaves none, so its close may fail without harm.
    b.CloseTrackSession(false, 1, 0, 0, static_cast<uint8_t>(first + 1));
    close(false, 2, 0, static_cast<uint8_t>(first + 2));
    break;
  case dtDVDRWRestricted:
  case dtDVDRWSequential:
    close(true, 2, 0, 0);
    break;
  case dtDVDPlusRW:
    close(false, 3, 0, 0xFF);
    break;
  case dtBDR:
  case dtBDRDL:
    close(false, 1, firstHigh, first);
    close(false, session, 0, 0);
    break;
  case dtBDRE:
  case dtBDREDL:
    break;  // no tracks or sessions: the flush has recorded everything
  default:
    ok = CloseCD() && ok;
    break;
  }
  return ok;
}

void TDiscWriter::ReleaseTray() {
  // The track stays open; only the tray is released. The unlock is sent
  // even to a drive that timed out: a locked tray would keep the disc in.
  Burner.StopAfterTimeout = false;
  Burner.AllowMediumRemoval(true);
  Burner.StopAfterTimeout = savedStopAfterTimeout_;
}

void TDiscWriter::FinishTarget(bool AllSent) {
  (void)AllSent;
  TOrvBurner &b = Burner;
  if (!prepared_) {
    b.StopAfterTimeout = savedStopAfterTimeout_;
    return;
  }
  b.BurnPhase.store(TOrvBurner::bpClosing);
  // A write refused before any data went out has nothing to flush.
  const bool flush = written_ > 0 || !Cache.HasError();
  if (flush) {
    uint32_t size = 0, free = 0;
    if (discType_ != dtDVDRAM)
      b.ReadBufferCapacity(size, free);
    Flush();
  }
  b.DeviceBufferSize.store(0);
  b.DeviceFreeBufferSize.store(0);

  // Overwritable media: the descriptors at LBA 0 go out last, once the
  // session is on the disc.
  if (!Cache.HasError() && !imageFile_ && b.SessionStart != 0 && TSCSIDevice::IsOverwritable(discType_))
    WriteDescriptorBlock();
  if (Cache.HasError()) {
    ReleaseTray();
    return;
  }
  bool closed = true;
  std::string closeError;
  if (!b.TestWrite && discType_ != dtDVDRAM && b.FinalizeTrack) {
    closed = Close();
    if (!closed)
      closeError = b.ErrorText;
  }
  // A drive still busy four minutes after the close, or without its medium,
  // has not been seen to finish the session: that is no success.
  const bool ready = b.WaitUnitReady(240000, 5000);
  if (discType_ != dtDVDRAM) {
    uint32_t size = 0, free = 0;
    b.ReadBufferCapacity(size, free);
  }
  if (b.TimedOut() || !ready) {
    Fail(closed ? kNotRespondingText : std::string(kCloseFailedText) + " [" + kNotRespondingText + "]");
    ReleaseTray();
    return;
  }
  b.RestoreDrive();
  if (!closed) {
    Fail(std::string(kCloseFailedText) + " [" + closeError + "]");
    b.StopAfterTimeout = savedStopAfterTimeout_;
    return;
  }

  if (b.Verify && !b.TestWrite) {
    int64_t equal = 0, total = 0;
    for (const TSentDigests::TBlock &blk : digests_.Blocks)
      total += blk.Sectors;
    b.VerifyDone.store(0);
    b.VerifyTotal.store(total);
    b.BurnPhase.store(TOrvBurner::bpVerifying);
    const std::string text = VerifyWritten(b, digests_, equal, &b.VerifyDone);
    if (text.empty())
      b.VerifyText = "VERIFY: " + std::to_string(equal) + " sectors equal";
    else
      Fail(text);
    b.DebugMsg(">>> " + (text.empty() ? b.VerifyText : text), text.empty() ? 1 : 4);
  }
  b.StopAfterTimeout = savedStopAfterTimeout_;
}
