// One command's round trip on a drive folder: lock, state, dispatch, save, log.
//
// The state is shared between processes through the drive folder, under an
// exclusive flock. To keep a command cheap, each process keeps the drive's
// last state in memory with its open files, and rereads the settings only
// when another process (or a person) changed them. Every save, by any process,
// counts up the folder's `generation` file; a different count, or a settings
// file whose identity (inode, size, times) changed, means "reread".
#include "VDrive.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrec {

namespace {

constexpr off_t kLogRotateBytes = 16 * 1024 * 1024;

struct TFileId {
  dev_t Dev = 0;
  ino_t Ino = 0;
  off_t Size = -1;
  timespec Mtime{}, Ctime{};
  bool operator==(const TFileId &o) const {
    return Dev == o.Dev && Ino == o.Ino && Size == o.Size && Mtime.tv_sec == o.Mtime.tv_sec &&
           Mtime.tv_nsec == o.Mtime.tv_nsec && Ctime.tv_sec == o.Ctime.tv_sec && Ctime.tv_nsec == o.Ctime.tv_nsec;
  }
};

TFileId IdOf(const struct stat &st) {
  return TFileId{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

void CloseFd(int &fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

// What this process knows of one drive folder. Guarded by TCaches::Mu.
struct TEntry {
  std::string Dir;
  int DirFd = -1, GenFd = -1, SettingsFd = -1, DataFd = -1, LogFd = -1;
  pid_t Pid = 0;  // the process that opened them
  dev_t DirDev = 0;
  ino_t DirIno = 0;
  bool Valid = false;  // State, Gen and Settings describe the files
  uint64_t Gen = 0;
  unsigned LogLines = 0;
  TFileId Settings;
  TDrive State;

  ~TEntry() { Drop(true); }

  void Drop(bool withDir) {
    Valid = false;
    CloseFd(GenFd);
    CloseFd(SettingsFd);
    CloseFd(DataFd);
    CloseFd(LogFd);
    if (withDir)
      CloseFd(DirFd);
  }

  // Opens the folder (again when it was removed and made anew).
  bool OpenDir() {
    struct stat st{};
    if (stat(Dir.c_str(), &st) != 0)
      return false;
    if (DirFd >= 0 && (st.st_dev != DirDev || st.st_ino != DirIno))
      Drop(true);
    if (DirFd < 0) {
      DirFd = open(Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (DirFd < 0)
        return false;
      DirDev = st.st_dev;
      DirIno = st.st_ino;
    }
    return true;
  }

  uint64_t ReadGen() {
    if (GenFd < 0)
      GenFd = openat(DirFd, "generation", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    uint64_t g = 0;
    if (GenFd < 0 || pread(GenFd, &g, sizeof g, 0) != ssize_t(sizeof g))
      return 0;
    return g;
  }

  // Under the lock the count cannot have moved since Refresh read it.
  void BumpGen() {
    ++Gen;
    if (GenFd >= 0 && pwrite(GenFd, &Gen, sizeof Gen, 0) != ssize_t(sizeof Gen))
      Valid = false;
  }
};

struct TCaches {
  std::mutex Mu;
  std::map<std::string, std::unique_ptr<TEntry>> Entries;
};

// Made on first use and deleted by CloseCommandCaches once the worker thread
// has stopped, not with the library's other statics: the worker may still run
// a command while they are torn down.
std::atomic<TCaches *> gCaches{nullptr};

TCaches &Caches() {
  TCaches *c = gCaches.load(std::memory_order_acquire);
  if (c)
    return *c;
  auto fresh = std::make_unique<TCaches>();
  if (gCaches.compare_exchange_strong(c, fresh.get(), std::memory_order_acq_rel))
    return *fresh.release();
  return *c;  // another thread made it first
}

void BumpGenerationFile(const std::string &dir) {
  const int fd = open((dir + "/generation").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  uint64_t g = 0;
  if (pread(fd, &g, sizeof g, 0) != ssize_t(sizeof g))
    g = 0;
  ++g;
  if (pwrite(fd, &g, sizeof g, 0) != ssize_t(sizeof g)) {
    // a reader then rereads on the settings file's own change
  }
  close(fd);
}

// Brings e.State up to date with the files; false when they cannot be read.
bool Refresh(TEntry &e) {
  const uint64_t gen = e.ReadGen();
  struct stat st{};
  if (fstatat(e.DirFd, "settings", &st, 0) != 0)
    return false;
  if (e.Valid && gen == e.Gen && IdOf(st) == e.Settings)
    return true;
  std::string err;
  TDrive d;
  if (!LoadDrive(e.Dir, d, err))
    return false;
  // Another process may have replaced any of the files: open them anew.
  e.Drop(false);
  e.GenFd = openat(e.DirFd, "generation", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  e.SettingsFd = openat(e.DirFd, "settings", O_RDWR | O_CLOEXEC);
  e.DataFd = openat(e.DirFd, "data.img", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  e.LogFd = openat(e.DirFd, "commands.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  struct stat now{};
  if (e.SettingsFd < 0 || fstat(e.SettingsFd, &now) != 0)
    return false;
  e.State = std::move(d);
  e.Gen = e.ReadGen();
  e.Settings = IdOf(now);
  e.Valid = true;
  return true;
}

// Writes the state over the settings file in place (the lock keeps readers
// out meanwhile), and tells the other processes.
void Store(TEntry &e, const TDrive &d) {
  const std::string text = SerializeDrive(d);
  bool ok = e.SettingsFd >= 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = pwrite(e.SettingsFd, text.data() + done, text.size() - done, off_t(done));
    if (n < 0 && errno == EINTR)
      continue;
    ok = n > 0;
    if (ok)
      done += size_t(n);
  }
  ok = ok && (off_t(text.size()) >= e.Settings.Size || ftruncate(e.SettingsFd, off_t(text.size())) == 0);
  if (!ok) {
    std::string err;
    SaveDrive(d, err);  // the whole-file path; the next command rereads
    e.Valid = false;
    return;
  }
  struct stat st{};
  e.BumpGen();
  if (fstat(e.SettingsFd, &st) != 0) {
    e.Valid = false;
    return;
  }
  e.Settings = IdOf(st);
  e.State = d;
}

void AppendLog(TEntry &e, const uint8_t *cdb, int cdbLen, int dataDir, const uint8_t *buf, uint32_t len,
               const TResult &r) {
  char line[512];
  const double now = NowSeconds();
  const time_t secs = time_t(now);
  tm t{};
  gmtime_r(&secs, &t);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, int((now - double(secs)) * 1000) % 1000);
  char hex[40] = {};
  for (int i = 0; i < cdbLen && i < 16; ++i)
    std::snprintf(hex + 2 * i, 3, "%02X", cdb[i]);
  const char *status = r.Pending ? "PENDING"
                       : r.HaStat ? "HOST-ERROR"
                       : r.TargStat == 0 ? "GOOD"
                       : r.TargStat == 8 ? "BUSY"
                                          : "CHECK";
  // The parameter list of MODE SELECT is short and says what the host asked for.
  char data[6 + 2 * 128 + 1] = {};
  if (cdb[0] == 0x55 && dataDir == 2 && buf) {
    const uint32_t n = std::min<uint32_t>({len, (uint32_t(cdb[7]) << 8) | cdb[8], 128});
    std::memcpy(data, " data=", 6);
    for (uint32_t i = 0; i < n; ++i)
      std::snprintf(data + 6 + 2 * i, 3, "%02X", buf[i]);
  }
  const int n = std::snprintf(line, sizeof line,
                              "%s pid=%d cmd=%s cdb=%s dir=%s len=%u status=%s sense=%02X/%02X/%02X%s\n", stamp,
                              int(getpid()), CommandName(cdb[0]), hex,
                              dataDir == 1 ? "in" : dataDir == 2 ? "out" : "none", len, status, r.Key, r.Asc, r.Ascq,
                              data);
  // The size is looked at every 64 lines: a line is short, the limit is large.
  struct stat st{};
  if (e.LogFd >= 0 && ++e.LogLines % 64 == 0 && fstat(e.LogFd, &st) == 0 && st.st_size > kLogRotateBytes) {
    const std::string path = LogPath(e.Dir);
    std::rename(path.c_str(), (path + ".1").c_str());
    CloseFd(e.LogFd);
    e.LogFd = openat(e.DirFd, "commands.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    e.BumpGen();  // the others' log descriptors now name the old file
  }
  if (e.LogFd >= 0 && write(e.LogFd, line, size_t(std::clamp(n, 0, int(sizeof line) - 1))) < 0) {
    // the log is best effort; the command result stands
  }
}

}  // namespace

void DriveFilesChanged(const std::string &dir) { BumpGenerationFile(dir); }

void CloseCommandCaches() {
  delete gCaches.exchange(nullptr, std::memory_order_acq_rel);
}

TResult ExecuteCommand(const std::string &driveDir, const uint8_t *cdb, int cdbLen, int dataDir, uint8_t *buf,
                       uint32_t len) {
  TResult result;
  {
    TCaches &caches = Caches();
    std::lock_guard<std::mutex> lk(caches.Mu);
    std::unique_ptr<TEntry> &slot = caches.Entries[driveDir];
    if (!slot) {
      slot = std::make_unique<TEntry>();
      slot->Dir = driveDir;
    }
    TEntry &e = *slot;
    // A forked child shares its parent's open files, and with them the
    // folder's flock: it opens its own.
    if (e.Pid != getpid()) {
      e.Drop(true);
      e.Pid = getpid();
    }
    const bool opened = e.OpenDir();
    int locked = -1;
    if (opened) {
      do
        locked = flock(e.DirFd, LOCK_EX);
      while (locked != 0 && errno == EINTR);
    }
    if (locked != 0 || !Refresh(e)) {
      if (locked == 0)
        flock(e.DirFd, LOCK_UN);
      e.Drop(true);
      result.TargStat = 2;
      result.Key = 4;
      result.Asc = 0x44;  // internal target failure: the drive's files are unusable
      return result;
    }
    TDrive d = e.State;
    d.DataFd = e.DataFd;
    TCmd c{d, cdb, dataDir, buf, len, false, TResult{}};
    Dispatch(c);
    if (c.Changed)
      Store(e, d);
    AppendLog(e, cdb, cdbLen, dataDir, buf, len, c.R);
    flock(e.DirFd, LOCK_UN);
    result = c.R;
  }
  if (!(result.Delay > 0) || !std::isfinite(result.Delay))
    result.Delay = 0;
  result.Delay = std::min(result.Delay, 3600.0);
  return result;
}

}  // namespace vrec
