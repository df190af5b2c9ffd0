// The read-ahead cache: a producer thread that turns the image to be written
// into a queue of memory blocks for the write thread.
#pragma once

#include "ovSourceFile.h"
#include "ovSourceList.h"
#include "ovSync.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TSCSIDevice;
class THandleStreamEx;

// Byte size of one block, set by every TCacheThread constructor: 55296 (27
// sectors) for CD-R/CD-RW burns, else 65536 (32 sectors).
extern std::atomic<int32_t> CacheBlockSize;

constexpr int32_t CacheSectorSize = 2048;
constexpr int32_t CacheBlockCapacity = 65540;
constexpr int64_t CacheMinimumBytes = 614400;   // 300 sectors

struct TCacheBlock {
  uint8_t Data[CacheBlockCapacity];
  int32_t Count = 0;
};


class TCacheThread {
public:
  // Everything the producer reads. A compilation passes the header image
  // (moved in; released once queued), the boot image and the files; an
  // image-file burn passes only ImageFileName.
  struct TParams {
    int32_t CacheSize = 4194304;
    int32_t BlockSize = 65536;
    bool PadRequest = false;
    std::string BootImagePath;
    int32_t BootImageSectors = 0;
    int64_t PadSectors = 0;
    int64_t ExpectedTotal = 0;
    std::vector<uint8_t> Header;
    TSourceList Files;
    std::string ImageFileName;
  };

  // Starts the producer at once. Lock is the component's critical section,
  // shared with the write thread; it must outlive this object.
  TCacheThread(TSCSIDevice &Lock, TParams Params);
  // Stops the producer (as RequestStop) and joins it.
  ~TCacheThread();
  TCacheThread(const TCacheThread &) = delete;
  TCacheThread &operator=(const TCacheThread &) = delete;

  // Copies the oldest block to Dest (at least CacheBlockCapacity bytes).
  // Returns its byte count, 0 at the end of the data (or once stopped), -1
  // when no block is ready yet.
  int32_t GetBlock(void *Dest);
  // GetBlock without the copy: moves up to MaxCount of the oldest blocks
  // into Out (appended) and returns their total byte count, with the same 0
  // and -1 as GetBlock. The consumer hands them back with ReturnBlocks.
  int64_t TakeBlocks(std::vector<std::unique_ptr<TCacheBlock>> &Out, int32_t MaxCount);
  void ReturnBlocks(std::vector<std::unique_ptr<TCacheBlock>> &Blocks);
  void RequestStop();
  // Waits up to ms until a block is queued or the producer ends; the
  // consumer's pause when GetBlock returned -1.
  void WaitForBlock(uint32_t ms);
  // Waits up to ms (scaled) until the cache is primed or has ended.
  void WaitForPrimed(uint32_t ms);
  // Waits for the producer thread to end (it ends by itself once the
  // writer has taken everything, or at once after RequestStop).
  void Join();

  bool Primed() const { return primed_.load(); }
  bool Finished() const { return finished_.load(); }
  bool StopRequested() const { return stopRequested_.load(); }
  bool HasError() const { return hasError_.load(); }
  // Texts shared with the write thread; read and written under the lock.
  std::string CacheError();
  void SetCacheError(const std::string &Text);
  std::string CurrentFile();

  int32_t MaxBlocks() const { return maxBlocks_; }
  int32_t BlockCount();
  int64_t RemainingBytes() const { return remainingBytes_.load(); }
  bool PadToMinimum() const { return padToMinimum_; }
  // Highest number of queued blocks seen before the final padding.
  int32_t PeakBlocks() const { return peakBlocks_.load(); }
  uint8_t PriorityLevel() const { return priorityLevel_.load(); }

private:
  void Execute();
  bool Produce();
  bool ProduceHeader();
  bool ProduceFile(const std::string &path, int64_t size);
  // Ends production with "CAN'T READ FILE" for path; always false.
  bool ReadFailed(const std::string &path);
  int64_t ReadBatch(int64_t pos, int64_t left, bool &failed);
  bool ProduceZeros(int64_t size);
  bool AfterPiece();
  // Counts rounded bytes just placed in the current block, then AfterPiece.
  bool QueuePiece(int32_t rounded);
  bool WaitForRoom(bool adjustPriority);
  void AppendCurrent();
  std::unique_ptr<TCacheBlock> NewBlock();
  void StopPath();
  void FailOpen(const std::string &path);
  void SetPriority(uint8_t level);
  void Wake();
  // The count of Wake() calls, and a wait until it moved past seq or d passed.
  uint64_t WakeSeq();
  void WaitWake(uint64_t seq, std::chrono::microseconds d);

  TSCSIDevice &lock_;
  TParams p_;
  int32_t maxBlocks_;
  bool padToMinimum_;

  std::deque<std::unique_ptr<TCacheBlock>> blocks_;   // guarded by lock_
  std::vector<std::unique_ptr<TCacheBlock>> spare_;   // guarded by lock_
  std::unique_ptr<TCacheBlock> current_;              // producer only
  std::unique_ptr<THandleStreamEx> source_;           // producer only
  TSourceOpener opener_;                              // producer only
  TSourceReader reader_;                              // producer only

  std::atomic<uint8_t> priorityLevel_{2};
  std::atomic<bool> clearing_{false}, taking_{false}, stopRequested_{false};
  std::atomic<bool> finished_{false}, primed_{false}, hasError_{false};
  std::atomic<int64_t> queuedBytes_{0}, remainingBytes_{0}, padBytes_{0};
  std::atomic<int32_t> peakBlocks_{0};
  std::string currentFile_;   // guarded by lock_
  std::string cacheError_;    // guarded by lock_

  // Wake-ups of the polling loops: the queue changed or the state did.
  std::mutex wakeMutex_;
  std::condition_variable wakeCv_;
  uint64_t wakeSeq_ = 0;

  std::thread thread_;
};
