#include "ovSourceFile.h"

#include <algorithm>
#include <cerrno>
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

int64_t KernelCopy(int In, int Out, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(Count - done, 1 << 30));
    const ssize_t n = ::copy_file_range(In, nullptr, Out, nullptr, want, 0);
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    // 0 is the end of In for a regular file, but some file systems answer
    // 0 for what they cannot copy: reads tell the two apart.
    break;
  }
  return done;
}
