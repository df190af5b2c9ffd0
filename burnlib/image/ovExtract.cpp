// Extraction of one file from a sector source.
#include "ovExtract.h"

#include "ovDateTime.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iso {

namespace {

constexpr uint32_t kPieceSectors = 64;  // 128 KiB per read

// A name for the data while it is being written, beside the final name.
std::string TemporaryName(const std::string &name) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  return folder + ".skarvo-part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

bool WriteAll(int fd, const uint8_t *p, size_t n, std::string &Error) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0) {
      Error = std::string("cannot write: ") + (w == 0 ? "no space" : std::strerror(errno));
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

} // namespace

void SetFileDate(int Fd, double Date) {
  if (!std::isfinite(Date))
    return;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = ov::DateTimeToUnix(Date);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ::futimens(Fd, times);
}

bool ExtractToFile(TSectorSource &Source, const std::vector<TExtent> &Extents, uint64_t Size, int DirFd,
                   const std::string &Name, double Date, const TCopyProgress &Progress, std::string &Error) {
  const std::string temp = TemporaryName(Name);
  const int fd = ::openat(DirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    Error = "cannot create a file beside " + Name + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string &why) {
    ::close(fd);
    ::unlinkat(DirFd, temp.c_str(), 0);
    Error = why;
    return false;
  };
  std::vector<uint8_t> buf(size_t{kPieceSectors} * TSectorSource::SectorSize);
  uint64_t done = 0;
  for (const TExtent &e : Extents) {
    uint64_t left = std::min<uint64_t>(e.Length, Size - done);
    uint64_t lba = e.Lba;
    while (left > 0) {
      const uint64_t bytes = std::min<uint64_t>(left, buf.size());
      const auto sectors = static_cast<uint32_t>((bytes + TSectorSource::SectorSize - 1) / TSectorSource::SectorSize);
      std::string err;
      if (!Source.ReadSectors(lba, sectors, buf.data(), err))
        return fail(err);
      if (!WriteAll(fd, buf.data(), static_cast<size_t>(bytes), err))
        return fail(err + " (" + Name + ")");
      lba += sectors;
      left -= bytes;
      done += bytes;
      if (Progress && !Progress(done))
        return fail("interrupted");
    }
    if (done >= Size)
      break;
  }
  if (done != Size)
    return fail("the recorded extents hold " + std::to_string(done) + " of " + std::to_string(Size) + " bytes");
  SetFileDate(fd, Date);
  if (::close(fd) != 0) {
    const std::string why = std::string("cannot close ") + Name + ": " + std::strerror(errno);
    ::unlinkat(DirFd, temp.c_str(), 0);
    Error = why;
    return false;
  }
  if (::renameat(DirFd, temp.c_str(), DirFd, Name.c_str()) != 0) {
    Error = "cannot create " + Name + ": " + std::strerror(errno);
    ::unlinkat(DirFd, temp.c_str(), 0);
    return false;
  }
  return true;
}

} // namespace iso
