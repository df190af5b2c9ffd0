#include "ovCache.h"

#include "ovDrvLib.h"
#include "ovStreamEx.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

std::atomic<int32_t> CacheBlockSize{65536};

namespace {

constexpr int64_t kAdviseThreshold = 1 << 20;

int64_t RoundToSector(int64_t n) { return (n + CacheSectorSize - 1) / CacheSectorSize * CacheSectorSize; }

// Lowering a thread's priority is one-way for an unprivileged process: the
// producer could never get back to normal once idle. Priorities are then
// left alone and only the recorded level moves.
bool PrioritiesReversible() {
  static const bool reversible = [] {
    if (::geteuid() == 0)
      return true;
    struct rlimit rl {};
    // RLIMIT_NICE allows raising up to nice 20 - rlim_cur; normal is nice 0.
    return ::getrlimit(RLIMIT_NICE, &rl) == 0 && (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= 20);
  }();
  return reversible;
}

} // namespace

TCacheThread::TCacheThread(TSCSIDevice &Lock, TParams Params) : lock_(Lock), p_(std::move(Params)) {
  if (p_.BlockSize <= 0 || p_.BlockSize > CacheBlockCapacity || p_.BlockSize % CacheSectorSize != 0)
    p_.BlockSize = 65536;
  CacheBlockSize.store(p_.BlockSize);
  // At least two blocks, so the producer can always queue one.
  maxBlocks_ = std::max<int32_t>(2, p_.CacheSize / p_.BlockSize);
  remainingBytes_.store(p_.ExpectedTotal);
  padBytes_.store(p_.ExpectedTotal);
  padToMinimum_ = p_.PadRequest && p_.ImageFileName.empty() && p_.ExpectedTotal < CacheMinimumBytes;
  thread_ = std::thread([this] { Execute(); });
}

TCacheThread::~TCacheThread() {
  RequestStop();
  Join();
}

void TCacheThread::Join() {
  if (thread_.joinable()) {
    if (finished_.load())
      Wake();   // cuts short the pause after the last block
    thread_.join();
  }
}

void TCacheThread::Wake() {
  {
    std::lock_guard<std::mutex> g(wakeMutex_);
    ++wakeSeq_;
  }
  wakeCv_.notify_all();
}

uint64_t TCacheThread::WakeSeq() {
  std::lock_guard<std::mutex> g(wakeMutex_);
  return wakeSeq_;
}

void TCacheThread::WaitWake(uint64_t seq, std::chrono::microseconds d) {
  std::unique_lock<std::mutex> l(wakeMutex_);
  wakeCv_.wait_for(l, d, [&] { return wakeSeq_ != seq; });
}

namespace {
// Pauses that stand for time passing follow the library's time scale; a
// wait that Wake() ends (a block queued or taken, the end, a stop) does
// not: its time-out is only a fallback, and scaled down it would spin.
std::chrono::microseconds Scaled(uint32_t ms) {
  return std::chrono::microseconds(static_cast<int64_t>(ms * ov::TimeScale() * 1000.0));
}
} // namespace

void TCacheThread::WaitForBlock(uint32_t ms) {
  const uint64_t seq = WakeSeq();
  lock_.Lock();
  const bool ready = !blocks_.empty() || finished_.load();
  lock_.Unlock();
  if (!ready)
    WaitWake(seq, std::chrono::milliseconds(ms));
}

void TCacheThread::WaitForPrimed(uint32_t ms) {
  const uint64_t seq = WakeSeq();
  if (!primed_.load() && !finished_.load())
    WaitWake(seq, Scaled(ms));
}

void TCacheThread::RequestStop() {
  stopRequested_.store(true);
  Wake();
}

std::string TCacheThread::CacheError() {
  lock_.Lock();
  std::string s = cacheError_;
  lock_.Unlock();
  return s;
}

void TCacheThread::SetCacheError(const std::string &Text) {
  lock_.Lock();
  cacheError_ = Text;
  hasError_.store(!Text.empty());
  lock_.Unlock();
}

std::string TCacheThread::CurrentFile() {
  lock_.Lock();
  std::string s = currentFile_;
  lock_.Unlock();
  return s;
}

int32_t TCacheThread::BlockCount() {
  lock_.Lock();
  const auto n = static_cast<int32_t>(blocks_.size());
  lock_.Unlock();
  return n;
}

