#include "ovImageTarget.h"

#include "ovWrite.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FolderOf(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

} // namespace

TImageTarget::~TImageTarget() {
  if (!committed_)
    Discard();
  Release();
}

bool TImageTarget::Refuse(const std::string &Reason) {
  error_ = "CAN'T CREATE FILE \"" + path_ + "\" [" + Reason + "]";
  return false;
}

bool TImageTarget::Open(const std::string &Path) {
  path_ = Path;
  busy_ = false;
  struct stat st {};
  if (NameOf(Path).empty() || NameOf(Path) == "." || NameOf(Path) == "..")
    return Refuse("no file name given");
  // A link to an image: the image it names is replaced, the link stays.
  if (::lstat(Path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char *real = ::realpath(Path.c_str(), nullptr);
    if (!real)
      return Refuse(Path + " is a link to nothing");
    path_ = real;
    std::free(real);
  }
  folder_ = FolderOf(path_);
  if (::stat(folder_.c_str(), &st) != 0)
    return Refuse(errno == ENOENT ? "the folder " + folder_ + " does not exist"
                                  : "the folder " + folder_ + ": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode))
    return Refuse(folder_ + " is not a folder");
  if (::access(folder_.c_str(), W_OK | X_OK) != 0)
    return Refuse("no permission to write in the folder " + folder_);

  // The lock sits on the target file. If the path moves to another file
  // between the open and the lock (a build that just finished renamed its
  // image over it), the lock is taken again on the new file.
  for (int attempt = 0; attempt < 100; ++attempt) {
    bool created = false;
    // No blocking on a FIFO: it is refused below.
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno == EEXIST)
        continue;
      created = fd >= 0;
    }
    if (fd < 0)
      return Refuse(std::strerror(errno));
    struct stat fst {};
    if (::fstat(fd, &fst) != 0) {
      const int err = errno;
      ::close(fd);
      return Refuse(std::strerror(err));
    }
    if (S_ISDIR(fst.st_mode)) {
      ::close(fd);
      return Refuse(path_ + " is an existing folder");
    }
    if (!S_ISREG(fst.st_mode)) {
      ::close(fd);
      return Refuse(path_ + " is not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL) {
      const int err = errno;
      ::close(fd);
      if (created)
        ::unlink(path_.c_str());
      if (err == EWOULDBLOCK) {
        busy_ = true;
        error_ = "another build is writing " + path_;
        return false;
      }
      return Refuse(std::strerror(err));
    }
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0 || !SameFile(now, fst)) {
      ::close(fd);
      continue;
    }
    lockFd_ = fd;
    dev_ = fst.st_dev;
    ino_ = fst.st_ino;
    mode_ = fst.st_mode & 07777;
    createdTarget_ = created;
    return true;
  }
  return Refuse("the file keeps changing");
}

bool TImageTarget::CreateTemp() {
  std::random_device rd;
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int i = 0; i < 8; ++i)
      suffix += kDigits[rd() % (sizeof kDigits - 1)];
    const std::string temp = folder_ + "/." + NameOf(path_) + "." + suffix + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST)
      continue;
    if (fd < 0)
      return Refuse(std::strerror(errno));
    tempPath_ = temp;
    // The new image keeps the permissions of the one it replaces.
    if (!createdTarget_)
      (void)::fchmod(fd, mode_);
    ::close(fd);
    return true;
  }
  return Refuse("no free temporary name in " + folder_);
}

bool TImageTarget::Commit() {
  if (tempPath_.empty() || ::rename(tempPath_.c_str(), path_.c_str()) != 0) {
    error_ = CantWriteFileText(path_, tempPath_.empty() ? ENOENT : errno);
    return false;
  }
  tempPath_.clear();
  committed_ = true;
  // The new name is on the disk only once the folder is.
  const int dfd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  Release();
  return true;
}

void TImageTarget::Discard() {
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
  // The empty stand-in goes only while it is still the one this run made.
  struct stat st {};
  if (createdTarget_ && !committed_ && lockFd_ >= 0 && ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ &&
      st.st_ino == ino_ && st.st_size == 0)
    ::unlink(path_.c_str());
  createdTarget_ = false;
  Release();
}

void TImageTarget::Release() {
  if (lockFd_ >= 0)
    ::close(lockFd_);
  lockFd_ = -1;
}
