// One command's round trip on a drive folder: lock, state, dispatch, save, log.
//
// The state is shared between processes through the drive folder, under an
// exclusive flock. To keep a command cheap, each process keeps the drive's
// last state in memory with its open files, and rereads the settings only
// when another process (or a person) changed them. Every save, by any process,
// counts up the folder's `generation` file; a different count, or a settings
// file whose identity (inode, size, times) changed, means "reread". Changes
// made outside the count (a person editing or replacing the settings, a
// drive folder removed) are noticed through inotify, so the files need not
// be looked at with stat for every command.
#include "VDrive.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
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

struct TEntry;

// One inotify instance per process: on each drive folder a watch for entries
// made, removed or renamed and for the folder itself going, and one on its
// settings file for writes, truncation and unlinking. An event sends the
// entry back to looking at the files with stat. Reading the empty queue is
// one system call where the stat checks took two path lookups per command.
// Without inotify every command looks at the files.
struct TWatcher {
  int Fd = -1;
  pid_t Pid = 0;
  std::map<int, TEntry *> Owners;  // watch descriptor -> its entry

  ~TWatcher() {
    if (Fd >= 0)
      close(Fd);
  }
  // Makes the instance of this process (a forked child must not share its
  // parent's queue); entries then start without watches.
  void Open(pid_t pid, std::map<std::string, std::unique_ptr<TEntry>> &entries);
  // Adds a watch for e; -1 when not possible (or the file is watched for
  // another entry already).
  int Add(TEntry &e, const std::string &path, uint32_t mask);
  void Remove(int wd);
  // Applies the queued events. With self, its own settings writes are
  // skipped (they were just made under the lock).
  void Drain(const TEntry *self);
};

constexpr uint32_t kDirEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR;
constexpr uint32_t kSettingsEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// What this process knows of one drive folder. Guarded by TCaches::Mu.
struct TEntry {
  std::string Dir;
  int DirFd = -1, GenFd = -1, SettingsFd = -1, DataFd = -1, LogFd = -1;
  uint64_t *GenMap = nullptr;  // the generation file, mapped shared
  int DirWatch = -1, SettingsWatch = -1;
  // Both watches are in place and no event came since the files were last
  // looked at: only the generation count can tell of a change.
  bool Watched = false;
  pid_t Pid = 0;  // the process that opened them
  dev_t DirDev = 0;
  ino_t DirIno = 0;
  bool Valid = false;  // State, Gen and Settings describe the files
  uint64_t Gen = 0;
  unsigned LogLines = 0;
  time_t StampSecs = -1;  // the log's date and time of this second, in Stamp
  char Stamp[80] = {};
  TFileId Settings;
  TDrive State;
  TDrive Work;  // the copy a command changes

  ~TEntry() { Drop(true); }

