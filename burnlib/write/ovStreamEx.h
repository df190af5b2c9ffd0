// File streams with 64-bit positions and sizes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Raised by the TFileStreamEx constructor when a file cannot be opened or
// created; the only exception of the stream family besides SetSize.
class EFOpenError : public std::runtime_error {
public:
  EFOpenError(const std::string &fileName, int err);
  int ErrorCode;   // errno of the failed open
};

// Raised by THandleStreamEx::SetSize when the end of file cannot be set.
class EStreamError : public std::runtime_error {
public:
  EStreamError(const std::string &what, int err);
  int ErrorCode;
};

class TStreamEx {
public:
  virtual ~TStreamEx() = default;
  // Origins of Seek.
  static constexpr uint16_t soBeginning = 0, soCurrent = 1, soEnd = 2;

  virtual void SetSize(int64_t NewSize) {}
  // Bytes read / written; 0 on failure, never negative.
  virtual int32_t Read(void *Buffer, int32_t Count) = 0;
  virtual int32_t Write(const void *Buffer, int32_t Count) = 0;
  // Returns the new absolute position, or -1 when the seek failed.
  virtual int64_t Seek(int64_t Offset, uint16_t Origin) = 0;
  // Size of the stream; the position is left where it was.
  int64_t GetSize();
};

class THandleStreamEx : public TStreamEx {
public:
  explicit THandleStreamEx(int AHandle) : Handle(AHandle) {}
  int Handle;   // file descriptor; -1 when none

  void SetSize(int64_t NewSize) override;
  int32_t Read(void *Buffer, int32_t Count) override;
  int32_t Write(const void *Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;

  // errno of the last Read or Write that failed (0 when it succeeded), so a
  // caller can tell a read error from the end of the file.
  int LastError() const { return lastError_; }
  // Tells the kernel the file is read once from start to end.
  void AdviseSequential();
  // Tells the kernel the bytes before Offset will not be needed again.
  void AdviseDone(int64_t Offset);
  // Flushes the file's data to the disk: 0, or the errno of the failure
  // (0 for pipes and devices, which have nothing to flush).
  int Sync();

protected:
  int lastError_ = 0;
};

// Write-behind for a file written from start to end and synced at its end:
// the disk starts on each step of written data at once instead of at the
// final fsync, and the pages of steps already on the disk leave the page
// cache, so the final sync has little left to do and a large image does not
// crowd the cache. Only hints: a failure shows in the final sync.
class TWriteBehind {
public:
  // Step of writeback, and how much may be in flight before the writer
  // waits for the oldest step.
  static constexpr int64_t kStep = 8 << 20;
  static constexpr int64_t kInFlight = 64 << 20;
  explicit TWriteBehind(int Fd, int64_t Step = kStep, int64_t InFlight = kInFlight)
      : fd_(Fd), step_(Step), inFlight_(InFlight) {}
  // Bytes up to End (a file offset) have been written.
  void Written(int64_t End);

private:
  int fd_;
  const int64_t step_, inFlight_;
  int64_t started_ = 0;   // writeback started below this offset
  int64_t settled_ = 0;   // on the disk and dropped below this offset
};

// Takes the advisory whole-file lock Op (LOCK_SH or LOCK_EX) without
// waiting: 0, EBUSY when another stream holds the file against it, or the
// errno of the failure. A file system without locks gives 0: sharing is
// then not enforced.
int LockFile(int Fd, int Op);

class TFileStreamEx : public THandleStreamEx {
public:
  // Create (or truncate) for reading and writing, no sharing.
  static constexpr uint16_t fmCreate = 0xFFFF;
  // Low two bits: access.
  static constexpr uint16_t fmOpenRead = 0x00, fmOpenWrite = 0x01, fmOpenReadWrite = 0x02;
  // Bits 4-7: sharing.
  static constexpr uint16_t fmShareCompat = 0x00, fmShareExclusive = 0x10, fmShareDenyWrite = 0x20,
                            fmShareDenyRead = 0x30, fmShareDenyNone = 0x40;

  // Throws EFOpenError when the file cannot be opened or created.
  TFileStreamEx(const std::string &FileName, uint16_t Mode);
  ~TFileStreamEx() override;
  TFileStreamEx(const TFileStreamEx &) = delete;
  TFileStreamEx &operator=(const TFileStreamEx &) = delete;

  const std::string &FileName() const { return fileName_; }
  // Closes the file now: 0, or the errno of a failed close (a file system
  // may report a failed write only here). Later calls return 0.
  int Close();
  // Ends a file that was written: Sync, then Close; 0, or the errno of the
  // first failure. A file whose data may not be on the disk is not written.
  int CloseWritten();

private:
  std::string fileName_;
};
