// The write thread and the process-wide state of the one write that runs.
#pragma once

#include "ovCDBC.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TCacheThread;
class TFileStreamEx;
class TThWrite;

// One write runs per process: its component, cache and writer, the abort
// flag and the buffer each block is copied into before it is sent.
extern std::atomic<TOrvBurner *> ActiveBurner;
extern std::atomic<TCacheThread *> ActiveCache;
extern std::atomic<TThWrite *> ActiveWriter;
extern std::atomic<bool> AbortRequested;

// Claims the process-wide write slot; false when a write already runs.
bool ClaimWriteSlot();
void ReleaseWriteSlot();

// Texts that end a write to an image file, with the system's reason.
std::string CantCreateFileText(const std::string &FileName, int Err);
std::string CantWriteFileText(const std::string &FileName, int Err);

// Makes the writer of a disc target (the burning side); empty until a disc
// writer is linked in, and StartWriteThread(false) then fails.
using TDiscWriterFactory = std::unique_ptr<TThWrite> (*)(TOrvBurner &Burner, TCacheThread &Cache);
extern TDiscWriterFactory DiscWriterFactory;

// Takes the cache's blocks and sends them to the target: an image file
// (ToFile) or, through a subclass that overrides the target steps, a disc.
class TThWrite {
public:
  TThWrite(TOrvBurner &ABurner, TCacheThread &ACache, bool AToFile);
  virtual ~TThWrite();
  TThWrite(const TThWrite &) = delete;
  TThWrite &operator=(const TThWrite &) = delete;

  void Start();
  // Waits for the thread; on the main thread, runs the calls the thread
  // queued for it meanwhile (its OnWriteDone) unless DropDoneEvent is set.
  void Join();
  bool Ended() const { return ended_.load(); }
  // Set by the component's destructor: the end is no longer reported.
  std::atomic<bool> DropDoneEvent{false};

  const bool ToFile;

protected:
  // Target steps. Each returns false when the write must end; the reason is
  // then in the cache's CacheError. FinishTarget runs on every way out.
  virtual bool OpenTarget();
  // Sends the Count bytes of the taken blocks (Taken()) and hands the
  // blocks back to the cache.
  virtual bool SendBlock(int64_t Count);
  virtual void FinishTarget(bool AllSent);
  // Ends the write with Text (kept by the cache's stop path).
  void Fail(const std::string &Text);
  // The blocks taken from the cache and not yet handed back, oldest first.
  std::vector<std::unique_ptr<struct TCacheBlock>> &Taken() { return taken_; }
  // Adds n bytes to the component's count of bytes written (at most the
  // session's length).
  void CountWritten(int64_t n);

  TOrvBurner &Burner;
  TCacheThread &Cache;

private:
  void Execute();
  // Takes the next data from the cache without copying it: up to 16 blocks
  // at once into taken_ (an image file writes them with one call, a disc
  // with one WRITE(10) each).
  int64_t Fetch();
  void Deliver(const std::string &Result);

  std::unique_ptr<TFileStreamEx> file_;
  std::unique_ptr<class TWriteBehind> behind_;   // with file_
  int64_t fileEnd_ = 0;                          // bytes written to file_
  std::vector<std::unique_ptr<struct TCacheBlock>> taken_;
  const bool notify_;   // OnWriteDone was assigned when the write started
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

// The threads of one component's writes. The running pair is joined before
// the next write starts; a pair still delivering its end is kept until it
// has ended.
struct TOrvBurner::TWriteJobs {
  std::unique_ptr<TCacheThread> Cache;
  std::unique_ptr<TThWrite> Writer;
  std::vector<std::unique_ptr<TCacheThread>> RetiredCaches;
  std::vector<std::unique_ptr<TThWrite>> RetiredWriters;
  // Joins what has ended; moves a running pair aside.
  void Reap();
  ~TWriteJobs();
};
