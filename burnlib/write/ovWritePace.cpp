// Pacing of the block loop from READ BUFFER CAPACITY (see ovWritePace.h).
#include "ovWritePace.h"

#include "ovDiscWrite.h"
#include "ovDrvLib.h"

#include <algorithm>

namespace {

// Writes between two questions to the drive while its buffer has room.
constexpr int32_t kPollEvery = 5;
// A wait for room lasts until this part of the buffer is free.
constexpr uint32_t kRefillDivisor = 8;

}  // namespace

void TWritePace::Start(uint16_t SpeedKBs, bool Polling, uint32_t Free) {
  speed_ = SpeedKBs;  // kB/s of 1000 bytes = bytes per millisecond
  polling_ = Polling;
  known_ = Polling;
  free_ = Free;
  size_ = 0;
  countdown_ = kPollEvery;
}

uint32_t TWritePace::RecordMs(uint64_t Bytes) const {
  if (speed_ == 0)
    return 0;
  return static_cast<uint32_t>(std::max<uint64_t>(1, (Bytes + speed_ - 1) / speed_));
}

bool TWritePace::Poll(TSCSIDevice &Dev) {
  uint32_t size = 0, free = 0;
  known_ = Dev.ReadBufferCapacity(size, free);
  free_ = free == 0xFFFFFFFFu ? size : free;  // as the device layer reads "unknown"
  if (known_)
    size_ = size;
  countdown_ = kPollEvery;
  return known_;
}

bool TWritePace::BeforeWrite(TSCSIDevice &Dev, uint32_t Bytes) {
  if (!polling_)
    return !AbortRequested.load();
  if (countdown_ <= 0 || !known_ || free_ < Bytes)
    Poll(Dev);
  --countdown_;
  // Room already, or nothing to go by: the write itself will tell.
  if (!known_ || free_ >= Bytes || speed_ == 0)
    return !AbortRequested.load();
  const uint32_t room = std::max(Bytes, std::min(size_, size_ / kRefillDivisor));
  const uint32_t ms = RecordMs(room - free_);
  if (!PauseUnlessAborted(ms))
    return false;
  // Recorded meanwhile, as far as the speed tells; the next write that
  // finds too little room asks the drive again.
  free_ = room;
  return true;
}

void TWritePace::Sent(uint32_t Bytes) { free_ = free_ > Bytes ? free_ - Bytes : 0; }

uint32_t TWritePace::RetryPauseMs(TSCSIDevice &Dev, uint32_t Bytes, int32_t Attempt, uint32_t MaxMs) {
  uint64_t ms = 0;
  if (polling_ && Poll(Dev) && free_ < Bytes)
    ms = RecordMs(Bytes - free_);
  if (ms == 0) {
    // The buffer has room (or its fill is unknown): the drive is busy with
    // something else. Back off from one write's time, doubling.
    const uint64_t base = speed_ ? RecordMs(Bytes) : 10;
    ms = base << std::min<int32_t>(std::max<int32_t>(Attempt, 0), 20);
  }
  return static_cast<uint32_t>(std::clamp<uint64_t>(ms, 1, std::max<uint32_t>(MaxMs, 1)));
}

TWriteOutcome ClassifyFailedWrite(const TSCSIDevice &Dev) {
  switch (Dev.LastAction) {
  case TSenseAction::Wait: return TWriteOutcome::Wait;
  case TSenseAction::Resend: return TWriteOutcome::Resend;
  case TSenseAction::Retry:
    // A busy target waits; a unit attention in the middle of a burn means
    // the medium may have changed, and nothing more is written to it.
    return Dev.TargetBusy ? TWriteOutcome::Wait : TWriteOutcome::Fail;
  default: return TWriteOutcome::Fail;
  }
}
