#include "ovSourceFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TSourceStream::~TSourceStream() {
  if (Handle >= 0)
    ::close(Handle);
}

TSourceOpener::~TSourceOpener() { Close(); }

void TSourceOpener::Close() {
  if (folderFd_ >= 0)
    ::close(folderFd_);
  folderFd_ = -1;
  folder_.clear();
}

int TSourceOpener::FolderFd(const std::string &Folder) {
  if (folderFd_ >= 0 && Folder == folder_)
    return folderFd_;
  Close();
  folder_ = Folder;
  folderFd_ = ::open(Folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return folderFd_;
}

std::unique_ptr<TSourceStream> TSourceOpener::Open(const std::string &Path) {
  int at = AT_FDCWD;
  const char *name = Path.c_str();
  const size_t slash = Path.rfind('/');
  if (slash != std::string::npos && slash + 1 < Path.size()) {
    // A folder that cannot be opened by itself leaves the whole path to
    // the open below, which then reports why.
    const int folder = FolderFd(Path.substr(0, slash + 1));
    if (folder >= 0) {
      at = folder;
      name = Path.c_str() + slash + 1;
    }
  }
  constexpr int kFlags = O_RDONLY | O_CLOEXEC;
  int fd = -1;
  if (noAtime_) {
    fd = ::openat(at, name, kFlags | O_NOATIME);
    if (fd < 0 && errno != EPERM)
      return nullptr;
    if (fd < 0)
      noAtime_ = false;   // not the owner's file: the other sources likely are not either
  }
  if (fd < 0 && (fd = ::openat(at, name, kFlags)) < 0)
    return nullptr;
  // Held until the source is closed; one call where a probe and an unlock
  // would take two.
  if (const int err = LockFile(fd, LOCK_SH); err != 0) {
    ::close(fd);
    errno = err;
    return nullptr;
  }
  return std::make_unique<TSourceStream>(fd);
}

void TSourceReader::Reset(int Fd, int64_t Size) {
  fd_ = Fd;
  sparse_ = pipe_ = false;
  runStart_ = runEnd_ = 0;
  runHole_ = false;
  if (Size < kSparseFrom)
    return;
  // Most large files have no hole: one call tells, and they are read as
  // they stand.
  const off_t hole = ::lseek(Fd, 0, SEEK_HOLE);
  if (hole < 0 || hole >= Size)
    return;
  sparse_ = true;
  runEnd_ = hole;   // [0, hole) is data; empty when the file starts with a hole
}

void TSourceReader::Locate(int64_t Pos) {
  runStart_ = Pos;
  runEnd_ = INT64_MAX;
  const off_t data = ::lseek(fd_, Pos, SEEK_DATA);
  if (data < 0) {
    // ENXIO: no data from Pos on (also past the end of a file that shrank).
    // Anything else: the file system cannot tell after all, so read it.
    runHole_ = errno == ENXIO;
    if (!runHole_)
      sparse_ = false;
    return;
  }
  if (data > Pos) {
    runHole_ = true;
    runEnd_ = data;
    return;
  }
  runHole_ = false;
  const off_t hole = ::lseek(fd_, Pos, SEEK_HOLE);
  // A hole at Pos right after data was found there: the file changed
  // between the two calls; reading it is always right.
  if (hole > Pos)
    runEnd_ = hole;
}

int64_t TSourceReader::Run(int64_t Pos, int64_t Max, bool &Hole) {
  Hole = false;
  if (!sparse_)
    return Max;
  if (Pos < runStart_ || Pos >= runEnd_)
    Locate(Pos);
  if (!sparse_)
    return Max;
  Hole = runHole_;
  return std::min(Max, runEnd_ - Pos);
}

int64_t TSourceReader::ReadV(const struct iovec *Iov, int Count, int64_t Pos, int64_t Bytes) {
  int64_t done = 0;
  while (done < Bytes) {
    bool hole = false;
    const int64_t run = Run(Pos + done, Bytes - done, hole);
    // The parts of the buffers that [done, done + run) falls on.
    struct iovec part[kMaxBuffers];
    int parts = 0;
    int64_t skip = done, want = run;
    for (int i = 0; i < Count && want > 0; ++i) {
      const auto len = static_cast<int64_t>(Iov[i].iov_len);
      if (skip >= len) {
        skip -= len;
        continue;
      }
      const int64_t take = std::min(len - skip, want);
      part[parts].iov_base = static_cast<uint8_t *>(Iov[i].iov_base) + skip;
      part[parts].iov_len = static_cast<size_t>(take);
      ++parts;
      want -= take;
      skip = 0;
    }
    if (hole) {
      for (int i = 0; i < parts; ++i)
        std::memset(part[i].iov_base, 0, part[i].iov_len);
      done += run;
      continue;
    }
    // A pipe has no positions: it is read in order, as its readers go.
    const ssize_t n = pipe_ ? ::readv(fd_, part, parts) : ::preadv(fd_, part, parts, static_cast<off_t>(Pos + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == ESPIPE && !pipe_) {
      pipe_ = true;
      continue;
    }
    if (n < 0)
      return -1;
    if (n == 0)
      break;   // the source ended
    done += n;
  }
  return done;
}

int64_t TSourceReader::Read(void *Buffer, int64_t Count, int64_t Pos) {
  const struct iovec one = {Buffer, static_cast<size_t>(Count)};
  return ReadV(&one, 1, Pos, Count);
}
