// Pacing of the block loop from the drive's buffer. A recorder takes data
// into its buffer at the host's speed and records it at its write speed;
// a write that does not fit is refused "long write in progress" (02/04/08).
// Rather than resending into a full buffer after a fixed pause, the loop
// asks READ BUFFER CAPACITY how much room there is and waits about as long
// as the drive needs to record the difference: the buffer stays nearly full
// and the drive records at its own speed. A wait lasts until an eighth of
// the buffer is free, so that a fast drive is fed by a burst of writes per
// wake-up rather than one, and a late wake-up on a busy host still finds
// most of the buffer full.
#pragma once

#include <cstdint>

class TSCSIDevice;

class TWritePace {
public:
  // SpeedKBs: the drive's current write speed (kB/s, 1000 bytes), 0 when
  // unknown; Polling: the drive answered READ BUFFER CAPACITY, with Free
  // bytes free.
  void Start(uint16_t SpeedKBs, bool Polling, uint32_t Free);

  // Before a write of Bytes: asks the drive for its free buffer when its
  // last answer, less what was sent since, leaves no room (at least every
  // fifth write), and waits until the buffer should have room for Bytes or
  // an eighth of its size, whichever is more. False when the write was
  // aborted meanwhile.
  bool BeforeWrite(TSCSIDevice &Dev, uint32_t Bytes);
  // A write of Bytes went through.
  void Sent(uint32_t Bytes);

  // The pause (ms, on the library's clock) before attempt Attempt + 1 of a
  // write of Bytes the drive refused as busy or not ready. When the buffer
  // lacks room: the time to record what is missing. When it has room (the
  // drive is busy with something else): the time to record one write,
  // doubling with each attempt up to MaxMs.
  uint32_t RetryPauseMs(TSCSIDevice &Dev, uint32_t Bytes, int32_t Attempt, uint32_t MaxMs);

  // Milliseconds the drive takes to record Bytes, at least 1; 0 when the
  // speed is unknown.
  uint32_t RecordMs(uint64_t Bytes) const;

private:
  // Asks the drive; false when it did not answer.
  bool Poll(TSCSIDevice &Dev);

  uint32_t speed_ = 0;  // bytes per millisecond
  bool polling_ = false;
  bool known_ = false;  // free_ holds an answer, less what was sent since
  uint32_t free_ = 0;
  uint32_t size_ = 0;  // the buffer's size as the drive last said, 0 unknown
  int32_t countdown_ = 0;
};

// The one decision of the block loop about a refused write: wait and
// resend (busy, not ready, long write), resend at once a few times (lost on
// the way without sense data), or fail.
enum class TWriteOutcome : uint8_t { Wait, Resend, Fail };
TWriteOutcome ClassifyFailedWrite(const TSCSIDevice &Dev);
