// Extraction of one file from a sector source.
#include "ovExtract.h"

#include "ovDateTime.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iso {

namespace {

constexpr uint32_t kPieceSectors = 512;  // 1 MiB per read: few system calls, one buffer
// Bytes the kernel copies between two looks at the progress (an interrupt).
constexpr uint64_t kCopyPiece = uint64_t{64} << 20;

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

namespace {

// The folder part of Name ("." when none) and its last component.
std::pair<std::string, std::string> SplitName(const std::string &Name) {
  const size_t slash = Name.rfind('/');
  if (slash == std::string::npos)
    return {".", Name};
  return {slash == 0 ? "/" : Name.substr(0, slash), Name.substr(slash + 1)};
}

// The file being written: unnamed (O_TMPFILE) where the file system allows,
// else under a temporary name beside the final one.
struct TPartFile {
  int DirFd = AT_FDCWD;
  int Fd = -1;
  std::string Temp;  // empty for an unnamed file

  bool Open(int dirFd, const std::string &name, std::string &Error) {
    DirFd = dirFd;
    Fd = ::openat(dirFd, SplitName(name).first.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (Fd >= 0)
      return true;
    Temp = TemporaryName(name);
    Fd = ::openat(dirFd, Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (Fd >= 0)
      return true;
    Error = "cannot create a file beside " + name + ": " + std::strerror(errno);
    Temp.clear();
    return false;
  }
  // Gives the file a name of its own: Name itself when free, else (only to
  // replace) a temporary one. False with errno set.
  bool Link(const std::string &name) {
    if (!Temp.empty())
      return false;
    const std::string self = "/proc/self/fd/" + std::to_string(Fd);
    return ::linkat(AT_FDCWD, self.c_str(), DirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }
  // Names the complete file Name. Keep: an existing Name stays (false,
  // exists set).
  bool Commit(const std::string &name, TExisting existing, bool &exists, std::string &Error) {
    exists = false;
    if (Temp.empty()) {
      if (Link(name))
        return true;
      if (errno != EEXIST) {
        Error = "cannot create " + name + ": " + std::strerror(errno);
        return false;
      }
      exists = true;
      if (existing == TExisting::Keep) {
        Error = name + " exists";
        return false;
      }
      // Linked under a temporary name, then renamed over the old file.
      const std::string temp = TemporaryName(name);
      if (!Link(temp)) {
        Error = "cannot create " + name + ": " + std::strerror(errno);
        return false;
      }
      Temp = temp;
    }
    const unsigned flags = existing == TExisting::Keep ? RENAME_NOREPLACE : 0;
    if (::renameat2(DirFd, Temp.c_str(), DirFd, name.c_str(), flags) != 0) {
      exists = errno == EEXIST;
      Error = exists ? name + " exists" : "cannot create " + name + ": " + std::strerror(errno);
      return false;
    }
    Temp.clear();
    return true;
  }
  ~TPartFile() {
    if (Fd >= 0)
      ::close(Fd);
    if (!Temp.empty())
      ::unlinkat(DirFd, Temp.c_str(), 0);
  }
};

} // namespace

bool ExtractToFile(TSectorSource &Source, const std::vector<TExtent> &Extents, uint64_t Size, int DirFd,
                   const std::string &Name, double Date, const TCopyProgress &Progress, std::string &Error,
                   TExisting Existing, bool *Exists, int Mode) {
  if (Exists)
    *Exists = false;
  TPartFile part;
  if (!part.Open(DirFd, Name, Error))
    return false;
  const auto fail = [&](const std::string &why) {
    Error = why;
    return false;
  };
  // A large file is copied by the kernel while the source lets it (an image
  // file, as cat copies); small files and other sources are read and written
  // through one buffer, which costs fewer calls per file.
  bool kernelCopy = Size >= size_t{kPieceSectors} * TSectorSource::SectorSize;
  std::vector<uint8_t> buf;
  uint64_t done = 0;
  for (const TExtent &e : Extents) {
    uint64_t left = std::min<uint64_t>(e.Length, Size - done);
    uint64_t lba = e.Lba;
    while (left > 0 && kernelCopy) {
      const uint64_t want = std::min<uint64_t>(left, kCopyPiece);
      uint64_t copied = 0;
      std::string err;
      const TSectorSource::TCopy c =
          Source.CopyInto(part.Fd, lba * TSectorSource::SectorSize, want, copied, err);
      if (c == TSectorSource::TCopy::Failed)
        return fail(err + " (" + Name + ")");
      kernelCopy = c == TSectorSource::TCopy::Done;
      // A partial copy before the source gave up ends on a sector: the
      // rest is read from there.
      copied = kernelCopy ? copied : 0;
      if (!kernelCopy && ::ftruncate(part.Fd, static_cast<off_t>(done)) != 0)
        return fail(std::string("cannot write ") + Name + ": " + std::strerror(errno));
      if (!kernelCopy && ::lseek(part.Fd, static_cast<off_t>(done), SEEK_SET) < 0)
        return fail(std::string("cannot write ") + Name + ": " + std::strerror(errno));
      lba += copied / TSectorSource::SectorSize;
      left -= copied;
      done += copied;
      if (copied && Progress && !Progress(done))
        return fail("interrupted");
    }
    if (left > 0 && buf.empty()) {
      buf.resize(static_cast<size_t>(std::min<uint64_t>(size_t{kPieceSectors} * TSectorSource::SectorSize,
                                                        std::max<uint64_t>(Size, TSectorSource::SectorSize))));
      buf.resize((buf.size() + TSectorSource::SectorSize - 1) / TSectorSource::SectorSize *
                 TSectorSource::SectorSize);
    }
    if (left > 0)
      Source.WillRead(lba, (left + TSectorSource::SectorSize - 1) / TSectorSource::SectorSize);
    while (left > 0) {
      const uint64_t bytes = std::min<uint64_t>(left, buf.size());
      const auto sectors = static_cast<uint32_t>((bytes + TSectorSource::SectorSize - 1) / TSectorSource::SectorSize);
      std::string err;
      if (!Source.ReadSectors(lba, sectors, buf.data(), err))
        return fail(err);
      if (!WriteAll(part.Fd, buf.data(), static_cast<size_t>(bytes), err))
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
  SetFileDate(part.Fd, Date);
  if (Mode >= 0 && ::fchmod(part.Fd, static_cast<mode_t>(Mode)) != 0)
    return fail("cannot set the mode of " + Name + ": " + std::strerror(errno));
  bool exists = false;
  if (!part.Commit(Name, Existing, exists, Error)) {
    if (Exists)
      *Exists = exists;
    return false;
  }
  const int fd = part.Fd;
  part.Fd = -1;
  if (::close(fd) != 0) {
    // The data may not have reached the disc: the named file goes again.
    Error = std::string("cannot close ") + Name + ": " + std::strerror(errno);
    ::unlinkat(DirFd, Name.c_str(), 0);
    return false;
  }
  return true;
}

uint32_t ExtractedMode(uint32_t StoredMode, uint32_t Umask) { return StoredMode & 0777 & ~Umask; }

bool ExtractSymlink(int DirFd, const std::string &Name, const std::string &Target, double Date, std::string &Error,
                    TExisting Existing, bool *Exists) {
  if (Exists)
    *Exists = false;
  // Made under a temporary name and renamed: rename replaces a link
  // itself, never what it points at.
  const std::string temp = TemporaryName(Name);
  if (::symlinkat(Target.c_str(), DirFd, temp.c_str()) != 0) {
    Error = "cannot make the symbolic link " + Name + ": " + std::strerror(errno);
    return false;
  }
  if (std::isfinite(Date)) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = ov::DateTimeToUnix(Date);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ::utimensat(DirFd, temp.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  const unsigned flags = Existing == TExisting::Keep ? RENAME_NOREPLACE : 0;
  if (::renameat2(DirFd, temp.c_str(), DirFd, Name.c_str(), flags) != 0) {
    const bool exists = errno == EEXIST || errno == EISDIR || errno == ENOTEMPTY;
    if (Exists)
      *Exists = exists;
    Error = exists ? Name + " exists" : "cannot make the symbolic link " + Name + ": " + std::strerror(errno);
    ::unlinkat(DirFd, temp.c_str(), 0);
    return false;
  }
  return true;
}

} // namespace iso
