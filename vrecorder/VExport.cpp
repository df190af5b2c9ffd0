// Copying a medium's blocks to a file: `vdrive export`, and an image loaded
// into a drive. A target is never removed unless this copy created it.
#include "VDrive.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrec {

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr size_t kPiece = 65536;  // sparse granularity: all-zero pieces stay holes

std::string Reason(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

// Feeds `bytes` bytes of `in` (zeros past its end) to sink(data, size, offset).
template <class Sink> bool Pump(int in, const std::string &from, uint64_t bytes, std::string &err, Sink sink) {
  std::vector<char> buf(kChunk);
  uint64_t done = 0;
  bool eof = false;
  while (done < bytes) {
    const size_t want = size_t(std::min<uint64_t>(buf.size(), bytes - done));
    size_t got = 0;
    while (!eof && got < want) {
      const ssize_t n = pread(in, buf.data() + got, want - got, off_t(done + got));
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        err = Reason("cannot read", from);
        return false;
      }
      if (n == 0)
        eof = true;  // the rest of the range is unrecorded: zeros
      got += size_t(n);
    }
    std::fill(buf.begin() + ptrdiff_t(got), buf.begin() + ptrdiff_t(want), 0);
    if (!sink(buf.data(), want, done))
      return false;
    done += want;
  }
  return true;
}

// Paths written in place even when they name a regular file: /dev/stdout and
// /proc/self/fd/N stand for a descriptor the caller opened.
bool DescriptorPath(const std::string &to) { return to.rfind("/dev/", 0) == 0 || to.rfind("/proc/", 0) == 0; }

// Sequential copy into something that is not a plain file: no seek, no
// truncation, and the target is left in place whatever happens.
bool CopyInPlace(int in, const std::string &from, const std::string &to, uint64_t bytes, std::string &err) {
  const int out = open(to.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (out < 0) {
    err = Reason("cannot open", to);
    return false;
  }
  bool ok = Pump(in, from, bytes, err, [&](const char *p, size_t n, uint64_t) {
    if (WriteAll(out, p, n))
      return true;
    err = Reason("cannot write", to);
    return false;
  });
  if (close(out) != 0 && ok) {
    err = Reason("cannot write", to);
    ok = false;
  }
  return ok;
}

// Sparse copy into a new file beside `to`, renamed over it once complete: a
// previous file at `to` stays as it was until then, and on failure only the
// new file is removed.
bool CopyReplacing(int in, const std::string &from, const std::string &to, const struct stat *old, uint64_t bytes,
                   std::string &err) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = to.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : to.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? to : to.substr(slash + 1);
  std::string tmp;
  int out = -1;
  for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
    tmp = folder + (slash == std::string::npos ? "/." : ".") + base + "." + std::to_string(getpid()) + "-" +
          std::to_string(counter++) + ".part";
    out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0 && errno != EEXIST) {
      err = Reason("cannot create a file in", folder);
      return false;
    }
  }
  if (out < 0) {
    err = "cannot create a temporary file in " + folder;
    return false;
  }
  static const std::vector<char> zero(kPiece, 0);
  bool ok = Pump(in, from, bytes, err, [&](const char *p, size_t n, uint64_t at) {
    for (size_t i = 0; i < n; i += kPiece) {
      const size_t piece = std::min(kPiece, n - i);
      if (std::memcmp(p + i, zero.data(), piece) == 0)
        continue;
      if (pwrite(out, p + i, piece, off_t(at + i)) != ssize_t(piece)) {
        if (errno == 0)
          errno = ENOSPC;
        err = Reason("cannot write", to);
        return false;
      }
    }
    return true;
  });
  if (ok && (ftruncate(out, off_t(bytes)) != 0 || fsync(out) != 0 || (old && fchmod(out, old->st_mode & 07777) != 0))) {
    err = Reason("cannot write", to);
    ok = false;
  }
  if (close(out) != 0 && ok) {
    err = Reason("cannot write", to);
    ok = false;
  }
  if (ok && rename(tmp.c_str(), to.c_str()) != 0) {
    err = Reason("cannot replace", to);
    ok = false;
  }
  if (!ok)
    unlink(tmp.c_str());
  return ok;
}

}  // namespace

bool CopyImage(const std::string &from, const std::string &to, uint64_t bytes, std::string &err) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    err = Reason("cannot open", from);
    return false;
  }
  struct stat src{}, dst{};
  fstat(in, &src);
  const bool exists = stat(to.c_str(), &dst) == 0;
  const int statErr = errno;
  bool ok = false;
  if (exists && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    err = to + " is the medium being copied";
  } else if (exists && (!S_ISREG(dst.st_mode) || DescriptorPath(to))) {
    ok = CopyInPlace(in, from, to, bytes, err);
  } else if (!exists && statErr != ENOENT) {
    errno = statErr;
    err = Reason("cannot write", to);
  } else {
    // A link to a file stays a link: the file it names is replaced.
    std::string target = to;
    struct stat l{};
    if (exists && lstat(to.c_str(), &l) == 0 && S_ISLNK(l.st_mode)) {
      if (char *real = realpath(to.c_str(), nullptr)) {
        target = real;
        free(real);
      }
    }
    ok = CopyReplacing(in, from, target, exists ? &dst : nullptr, bytes, err);
  }
  close(in);
  return ok;
}

}  // namespace vrec
