#include "ovStreamEx.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

EFOpenError::EFOpenError(const std::string &fileName, int err)
    : std::runtime_error("Cannot open file \"" + fileName + "\": " + std::strerror(err)), ErrorCode(err) {}

EStreamError::EStreamError(const std::string &what, int err)
    : std::runtime_error(what + ": " + std::strerror(err)), ErrorCode(err) {}

int64_t TStreamEx::GetSize() {
  const int64_t pos = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

int32_t THandleStreamEx::Read(void *Buffer, int32_t Count) {
  // A regular file delivers short counts only at its end; a signal can
  // interrupt a large read, so carry on until the count or the end.
  auto *p = static_cast<char *>(Buffer);
  int32_t done = 0;
  lastError_ = 0;
  while (done < Count) {
    const ssize_t n = ::read(Handle, p + done, static_cast<size_t>(Count - done));
    if (n > 0) {
      done += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      lastError_ = errno;
      return 0;
    }
    break;
  }
  return done;
}

int32_t THandleStreamEx::Write(const void *Buffer, int32_t Count) {
  const auto *p = static_cast<const char *>(Buffer);
  int32_t done = 0;
  lastError_ = 0;
  while (done < Count) {
    const ssize_t n = ::write(Handle, p + done, static_cast<size_t>(Count - done));
    if (n > 0) {
      done += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    lastError_ = n < 0 ? errno : ENOSPC;
    return done;
  }
  return done;
}

int64_t THandleStreamEx::Seek(int64_t Offset, uint16_t Origin) {
  int whence;
  switch (Origin) {
  case soBeginning: whence = SEEK_SET; break;
  case soCurrent: whence = SEEK_CUR; break;
  case soEnd: whence = SEEK_END; break;
  default: return -1;
  }
  return static_cast<int64_t>(::lseek(Handle, static_cast<off_t>(Offset), whence));
}

void THandleStreamEx::SetSize(int64_t NewSize) {
  Seek(NewSize, soBeginning);
  if (::ftruncate(Handle, static_cast<off_t>(NewSize)) != 0)
    throw EStreamError("Cannot set the end of file", errno);
}

void THandleStreamEx::AdviseSequential() {
  (void)::posix_fadvise(Handle, 0, 0, POSIX_FADV_SEQUENTIAL);
}

void THandleStreamEx::AdviseDone(int64_t Offset) {
  if (Offset > 0)
    (void)::posix_fadvise(Handle, 0, static_cast<off_t>(Offset), POSIX_FADV_DONTNEED);
}

int THandleStreamEx::Sync() {
  if (::fsync(Handle) == 0)
    return 0;
  // Pipes and devices such as /dev/null have nothing to flush.
  return errno == EINVAL || errno == EROFS ? 0 : errno;
}

void TWriteBehind::Written(int64_t End) {
  if (fd_ < 0)
    return;
  while (End - started_ >= step_) {
    if (::sync_file_range(fd_, started_, step_, SYNC_FILE_RANGE_WRITE) != 0) {
      fd_ = -1;   // not supported here (a pipe, a device): leave it to the final sync
      return;
    }
    started_ += step_;
  }
  while (started_ - settled_ > inFlight_) {
    (void)::sync_file_range(fd_, settled_, step_,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    (void)::posix_fadvise(fd_, settled_, step_, POSIX_FADV_DONTNEED);
    settled_ += step_;
  }
}

int LockFile(int Fd, int Op) {
  if (::flock(Fd, Op | LOCK_NB) == 0)
    return 0;
  const int err = errno == EWOULDBLOCK ? EBUSY : errno;
  return err == ENOLCK || err == EOPNOTSUPP || err == EINVAL ? 0 : err;
}

// Sharing is carried over with advisory whole-file locks between the
// streams of this program: "exclusive" and "deny read" take an exclusive
// lock, "deny write" a shared one; "deny none" takes none but is refused
// while another stream holds the file exclusively.
TFileStreamEx::TFileStreamEx(const std::string &FileName, uint16_t Mode)
    : THandleStreamEx(-1), fileName_(FileName) {
  int fd;
  int lockOp = 0;
  bool probeOnly = false;
  if (Mode == fmCreate) {
    // Truncate only once the lock is ours, so a refused create loses nothing.
    fd = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    lockOp = LOCK_EX;
  } else {
    int flags;
    switch (Mode & 3) {
    case fmOpenRead: flags = O_RDONLY; break;
    case fmOpenWrite: flags = O_WRONLY; break;
    case fmOpenReadWrite: flags = O_RDWR; break;
    default: throw EFOpenError(FileName, EINVAL);
    }
    switch ((Mode >> 4) & 0x0F) {
    case 0: case 1: case 3: lockOp = LOCK_EX; break;
    case 2: lockOp = LOCK_SH; break;
    default: lockOp = LOCK_SH; probeOnly = true; break;
    }
    fd = ::open(FileName.c_str(), flags | O_CLOEXEC);
  }
  if (fd < 0)
    throw EFOpenError(FileName, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw EFOpenError(FileName, err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw EFOpenError(FileName, EISDIR);
  }
  if (const int err = LockFile(fd, lockOp); err != 0) {
    ::close(fd);
    throw EFOpenError(FileName, err);
  }
  if (probeOnly)
    ::flock(fd, LOCK_UN);
  // A device (say /dev/null) cannot be truncated, and needs not be.
  // A new file is empty already; truncating it anyway would make some file
  // systems flush the whole file when it is closed.
  if (Mode == fmCreate && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
    const int err = errno;
    ::close(fd);
    throw EFOpenError(FileName, err);
  }
  Handle = fd;
}

int TFileStreamEx::Close() {
  if (Handle < 0)
    return 0;
  const int fd = Handle;
  Handle = -1;
  // Linux releases the descriptor even when close fails: never retry it.
  // EINTR: the descriptor is released and the data was synced by then.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

int TFileStreamEx::CloseWritten() {
  const int syncErr = Handle >= 0 ? Sync() : 0;
  const int closeErr = Close();
  return syncErr != 0 ? syncErr : closeErr;
}

TFileStreamEx::~TFileStreamEx() { Close(); }