  void Drop(bool withDir) {
    Valid = false;
    Watched = false;
    if (GenMap)
      munmap(GenMap, sizeof *GenMap);
    GenMap = nullptr;
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

  // The count is read and written through a shared mapping: a load and a
  // store instead of two system calls per command. Other processes' pread
  // and pwrite of the file see the same page.
  bool OpenGen() {
    if (GenFd < 0)
      GenFd = openat(DirFd, "generation", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (GenFd < 0)
      return false;
    if (!GenMap) {
      struct stat st{};
      if (fstat(GenFd, &st) == 0 && (st.st_size >= off_t(sizeof *GenMap) || ftruncate(GenFd, sizeof *GenMap) == 0)) {
        void *m = mmap(nullptr, sizeof *GenMap, PROT_READ | PROT_WRITE, MAP_SHARED, GenFd, 0);
        if (m != MAP_FAILED)
          GenMap = static_cast<uint64_t *>(m);
      }
    }
    return true;
  }

  uint64_t ReadGen() {
    if (!OpenGen())
      return 0;
    if (GenMap)
      return __atomic_load_n(GenMap, __ATOMIC_ACQUIRE);
    uint64_t g = 0;
    if (pread(GenFd, &g, sizeof g, 0) != ssize_t(sizeof g))
      return 0;
    return g;
  }

  // Under the lock the count cannot have moved since Refresh read it.
  void BumpGen() {
    ++Gen;
    if (GenMap)
      __atomic_store_n(GenMap, Gen, __ATOMIC_RELEASE);
    else if (GenFd < 0 || pwrite(GenFd, &Gen, sizeof Gen, 0) != ssize_t(sizeof Gen))
      Valid = false;
  }
};

struct TCaches {
  std::mutex Mu;
  std::map<std::string, std::unique_ptr<TEntry>> Entries;
  TWatcher Watch;  // declared last: it goes first, before the entries it names
};

void TWatcher::Open(pid_t pid, std::map<std::string, std::unique_ptr<TEntry>> &entries) {
  if (Fd >= 0)
    close(Fd);
  Fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  Pid = pid;
  Owners.clear();
  for (auto &[dir, e] : entries) {
    e->DirWatch = e->SettingsWatch = -1;
    e->Watched = false;
  }
}

int TWatcher::Add(TEntry &e, const std::string &path, uint32_t mask) {
  if (Fd < 0)
    return -1;
  const int wd = inotify_add_watch(Fd, path.c_str(), mask);
  if (wd < 0)
    return -1;
  TEntry *&owner = Owners[wd];
  if (owner && owner != &e)
    return -1;
  owner = &e;
  return wd;
}

void TWatcher::Remove(int wd) {
  if (wd >= 0 && Owners.erase(wd))
    inotify_rm_watch(Fd, wd);
}

void TWatcher::Drain(const TEntry *self) {
  if (Fd < 0)
    return;
  ReadInotify(Fd, [&](const inotify_event &ev) {
    if (ev.mask & IN_Q_OVERFLOW) {
      for (auto &[wd, owner] : Owners)
        owner->Watched = false;
      return;
    }
    const auto it = Owners.find(ev.wd);
    if (it == Owners.end())
      return;
    TEntry &e = *it->second;
    if (&e == self && ev.wd == e.SettingsWatch && ev.mask == IN_MODIFY)
      return;
    e.Watched = false;
    if (ev.mask & IN_IGNORED) {
      if (e.DirWatch == ev.wd)
        e.DirWatch = -1;
      if (e.SettingsWatch == ev.wd)
        e.SettingsWatch = -1;
      Owners.erase(it);
    }
  });
}

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

// Watches e's folder and settings file, now that they were looked at.
void Watch(TWatcher &w, TEntry &e) {
  if (e.DirWatch < 0)
    e.DirWatch = w.Add(e, e.Dir, kDirEvents);
  const int wd = w.Add(e, e.Dir + "/settings", kSettingsEvents);
  if (wd != e.SettingsWatch)
    w.Remove(e.SettingsWatch);
  e.SettingsWatch = wd;
  e.Watched = e.DirWatch >= 0 && e.SettingsWatch >= 0;
}

// Brings e.State up to date with the files; false when they cannot be read.
bool Refresh(TWatcher &w, TEntry &e) {
  const uint64_t gen = e.ReadGen();
  if (e.Watched) {
    if (e.Valid && gen == e.Gen)
      return true;
  } else {
    struct stat st{};
    if (fstatat(e.DirFd, "settings", &st, 0) != 0)
      return false;
    if (e.Valid && gen == e.Gen && IdOf(st) == e.Settings) {
      Watch(w, e);
      return true;
    }
  }
  std::string err;
  TDrive d;
  if (!LoadDrive(e.Dir, d, err))
    return false;
  // Another process may have replaced any of the files: open them anew.
  e.Drop(false);
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
  Watch(w, e);
  return true;
}

// Writes the state over the settings file in place (the lock keeps readers
// out meanwhile), and tells the other processes.
void Store(TWatcher &w, TEntry &e, TDrive &d) {
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
  e.BumpGen();
  std::swap(e.State, d);
  if (e.Watched) {
    // The file now holds exactly the text; the events of these writes are ours.
    e.Settings.Size = off_t(text.size());
    w.Drain(&e);
    return;
  }
  struct stat st{};
  if (fstat(e.SettingsFd, &st) != 0) {
    e.Valid = false;
    return;
  }
  e.Settings = IdOf(st);
}

// Appends decimal v to p, at least `width` digits.
char *PutNumber(char *p, uint64_t v, int width = 1) {
  char b[24];
  int n = 0;
  do {
    b[n++] = char('0' + v % 10);
    v /= 10;
  } while (v || n < width);
  while (n)
    *p++ = b[--n];
  return p;
}

char *PutText(char *p, const char *t) {
  while (*t)
    *p++ = *t++;
  return p;
}

char *PutHexByte(char *p, uint8_t v) {
  static const char digits[] = "0123456789ABCDEF";
  *p++ = digits[v >> 4];
  *p++ = digits[v & 15];
  return p;
}

// "2026-12-08T07:47:17." for the second of `secs`; the date part is made
// once per second (a burn logs thousands of commands in one).
const char *StampPrefix(TEntry &e, time_t secs) {
  if (secs != e.StampSecs) {
    tm t{};
    gmtime_r(&secs, &t);
    std::snprintf(e.Stamp, sizeof e.Stamp, "%04d-%02d-%02dT%02d:%02d:%02d.", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    e.StampSecs = secs;
  }
  return e.Stamp;
}

void AppendLog(TEntry &e, const uint8_t *cdb, int cdbLen, int dataDir, const uint8_t *buf, uint32_t len,
               const TResult &r) {
  // One line per command, built by hand: it is written for every WRITE(10)
  // of a burn. The parameter list of MODE SELECT is short and says what the
  // host asked for, so it is logged too.
  char line[512];
  char *p = line;
  const double now = NowSeconds();
  const time_t secs = time_t(now);
  p = PutText(p, StampPrefix(e, secs));
  p = PutNumber(p, uint64_t(int((now - double(secs)) * 1000) % 1000), 3);
  p = PutText(p, "Z pid=");
  p = PutNumber(p, uint64_t(e.Pid));
  p = PutText(p, " cmd=");
  p = PutText(p, CommandName(cdb[0]));
  p = PutText(p, " cdb=");
  for (int i = 0; i < cdbLen && i < 16; ++i)
    p = PutHexByte(p, cdb[i]);
  p = PutText(p, dataDir == 1 ? " dir=in" : dataDir == 2 ? " dir=out" : " dir=none");
  p = PutText(p, " len=");
  p = PutNumber(p, len);
  p = PutText(p, r.Pending ? " status=PENDING"
                 : r.HaStat ? " status=HOST-ERROR"
                 : r.TargStat == 0 ? " status=GOOD"
                 : r.TargStat == 8 ? " status=BUSY"
                                    : " status=CHECK");
  p = PutText(p, " sense=");
  p = PutHexByte(p, r.Key);
  *p++ = '/';
  p = PutHexByte(p, r.Asc);
  *p++ = '/';
  p = PutHexByte(p, r.Ascq);
  if (cdb[0] == 0x55 && dataDir == 2 && buf) {
    const uint32_t n = std::min<uint32_t>({len, (uint32_t(cdb[7]) << 8) | cdb[8], 128});
    p = PutText(p, " data=");
    for (uint32_t i = 0; i < n; ++i)
      p = PutHexByte(p, buf[i]);
  }
  *p++ = '\n';
  // The size is looked at every 64 lines: a line is short, the limit is large.
  struct stat st{};
  if (e.LogFd >= 0 && ++e.LogLines % 64 == 0 && fstat(e.LogFd, &st) == 0 && st.st_size > kLogRotateBytes) {
    const std::string path = LogPath(e.Dir);
    std::rename(path.c_str(), (path + ".1").c_str());
    CloseFd(e.LogFd);
    e.LogFd = openat(e.DirFd, "commands.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    e.BumpGen();  // the others' log descriptors now name the old file
  }
  if (e.LogFd >= 0 && write(e.LogFd, line, size_t(p - line)) < 0) {
    // the log is best effort; the command result stands
  }
}

}  // namespace

bool ReadInotify(int fd, const std::function<void(const inotify_event &)> &each) {
  alignas(inotify_event) char buf[4096];
  bool any = false;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
      return any;
    any = true;
    // A read that left room for more took the whole queue (a later event
    // is read by the next command).
    const bool more = n > ssize_t(sizeof buf - sizeof(inotify_event) - NAME_MAX - 1);
    for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
      const auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
      at += ssize_t(sizeof(inotify_event) + ev->len);
      each(*ev);
    }
    if (!more)
      return any;
  }
}

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
    TWatcher &w = caches.Watch;
    // A forked child shares its parent's open files, and with them the
    // folder's flock and the inotify queue: it opens its own.
    const pid_t pid = ProcessId();
    if (w.Pid != pid)
      w.Open(pid, caches.Entries);
    if (e.Pid != pid) {
      e.Drop(true);
      e.Pid = pid;
    }
    // Takes the folder's lock, then the events of whoever held it before:
    // when they say the folder changed, it is looked at (and locked) anew.
    int locked = -1;
    for (int pass = 0; pass < 2; ++pass) {
      const bool watched = e.Watched;
      if (!(watched && e.DirFd >= 0) && !e.OpenDir())
        break;
      do
        locked = flock(e.DirFd, LOCK_EX);
      while (locked != 0 && errno == EINTR);
      if (locked != 0)
        break;
      w.Drain(nullptr);
      if (!watched || e.Watched)
        break;
      flock(e.DirFd, LOCK_UN);
      locked = -1;
    }
    if (locked != 0 || !Refresh(w, e)) {
      if (locked == 0)
        flock(e.DirFd, LOCK_UN);
      e.Drop(true);
      result.TargStat = 2;
      result.Key = 4;
      result.Asc = 0x44;  // internal target failure: the drive's files are unusable
      return result;
    }
    // The command works on a copy, kept when it changed the state. The copy
    // is assigned into the same object each time, which reuses its strings'
    // and containers' memory instead of allocating them all anew.
    TDrive &d = e.Work;
    d = e.State;
    d.DataFd = e.DataFd;
    TCmd c{d, cdb, dataDir, buf, len, false, TResult{}};
    Dispatch(c);
    if (c.Changed)
      Store(w, e, d);
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