int32_t TCacheThread::GetBlock(void *Dest) {
  if (remainingBytes_.load() == 0 && finished_.load())
    return 0;
  lock_.Lock();
  if (blocks_.empty()) {
    lock_.Unlock();
    return finished_.load() ? 0 : -1;
  }
  lock_.Unlock();
  // The producer is discarding the queue: it only does so on the way out.
  while (clearing_.load()) {
    if (stopRequested_.load())
      return 0;
    ov::Sleep(1);
  }
  lock_.Lock();
  taking_.store(true);
  if (blocks_.empty()) {   // discarded meanwhile
    taking_.store(false);
    lock_.Unlock();
    return finished_.load() ? 0 : -1;
  }
  std::unique_ptr<TCacheBlock> b = std::move(blocks_.front());
  blocks_.pop_front();
  const int32_t n = b->Count;
  std::memcpy(Dest, b->Data, static_cast<size_t>(n));
  spare_.push_back(std::move(b));
  queuedBytes_ -= n;
  remainingBytes_ -= n;
  taking_.store(false);
  lock_.Unlock();
  Wake();
  return n;
}

int64_t TCacheThread::TakeBlocks(std::vector<std::unique_ptr<TCacheBlock>> &Out, int32_t MaxCount) {
  if (remainingBytes_.load() == 0 && finished_.load())
    return 0;
  while (clearing_.load()) {
    if (stopRequested_.load())
      return 0;
    ov::Sleep(1);
  }
  lock_.Lock();
  if (blocks_.empty()) {
    lock_.Unlock();
    return finished_.load() ? 0 : -1;
  }
  taking_.store(true);
  int64_t n = 0;
  for (int32_t i = 0; i < MaxCount && !blocks_.empty(); ++i) {
    n += blocks_.front()->Count;
    Out.push_back(std::move(blocks_.front()));
    blocks_.pop_front();
  }
  queuedBytes_ -= n;
  remainingBytes_ -= n;
  taking_.store(false);
  lock_.Unlock();
  Wake();
  return n;
}

void TCacheThread::ReturnBlocks(std::vector<std::unique_ptr<TCacheBlock>> &Blocks) {
  lock_.Lock();
  for (auto &b : Blocks)
    spare_.push_back(std::move(b));
  lock_.Unlock();
  Blocks.clear();
}

std::unique_ptr<TCacheBlock> TCacheThread::NewBlock() {
  std::unique_ptr<TCacheBlock> b;
  lock_.Lock();
  if (!spare_.empty()) {
    b = std::move(spare_.back());
    spare_.pop_back();
  }
  lock_.Unlock();
  if (!b)
    b = std::make_unique<TCacheBlock>();
  b->Count = 0;
  return b;
}

// Appends the block being filled (under the lock) and starts a new one.
void TCacheThread::AppendCurrent() {
  lock_.Lock();
  blocks_.push_back(std::move(current_));
  const auto n = static_cast<int32_t>(blocks_.size());
  if (n > peakBlocks_.load())
    peakBlocks_.store(n);
  lock_.Unlock();
  Wake();
  current_ = NewBlock();
}

void TCacheThread::SetPriority(uint8_t level) {
  priorityLevel_.store(level);
  if (!PrioritiesReversible())
    return;
  // The level says how urgently the producer works; the thread itself stays
  // at normal priority. Lowered (nice 5 to 19), it waits behind every other
  // busy process of the machine each time room appears, and a fast drive's
  // buffer runs dry meanwhile.
  ov::SetCurrentThreadPriority(ov::tpNormal);
}

void TCacheThread::Execute() {
  SetPriority(2);
  if (Produce()) {
    // Everything is queued: wait until the writer has taken it all, or stops.
    for (;;) {
      const uint64_t seq = WakeSeq();
      if (stopRequested_.load()) {
        while (taking_.load())
          ov::Sleep(10);
        clearing_.store(true);
        finished_.store(true);
        Wake();
        return;
      }
      if (remainingBytes_.load() <= 0) {
        finished_.store(true);
        Wake();
        // Stay a moment for late readers of the texts; the owner's Join or
        // RequestStop cuts this short.
        std::unique_lock<std::mutex> l(wakeMutex_);
        wakeCv_.wait_for(l, Scaled(1000), [&] { return stopRequested_.load() || wakeSeq_ != seq; });
        return;
      }
      WaitWake(seq, std::chrono::milliseconds(10));
    }
  }
}

