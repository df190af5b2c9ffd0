// The disc side of the write thread: drive preparation, the block loop with
// its busy retries, the closing of the track or session, the restore of the
// drive and the read-back verify.
#pragma once

#include "ovWrite.h"
#include "ovWritePace.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Limits of the write thread's waits. Tests lower them to reach the ends of
// the loops quickly; the program never changes them.
struct TDiscWriteLimits {
  // A block the drive keeps refusing as busy ends the write after this many
  // attempts, or once the pauses add up to BusyAttempts x BusyPauseMs
  // (100 minutes), whichever comes first. The pauses follow the drive's
  // buffer (TWritePace); BusyPauseMs is the longest one.
  int32_t BusyAttempts = 10000;
  uint32_t BusyPauseMs = 600;
  int32_t CloseAttempts = 1000;    // CD close while the drive is busy
  uint32_t CloseRetryMs = 1000;
  uint32_t FlushWaitMs = 1800000;  // READ DISC INFORMATION polled after a flush
  uint32_t FormatWaitMs = 3600000; // ... and after a FORMAT UNIT
};
extern TDiscWriteLimits DiscWriteLimits;

// DVD-R and DVD-RW: flushed with the immediate bit and polled afterwards.
inline bool IsDVDMinus(uint8_t Code) {
  return Code == dtDVDR || Code == dtDVDRWRestricted || Code == dtDVDRWSequential;
}

// Texts of the write thread's endings.
extern const char *const kWriterBusyText;       // "WRITER BUSY/BUFFER FULL"
extern const char *const kNotRespondingText;    // "WRITER ERROR [DRIVE NOT RESPONDING]"
extern const char *const kAbortedByUserText;    // "OPERATION ABORTED BY USER"
// Burns refused because the disc's last session is still open, or because
// the drive gave no address for the new session. Both name the repair: a
// close of the open track.
extern const char *const kSessionIncompleteText;
extern const char *const kNoWritableAddressText;
// Start of the text of a close that failed after all data was written.
extern const char *const kCloseFailedText;

// Sectors a compilation of Sectors sends to a medium of DiscType: DVD
// writes are whole 32-sector blocks.
int64_t SectorsSent(uint8_t DiscType, int64_t Sectors);

// Sleeps Ms (on the library's clock) in short slices; false as soon as
// AbortWrite was asked for.
bool PauseUnlessAborted(uint32_t Ms);

// Polls READ DISC INFORMATION every IntervalMs until the drive no longer
// reports "not ready" (or, with UntilSuccess, until the command succeeds).
// False when the drive did not get there within TotalMs, or stopped
// answering altogether.
bool WaitDriveSettled(TSCSIDevice &Dev, uint32_t IntervalMs, uint32_t TotalMs, bool UntilSuccess,
                      std::atomic<uint32_t> *FreeBuffer = nullptr);

// Digest of data sent to the disc: one 64-bit value per block, and one byte
// per sector so that a mismatch can name its sector.
struct TSentDigests {
  struct TBlock {
    uint32_t LBA = 0;
    uint32_t Sectors = 0;
    uint64_t Digest = 0;
    uint64_t TagsAt = 0;  // index of its first sector tag
  };
  std::vector<TBlock> Blocks;
  std::vector<uint8_t> Tags;
  void Reserve(int64_t Sectors, int32_t SectorsPerBlock);
  void Clear();
  // Adds (or, for an address already recorded last, replaces) a block.
  void Add(uint32_t LBA, const uint8_t *Data, uint32_t Sectors);
};
// 64-bit digest of one sector (2048 bytes).
uint64_t SectorDigest(const uint8_t *Data);
// Combines sector digests into a block digest.
uint64_t CombineDigest(uint64_t Block, uint64_t Sector);
inline uint8_t SectorTag(uint64_t Digest) { return static_cast<uint8_t>(Digest ^ (Digest >> 29) ^ (Digest >> 53)); }

// Reads the blocks back with READ(10) FUA in large reads and compares them with
// their digests. Returns empty when all are equal (Equal then holds the
// sector count), else a text beginning with "VERIFY".
// Done, when given, counts the sectors compared so far.
std::string VerifyWritten(TSCSIDevice &Dev, const TSentDigests &Sent, int64_t &Equal,
                          std::atomic<int64_t> *Done = nullptr);

// The writer of a disc target.
class TDiscWriter : public TThWrite {
public:
  TDiscWriter(TOrvBurner &ABurner, TCacheThread &ACache, bool AImageFile);

protected:
  bool OpenTarget() override;
  bool SendBlock(int64_t Count) override;
  void FinishTarget(bool AllSent) override;

private:
  // One WRITE(10) of the block at LBA, retried while the drive is busy.
  // False when the write ended (the reason is in the cache's error).
  bool WriteWithRetries(uint32_t LBA, uint32_t Sectors, int32_t Bytes, uint8_t *Data);
  // Sends one block taken from the cache (Count bytes of data, with room for
  // the padding of a DVD block). False when the write ended.
  bool SendOne(uint8_t *Data, int32_t Count);
  // On overwritable media a later session's descriptors go to LBA 0 last,
  // over as many sectors as the session's first block, and are flushed.
  // False when the write ended.
  bool WriteDescriptorBlock();
  bool FormatOverwritable();
  void SendStreaming();
  // The flush at the end of the data (after the caller's notice), and the
  // flush itself.
  void Flush();
  void FlushCache();
  // Closes the track and session as the medium needs; false when a close
  // command failed.
  bool Close();
  bool CloseCD();
  // Ends a write that is not closed: the tray is unlocked.
  void ReleaseTray();
  // Ends the write for a failed command; decides busy (retry) or error.
  void FailWrite();

  const bool imageFile_;
  uint8_t discType_ = 0;
  bool isCD_ = false;
  bool bufferPolling_ = false;
  bool prepared_ = false;   // the drive was prepared (and its tray locked)
  uint32_t firstBlockSectors_ = 0;  // sectors of the session's first write
  bool plusRWFormatted_ = false;  // the one-time DVD+RW format was tried
  bool savedStopAfterTimeout_ = false;
  uint16_t firstTrack_ = 1;
  TWritePace pace_;
  uint32_t written_ = 0;    // sectors written in this track
  TSentDigests digests_;
};

// Writers of a compilation and of an image file (burned from sector 0).
std::unique_ptr<TThWrite> MakeDiscWriter(TOrvBurner &Burner, TCacheThread &Cache);
std::unique_ptr<TThWrite> MakeImageDiscWriter(TOrvBurner &Burner, TCacheThread &Cache);
