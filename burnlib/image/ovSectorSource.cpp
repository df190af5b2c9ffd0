// Sector source over an image file.
#include "ovSectorSource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TFileSectorSource::~TFileSectorSource() {
  if (fd_ >= 0)
    ::close(fd_);
}

bool TFileSectorSource::Open(const std::string &Path, std::string &Error) {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    Error = "cannot open " + Path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
    Error = "cannot read " + Path + ": " + (S_ISDIR(st.st_mode) ? "is a folder" : std::strerror(errno));
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  path_ = Path;
  bytes_ = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  if (S_ISBLK(st.st_mode)) {
    const off_t end = lseek(fd_, 0, SEEK_END);
    bytes_ = end > 0 ? static_cast<uint64_t>(end) : 0;
  }
  return true;
}

bool TFileSectorSource::ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) {
  if (fd_ < 0) {
    Error = "no image open";
    return false;
  }
  if (Lba > SectorCount() || Count > SectorCount() - Lba) {
    Error = "sector " + std::to_string(Lba) + " (" + std::to_string(Count) + " sectors) is beyond the end of " +
            path_ + " (" + std::to_string(SectorCount()) + " sectors)";
    return false;
  }
  size_t want = size_t{Count} * SectorSize;
  off_t at = static_cast<off_t>(Lba * SectorSize);
  while (want > 0) {
    const ssize_t n = pread(fd_, Buffer, want, at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      Error = "cannot read sector " + std::to_string(at / SectorSize) + " of " + path_ + ": " +
              (n == 0 ? "unexpected end of file" : std::strerror(errno));
      return false;
    }
    Buffer += n;
    want -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

void TFileSectorSource::WillRead(uint64_t Lba, uint64_t Count) {
  // Sequential: the kernel reads further ahead for this file.
  if (fd_ >= 0 && Count > 0)
    ::posix_fadvise(fd_, static_cast<off_t>(Lba * SectorSize), static_cast<off_t>(Count * SectorSize),
                    POSIX_FADV_SEQUENTIAL);
}

TSectorSource::TCopy TFileSectorSource::CopyInto(int Fd, uint64_t Offset, uint64_t Bytes, uint64_t &Copied,
                                                 std::string &Error) {
  Copied = 0;
  if (fd_ < 0 || Offset > bytes_ || Bytes > bytes_ - Offset)
    return TCopy::Unsupported;  // the read path names what is wrong
  auto at = static_cast<off64_t>(Offset);
  while (Copied < Bytes) {
    const ssize_t n = ::copy_file_range(fd_, &at, Fd, nullptr, static_cast<size_t>(Bytes - Copied), 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF))
      return TCopy::Unsupported;  // this pair of files: read and write instead
    if (n <= 0) {
      Error = "cannot copy from byte " + std::to_string(at) + " of " + path_ + ": " +
              (n == 0 ? "unexpected end of file" : std::strerror(errno));
      return TCopy::Failed;
    }
    Copied += static_cast<uint64_t>(n);
  }
  return TCopy::Done;
}