// Produces the whole byte stream; false when it ended through the stop
// path or a failure (Finished is then set).
bool TCacheThread::Produce() {
  queuedBytes_.store(0);
  current_ = NewBlock();
  if (p_.ImageFileName.empty() && !ProduceHeader())
    return false;
  if (!p_.ImageFileName.empty()) {
    if (!ProduceFile(p_.ImageFileName, -1))
      return false;
  } else {
    if (!p_.BootImagePath.empty() &&
        !ProduceFile(p_.BootImagePath, static_cast<int64_t>(p_.BootImageSectors) * CacheSectorSize))
      return false;
    if (p_.PadSectors > 0 && !ProduceZeros(p_.PadSectors * CacheSectorSize))
      return false;
    for (const TCacheSource &f : p_.Files) {
      if (f.Size <= 0 || f.Path.empty())
        continue;
      if (!ProduceFile(f.Path, f.Size))
        return false;
    }
  }
  // The last, partial block (its bytes are counted already).
  if (current_->Count > 0)
    AppendCurrent();
  source_.reset();
  opener_.Close();
  // What is queued now is all there will be: a source that ended before its
  // announced size (an image file that shrank) must not leave the writer
  // waiting for bytes that never come.
  lock_.Lock();
  remainingBytes_.store(queuedBytes_.load());
  lock_.Unlock();
  if (padToMinimum_) {
    lock_.Lock();
    padBytes_.store(CacheMinimumBytes - p_.ExpectedTotal);
    remainingBytes_ += padBytes_.load();
    lock_.Unlock();
    while (padBytes_.load() > 0) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(p_.BlockSize, padBytes_.load()));
      std::memset(current_->Data, 0, static_cast<size_t>(n));
      current_->Count = n;
      queuedBytes_ += n;
      AppendCurrent();
      padBytes_ -= n;
    }
  }
  primed_.store(true);
  Wake();
  return true;
}

// Waits while the queue is full. Returns false when a stop was requested
// (the stop path has then run).
bool TCacheThread::WaitForRoom(bool adjustPriority) {
  for (;;) {
    const uint64_t seq = WakeSeq();
    if (BlockCount() < maxBlocks_ - 1)
      return true;
    if (adjustPriority && priorityLevel_.load() != 0)
      SetPriority(0);
    if (stopRequested_.load()) {
      StopPath();
      return false;
    }
    if (!primed_.exchange(true))
      Wake();
    WaitWake(seq, std::chrono::milliseconds(1));
  }
}

bool TCacheThread::ProduceHeader() {
  const int64_t size = static_cast<int64_t>(p_.Header.size());
  int64_t pos = 0;
  while (pos < size) {
    const int32_t room = p_.BlockSize - current_->Count;
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(size - pos, room));
    std::memcpy(current_->Data + current_->Count, p_.Header.data() + pos, static_cast<size_t>(piece));
    const int32_t rounded = static_cast<int32_t>(RoundToSector(piece));
    std::memset(current_->Data + current_->Count + piece, 0, static_cast<size_t>(rounded - piece));
    current_->Count += rounded;
    pos += piece;
    queuedBytes_ += rounded;
    if (current_->Count == p_.BlockSize)
      AppendCurrent();
    if (stopRequested_.load()) {
      StopPath();
      return false;
    }
    if (!WaitForRoom(false))
      return false;
  }
  // The header's memory is released as soon as it is queued.
  std::vector<uint8_t>().swap(p_.Header);
  return true;
}

// Called after each piece of a source: stop check, queue, priority, room.
bool TCacheThread::QueuePiece(int32_t rounded) {
  current_->Count += rounded;
  queuedBytes_ += rounded;
  return AfterPiece();
}

bool TCacheThread::AfterPiece() {
  if (stopRequested_.load()) {
    StopPath();
    return false;
  }
  lock_.Lock();
  clearing_.store(false);
  lock_.Unlock();
  if (current_->Count == p_.BlockSize)
    AppendCurrent();
  const int32_t count = BlockCount();
  const int32_t quarter = maxBlocks_ / 4, half = maxBlocks_ / 2;
  const uint8_t level = priorityLevel_.load();
  if (count < quarter) {
    if (level != 3)
      SetPriority(3);
  } else if (count < half) {
    if (level != 2)
      SetPriority(2);
  } else if (level != 1) {
    SetPriority(1);
  }
  return WaitForRoom(true);
}

// size < 0: the whole file (an image file to burn).
bool TCacheThread::ReadFailed(const std::string &path) {
  lock_.Lock();
  cacheError_ = "CAN'T READ FILE \"" + path + "\"";
  hasError_.store(true);
  finished_.store(true);
  source_.reset();
  opener_.Close();
  lock_.Unlock();
  Wake();
  return false;
}

