#include "ovWrite.h"

#include "ovCache.h"
#include "ovStreamEx.h"
#include "ovSync.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/uio.h>

std::atomic<TOrvBurner *> ActiveBurner{nullptr};
std::atomic<TCacheThread *> ActiveCache{nullptr};
std::atomic<TThWrite *> ActiveWriter{nullptr};
std::atomic<bool> AbortRequested{false};
TDiscWriterFactory DiscWriterFactory = nullptr;

namespace {
constexpr int32_t kTakeBatch = 16;
} // namespace

namespace {
std::atomic<bool> g_writeSlot{false};
} // namespace

std::string CantCreateFileText(const std::string &FileName, int Err) {
  return "CAN'T CREATE FILE \"" + FileName + "\" [" + std::strerror(Err) + "]";
}

std::string CantWriteFileText(const std::string &FileName, int Err) {
  return "CAN'T WRITE FILE \"" + FileName + "\" [" + std::strerror(Err) + "]";
}

bool ClaimWriteSlot() {
  bool expected = false;
  return g_writeSlot.compare_exchange_strong(expected, true);
}

void ReleaseWriteSlot() { g_writeSlot.store(false); }

bool TOrvBurner::WriteRunning() { return g_writeSlot.load(); }

TThWrite::TThWrite(TOrvBurner &ABurner, TCacheThread &ACache, bool AToFile)
    : ToFile(AToFile), Burner(ABurner), Cache(ACache), notify_(static_cast<bool>(ABurner.OnWriteDone)) {}

TThWrite::~TThWrite() { Join(); }

void TThWrite::Start() {
  thread_ = std::thread([this] {
    Execute();
    ended_.store(true);
  });
}

void TThWrite::Join() {
  if (!thread_.joinable())
    return;
  // The thread may be waiting for the main thread to run its end event.
  if (ov::IsMainThread()) {
    while (!ended_.load())
      ov::CheckSynchronize(5);
  }
  thread_.join();
}

void TThWrite::Fail(const std::string &Text) {
  Cache.SetCacheError(Text);
  Cache.RequestStop();
}

bool TThWrite::OpenTarget() {
  if (!ToFile) {
    Fail("WRITER ERROR [NO DISC WRITER]");
    return false;
  }
  try {
    file_ = std::make_unique<TFileStreamEx>(Burner.ISOFileName, TFileStreamEx::fmCreate);
  } catch (const EFOpenError &e) {
    Fail(CantCreateFileText(Burner.ISOFileName, e.ErrorCode));
    return false;
  }
  behind_ = std::make_unique<TWriteBehind>(file_->Handle);
  fileEnd_ = 0;
  return true;
}

bool TThWrite::SendBlock(int64_t Count) {
  if (!file_)
    return false;
  struct iovec iov[kTakeBatch];
  int n = 0;
  for (auto &b : taken_) {
    iov[n].iov_base = b->Data;
    iov[n].iov_len = static_cast<size_t>(b->Count);
    ++n;
  }
  int64_t done = 0;
  int index = 0;
  int err = 0;
  while (done < Count) {
    const ssize_t w = ::writev(file_->Handle, iov + index, n - index);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0) {
      err = w < 0 ? errno : ENOSPC;
      break;
    }
    done += w;
    int64_t skip = w;
    while (index < n && skip >= static_cast<int64_t>(iov[index].iov_len)) {
      skip -= static_cast<int64_t>(iov[index].iov_len);
      ++index;
    }
    if (index < n && skip > 0) {
      iov[index].iov_base = static_cast<uint8_t *>(iov[index].iov_base) + skip;
      iov[index].iov_len -= static_cast<size_t>(skip);
    }
  }
  Cache.ReturnBlocks(taken_);
  fileEnd_ += done;
  behind_->Written(fileEnd_);
  // A failed or short write would leave a broken image reported as complete.
  if (done != Count) {
    Fail(CantWriteFileText(Burner.ISOFileName, err));
    return false;
  }
  return true;
}

int64_t TThWrite::Fetch() {
  Burner.Lock();
  const int64_t n = Cache.TakeBlocks(taken_, kTakeBatch);
  Burner.Unlock();
  return n;
}

void TThWrite::CountWritten(int64_t n) {
  const int64_t limit = Burner.SessionSectors() * 2048;
  Burner.BytesWritten.store(std::min(Burner.BytesWritten.load() + n, limit));
}

void TThWrite::FinishTarget(bool AllSent) {
  // The image file is closed on every way out. A complete one is synced
  // first: an error the file system reports only now is a failed write.
  if (file_ && AllSent) {
    if (const int err = file_->CloseWritten(); err != 0)
      Fail(CantWriteFileText(Burner.ISOFileName, err));
  }
  behind_.reset();
  file_.reset();
}

void TThWrite::Execute() {
  ov::SetCurrentThreadPriority(ov::tpTimeCritical);
  AbortRequested.store(false);
  Burner.BytesWritten.store(0);
  // The cache's text is not cleared here: it starts empty, and a failure it
  // met after priming must not be lost.

  bool allSent = false;
  if (OpenTarget()) {
    int64_t n = Fetch();
    // An image file starts at sector 0 (the layout made it so already).
    if (ToFile && Burner.SessionStart != 0)
      Burner.SessionStart = 0;
    for (;;) {
      if (n == 0) {
        allSent = true;
        break;
      }
      if (n > 0) {
        Burner.SetCurrentFile(Cache.CurrentFile());
        if (ToFile)
          CountWritten(n);
        if (!SendBlock(n))
          break;
      }
      // Fetch the next block.
      if (AbortRequested.load()) {
        Fail("OPERATION ABORTED BY USER");
        break;
      }
      n = Fetch();
      if (Cache.HasError())
        break;
      if (n < 0)
        Cache.WaitForBlock(1);
    }
  }
  FinishTarget(allSent && !Cache.HasError());
  if (!taken_.empty())
    Cache.ReturnBlocks(taken_);

  Burner.Lock();
  Burner.SetCurrentFile(Cache.CurrentFile());
  const std::string result = Cache.CacheError();
  Burner.Unlock();
  Deliver(result);
}

void TThWrite::Deliver(const std::string &Result) {
  Burner.SetSPTIAutoClose(true);
  ActiveWriter.store(nullptr);
  if (!notify_ || DropDoneEvent.load()) {
    Burner.SetCurrentFile("");
    ReleaseWriteSlot();
    return;
  }
  // The slot is free from here, so the handler may start the next write.
  ReleaseWriteSlot();
  TOrvBurner *b = &Burner;
  ov::Synchronize([this, b, Result] {
    if (DropDoneEvent.load())
      return;
    b->WriteDoneText = Result;
    if (b->OnWriteDone)
      b->OnWriteDone(b, Result);
    if (!TOrvBurner::WriteRunning())
      b->SetCurrentFile("");
  });
}

void TOrvBurner::TWriteJobs::Reap() {
  if (Writer && !Writer->Ended()) {
    RetiredWriters.push_back(std::move(Writer));
    if (Cache)
      RetiredCaches.push_back(std::move(Cache));
  }
  Writer.reset();
  Cache.reset();
  for (size_t i = 0; i < RetiredWriters.size();) {
    if (RetiredWriters[i]->Ended())
      RetiredWriters.erase(RetiredWriters.begin() + static_cast<std::ptrdiff_t>(i));
    else
      ++i;
  }
  if (RetiredWriters.empty())
    RetiredCaches.clear();
}

TOrvBurner::TWriteJobs::~TWriteJobs() {
  // Stop what still runs and wait for it; its end is no longer reported.
  if (Writer)
    Writer->DropDoneEvent.store(true);
  for (auto &w : RetiredWriters)
    w->DropDoneEvent.store(true);
  if (Writer && !Writer->Ended())
    AbortRequested.store(true);
  if (Cache)
    Cache->RequestStop();
  Writer.reset();
  RetiredWriters.clear();
  Cache.reset();
  RetiredCaches.clear();
}

void TOrvBurner::TWriteJobsDeleter::operator()(TWriteJobs *p) const { delete p; }