bool TCacheThread::ProduceFile(const std::string &path, int64_t size) {
  lock_.Lock();
  currentFile_ = path;
  lock_.Unlock();
  source_.reset();
  source_ = opener_.Open(path);
  if (!source_) {
    FailOpen(path);
    return false;
  }
  if (size < 0)
    size = source_->GetSize();
  if (size > kAdviseThreshold)
    source_->AdviseSequential();
  reader_.Reset(source_->Handle, size);
  int64_t pos = 0;
  while (pos < size) {
    const int64_t left = size - pos;
    // Whole blocks are read several at a time, straight into the blocks.
    if (current_->Count == 0 && left >= 2 * static_cast<int64_t>(p_.BlockSize)) {
      bool failed = false;
      const int64_t n = ReadBatch(pos, left, failed);
      if (failed)
        return ReadFailed(path);
      if (n > 0) {
        pos += n;
        if (!AfterPiece())
          return false;
        continue;
      }
    }
    const int32_t room = p_.BlockSize - current_->Count;
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(left, room));
    const int32_t rounded = static_cast<int32_t>(RoundToSector(piece));
    uint8_t *dst = current_->Data + current_->Count;
    const int64_t got = reader_.Read(dst, piece, pos);
    if (got < 0) {
      // A source that cannot be read would leave a hole of zeros in the image.
      return ReadFailed(path);
    }
    // A file that shrank since the layout still yields its recorded length.
    std::memset(dst + got, 0, static_cast<size_t>(rounded - got));
    pos += piece;
    if (!QueuePiece(rounded))
      return false;
  }
  return true;
}

// Reads as many whole blocks as the source has from pos and the queue can
// take (at most 16) with one call, and queues them. Returns the bytes
// queued; 0 when there is no room for two blocks.
int64_t TCacheThread::ReadBatch(int64_t pos, int64_t left, bool &failed) {
  constexpr int32_t kMaxBatch = TSourceReader::kMaxBuffers;
  const int32_t room = (maxBlocks_ - 1) - BlockCount();
  const int32_t k = static_cast<int32_t>(std::min<int64_t>({left / p_.BlockSize, kMaxBatch, room}));
  if (k < 2)
    return 0;
  std::unique_ptr<TCacheBlock> batch[kMaxBatch];
  struct iovec iov[kMaxBatch];
  batch[0] = std::move(current_);
  for (int32_t i = 1; i < k; ++i)
    batch[i] = NewBlock();
  for (int32_t i = 0; i < k; ++i) {
    iov[i].iov_base = batch[i]->Data;
    iov[i].iov_len = static_cast<size_t>(p_.BlockSize);
  }
  const int64_t want = static_cast<int64_t>(k) * p_.BlockSize;
  const int64_t got = reader_.ReadV(iov, k, pos, want);
  if (got < 0) {
    // Whatever was read before the error is dropped with the rest: the
    // write ends, so no block of this batch may reach the writer.
    failed = true;
    current_ = std::move(batch[0]);
    lock_.Lock();
    for (int32_t i = 1; i < k; ++i)
      spare_.push_back(std::move(batch[i]));
    lock_.Unlock();
    return 0;
  }
  if (got < want) {
    // A file that shrank since the layout still yields its recorded length.
    for (int32_t i = 0; i < k; ++i) {
      const int64_t start = static_cast<int64_t>(i) * p_.BlockSize;
      if (got <= start)
        std::memset(batch[i]->Data, 0, static_cast<size_t>(p_.BlockSize));
      else if (got < start + p_.BlockSize)
        std::memset(batch[i]->Data + (got - start), 0, static_cast<size_t>(start + p_.BlockSize - got));
    }
  }
  lock_.Lock();
  for (int32_t i = 0; i < k; ++i) {
    batch[i]->Count = p_.BlockSize;
    blocks_.push_back(std::move(batch[i]));
  }
  const auto n = static_cast<int32_t>(blocks_.size());
  if (n > peakBlocks_.load())
    peakBlocks_.store(n);
  lock_.Unlock();
  queuedBytes_ += want;
  Wake();
  current_ = NewBlock();
  return want;
}

bool TCacheThread::ProduceZeros(int64_t size) {
  lock_.Lock();
  currentFile_.clear();
  lock_.Unlock();
  int64_t left = size;
  while (left > 0) {
    const int32_t room = p_.BlockSize - current_->Count;
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(left, room));
    const int32_t rounded = static_cast<int32_t>(RoundToSector(piece));
    std::memset(current_->Data + current_->Count, 0, static_cast<size_t>(rounded));
    left -= piece;
    if (!QueuePiece(rounded))
      return false;
  }
  return true;
}

void TCacheThread::StopPath() {
  while (taking_.load())
    ov::Sleep(10);
  clearing_.store(true);
  lock_.Lock();
  for (auto &b : blocks_)
    spare_.push_back(std::move(b));
  blocks_.clear();
  queuedBytes_.store(0);
  if (cacheError_.empty())
    cacheError_ = "OPERATION ABORTED BY USER";
  hasError_.store(true);
  finished_.store(true);
  source_.reset();
  opener_.Close();
  lock_.Unlock();
  Wake();
}

void TCacheThread::FailOpen(const std::string &path) {
  lock_.Lock();
  cacheError_ = "CAN'T OPEN FILE \"" + path + "\" OR FILE IS IN USES BY OTHER SOFTWARE";
  hasError_.store(true);
  finished_.store(true);
  lock_.Unlock();
  Wake();
}
