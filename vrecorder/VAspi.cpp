// The ASPI entry points of libwnaspi32.so over the virtual drives. A request
// runs in the caller's thread: one that takes no time completes before the
// call returns, which keeps a stream of WRITE(10)s free of thread hand-offs.
// A request posted with SRB_EVENT_NOTIFY whose command takes time (a flush,
// a calibration) returns pending, and a worker thread completes it once that
// time has passed, signalling the SRB's eventfd; without the flag the call
// waits the time itself. The worker is joined when the library is unloaded.
#include "VDrive.h"
#include "wnaspi32.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#define VREC_EXPORT extern "C" __attribute__((visibility("default")))

namespace vrec {
namespace {

void SetStatus(SRB_ExecSCSICmd *s, uint8_t status) { __atomic_store_n(&s->SRB_Status, status, __ATOMIC_RELEASE); }

// Signals and closes the layer's own duplicate of a request's eventfd. The
// duplicate is taken while the caller's descriptor is surely open, so a caller
// that closes its descriptor early never gets a write into a reused number.
void Signal(int fd) {
  if (fd < 0)
    return;
  const uint64_t one = 1;
  ssize_t n;
  do
    n = write(fd, &one, sizeof one);
  while (n < 0 && errno == EINTR);
  close(fd);
}

struct TJob {
  SRB_ExecSCSICmd *Srb;
  int Fd;  // duplicate of SRB_PostProc, or -1
  std::chrono::steady_clock::time_point Due{};  // when a delayed request completes
  uint8_t Status = 0;                           // ... and its status then
};

// Data direction of a request: the flags, or the command when neither is set.
int DataDirection(const SRB_ExecSCSICmd *s) {
  if (s->SRB_Flags & SRB_DIR_IN)
    return 1;
  if (s->SRB_Flags & SRB_DIR_OUT)
    return 2;
  if (!s->SRB_BufLen || !s->SRB_BufPointer)
    return 0;
  switch (s->CDBByte[0]) {
  case 0x2A: case 0x55: case 0x04: case 0xB6: case 0xBF: case 0x54:
    return 2;
  default:
    return 1;
  }
}

class TAspi {
public:
  ~TAspi() {
    {
      std::unique_lock<std::mutex> lk(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable())
      worker_.join();
    if (notify_ >= 0)
      close(notify_);
    CloseCommandCaches();
    // Nothing may wait on a request of an unloaded layer: abort what is left.
    for (TJob &j : delayed_)
      Finish(j, SS_ABORTED);
    for (TJob &j : stalled_)
      Finish(j, SS_ABORTED);
  }

  // Rereads the drive folder; returns the number of adapters that hold drives.
  unsigned Rescan() {
    std::unique_lock<std::mutex> lk(mu_);
    RescanLocked();
    return Adapters();
  }

  // The drive at an address. The folder is reread when it changed since the
  // last scan (a drive added or removed by any process); the other drives keep
  // their addresses, so a caller's selection stays valid.
  bool Resolve(uint8_t ha, uint8_t target, uint8_t lun, std::string *dir, std::string *name) {
    std::unique_lock<std::mutex> lk(mu_);
    RefreshLocked();
    if (lun != 0 || ha >= kMaxAdapters || target >= kTargetsPerAdapter)
      return false;
    const auto it = slots_.find(ha * kTargetsPerAdapter + target);
    if (it == slots_.end())
      return false;
    if (dir)
      *dir = folder_ + "/" + it->second;
    if (name)
      *name = it->second;
    return true;
  }

  uint32_t Exec(SRB_ExecSCSICmd *s) {
    std::string dir;
    if (!Resolve(s->SRB_HaId, s->SRB_Target, s->SRB_Lun, &dir, nullptr)) {
      SetStatus(s, SS_NO_DEVICE);
      return SS_NO_DEVICE;
    }
    if (s->SRB_CDBLen == 0 || s->SRB_CDBLen > 16 || (s->SRB_BufLen && !s->SRB_BufPointer)) {
      SetStatus(s, SS_INVALID_SRB);
      return SS_INVALID_SRB;
    }
    SetStatus(s, SS_PENDING);
    s->SRB_HaStat = 0;
    s->SRB_TargStat = 0;
    {
      std::unique_lock<std::mutex> lk(mu_);
      running_.insert(s);
    }
    uint8_t status = 0;
    double delay = 0;
    const bool done = Run(s, dir, status, delay);
    std::unique_lock<std::mutex> lk(mu_);
    running_.erase(running_.find(s));
    done_.notify_all();
    if (!done) {
      stalled_.push_back(Waiting(s));
      return SS_PENDING;
    }
    if (delay > 0 && (s->SRB_Flags & SRB_EVENT_NOTIFY)) {
      const auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(delay));
      delayed_.push_back(Waiting(s, std::chrono::steady_clock::now() + wait, status));
      if (!worker_.joinable())
        worker_ = std::thread([this] { Work(); });
      cv_.notify_all();
      return SS_PENDING;
    }
    lk.unlock();
    if (delay > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    SetStatus(s, status);
    return status;
  }

  uint32_t Abort(SRB_ExecSCSICmd *target) {
    std::unique_lock<std::mutex> lk(mu_);
    // A request being executed is finished rather than cut off; after this
    // call the layer no longer touches it either way.
    done_.wait(lk, [&] { return !running_.count(target); });
    for (auto *list : {&delayed_, &stalled_})
      for (auto it = list->begin(); it != list->end(); ++it)
        if (it->Srb == target) {
          TJob j = *it;
          list->erase(it);
          Finish(j, SS_ABORTED);
          return SS_COMP;
        }
    return SS_ABORT_FAIL;
  }

private:
  // Identifies a state of the folder: its modification time changes when a
  // drive folder is created, removed or renamed.
  struct TStamp {
    ino_t Ino = 0;
    timespec Mtime{};
    bool operator==(const TStamp &o) const {
      return Ino == o.Ino && Mtime.tv_sec == o.Mtime.tv_sec && Mtime.tv_nsec == o.Mtime.tv_nsec;
    }
  };
  static TStamp FolderStamp(const std::string &folder) {
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0)
      return TStamp{};
    return TStamp{st.st_ino, st.st_mtim};
  }

  void RescanLocked() {
    folder_ = DrivesFolderPath();
    std::string err;
    EnsureDrivesFolder(err);
    WatchFolder();
    stamp_ = FolderStamp(folder_);
    slots_.clear();
    for (const TDriveSlot &s : DriveSlots(folder_))
      slots_[s.Slot] = s.Name;
  }

  unsigned Adapters() const { return slots_.empty() ? 0 : unsigned(slots_.rbegin()->first / kTargetsPerAdapter) + 1; }

  void RefreshLocked() {
    const bool watched = watch_ >= 0 && notifyPid_ == ProcessId();
    if (folder_ != DrivesFolderPath() || (watched ? FolderEvents() : !(FolderStamp(folder_) == stamp_)))
      RescanLocked();
  }

  // Drives made, removed or renamed in the folder are seen through inotify:
  // an empty queue costs one read where a stat of the folder's path cost a
  // path lookup per command. Without it the folder's stamp is compared.
  void WatchFolder() {
    const pid_t pid = ProcessId();
    if (notifyPid_ != pid) {
      // A forked child must not share its parent's queue.
      if (notify_ >= 0)
        close(notify_);
      notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      notifyPid_ = pid;
      watch_ = -1;
    }
    if (notify_ < 0)
      return;
    if (watch_ >= 0 && watched_ != folder_) {
      inotify_rm_watch(notify_, watch_);
      watch_ = -1;
    }
    if (watch_ < 0) {
      watch_ = inotify_add_watch(notify_, folder_.c_str(),
                                 IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR);
      watched_ = folder_;
    }
    FolderEvents();  // what is queued now is seen by the scan that follows
  }

  // True when an event came since the last look; drains the queue.
  bool FolderEvents() {
    return ReadInotify(notify_, [&](const inotify_event &ev) {
      if ((ev.mask & IN_IGNORED) && ev.wd == watch_)
        watch_ = -1;  // the folder went: watched anew by the rescan
    });
  }

  static void Finish(TJob &j, uint8_t status) {
    SetStatus(j.Srb, status);  // the request belongs to the caller from here on
    Signal(j.Fd);
  }

  // A request left waiting: its event is duplicated now, while the caller's
  // descriptor is surely open.
  static TJob Waiting(SRB_ExecSCSICmd *s, std::chrono::steady_clock::time_point due = {}, uint8_t status = 0) {
    const bool notify = s->SRB_Flags & SRB_EVENT_NOTIFY;
    const int fd = notify && s->SRB_PostProc >= 0 ? fcntl(int(s->SRB_PostProc), F_DUPFD_CLOEXEC, 3) : -1;
    return TJob{s, fd, due, status};
  }

  // Executes one request and fills its result fields except the status;
  // false when it stays pending (the "pending" fault). Delay: the seconds
  // the command takes before it completes.
  static bool Run(SRB_ExecSCSICmd *s, const std::string &dir, uint8_t &status, double &delay) {
    const int dataDir = DataDirection(s);
    const TResult r = ExecuteCommand(dir, s->CDBByte, s->SRB_CDBLen, dataDir, dataDir ? s->SRB_BufPointer : nullptr,
                                     dataDir ? s->SRB_BufLen : 0);
    if (r.Pending)
      return false;
    s->SRB_HaStat = r.HaStat;
    s->SRB_TargStat = r.TargStat;
    if (r.HaStat)
      std::memset(s->SenseArea, 0, sizeof s->SenseArea);  // a transport failure leaves no sense data
    if (r.TargStat == STATUS_CHKCOND) {
      std::memset(s->SenseArea, 0, sizeof s->SenseArea);
      const int n = std::min<int>(SKARVO_SRB_SENSE_AREA, s->SRB_SenseLen ? s->SRB_SenseLen : 18);
      BuildSense(r, s->SenseArea, n);
    }
    status = (r.HaStat || r.TargStat) ? SS_ERR : SS_COMP;
    delay = r.Delay;
    return true;
  }

  // Completes the delayed requests when their time has come.
  void Work() {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      if (stop_)
        return;
      if (delayed_.empty()) {
        cv_.wait(lk);
        continue;
      }
      auto first = std::min_element(delayed_.begin(), delayed_.end(),
                                    [](const TJob &a, const TJob &b) { return a.Due < b.Due; });
      if (std::chrono::steady_clock::now() < first->Due) {
        cv_.wait_until(lk, first->Due);
        continue;
      }
      TJob j = *first;
      delayed_.erase(first);
      Finish(j, j.Status);
    }
  }

  std::mutex mu_;
  std::condition_variable cv_, done_;
  std::deque<TJob> delayed_;  // executed, completing when their time has passed
  std::deque<TJob> stalled_;  // requests left pending by a fault
  std::multiset<SRB_ExecSCSICmd *> running_;  // being executed by callers
  std::thread worker_;
  bool stop_ = false;
  std::string folder_;
  TStamp stamp_;                     // FolderStamp of folder_ at the last scan
  int notify_ = -1;                  // inotify instance of this process
  pid_t notifyPid_ = 0;
  int watch_ = -1;                   // its watch on watched_
  std::string watched_;
  std::map<int, std::string> slots_;  // slot (adapter * 8 + target) -> drive name
};

TAspi &Aspi() {
  static TAspi aspi;
  return aspi;
}

void PutText(uint8_t *dst, const char *text, size_t width) {
  const size_t n = std::strlen(text);
  for (size_t i = 0; i < width; ++i)
    dst[i] = uint8_t(i < n ? text[i] : ' ');
}

}  // namespace
}  // namespace vrec

using vrec::Aspi;

VREC_EXPORT uint32_t GetASPI32SupportInfo(void) {
  const unsigned n = Aspi().Rescan();
  return n ? (uint32_t(SS_COMP) << 8) | n : (uint32_t(SS_NO_ADAPTERS) << 8);
}

VREC_EXPORT uint32_t SendASPI32Command(void *srb) {
  if (!srb)
    return SS_INVALID_SRB;
  auto *h = static_cast<SRB_Header *>(srb);
  switch (h->SRB_Cmd) {
  case SC_HA_INQUIRY: {
    auto *q = static_cast<SRB_HAInquiry *>(srb);
    const unsigned n = Aspi().Rescan();
    q->HA_Count = uint8_t(n);
    if (q->SRB_HaId >= q->HA_Count) {
      q->SRB_Status = SS_INVALID_HA;
      return SS_INVALID_HA;
    }
    q->HA_SCSI_ID = 7;
    vrec::PutText(q->HA_ManagerId, "SKARVO VRECORDER", 16);
    char ident[16];
    std::snprintf(ident, sizeof ident, "VREC %u", unsigned(q->SRB_HaId));
    vrec::PutText(q->HA_Identifier, ident, 16);
    std::memset(q->HA_Unique, 0, sizeof q->HA_Unique);
    q->HA_Unique[0] = 3;  // buffer alignment mask
    q->HA_Unique[3] = uint8_t(vrec::kTargetsPerAdapter);  // maximum targets
    q->HA_Unique[6] = 0xFF;  // maximum transfer 00FF0000h
    q->SRB_Status = SS_COMP;
    return SS_COMP;
  }
  case SC_GET_DEV_TYPE: {
    auto *g = static_cast<SRB_GDEVBlock *>(srb);
    if (Aspi().Resolve(g->SRB_HaId, g->SRB_Target, g->SRB_Lun, nullptr, nullptr)) {
      g->SRB_DeviceType = 5;
      g->SRB_Status = SS_COMP;
    } else {
      g->SRB_DeviceType = 0x1F;
      g->SRB_Status = SS_NO_DEVICE;
    }
    return g->SRB_Status;
  }
  case SC_EXEC_SCSI_CMD:
    return Aspi().Exec(static_cast<SRB_ExecSCSICmd *>(srb));
  case SC_ABORT_SRB: {
    auto *a = static_cast<SRB_Abort *>(srb);
    const uint32_t st = a->SRB_ToAbort ? Aspi().Abort(static_cast<SRB_ExecSCSICmd *>(a->SRB_ToAbort)) : SS_ABORT_FAIL;
    a->SRB_Status = uint8_t(st);
    return st;
  }
  case SC_RESET_DEV:
    h->SRB_Status = SS_COMP;
    return SS_COMP;
  case SC_GET_DISK_INFO: {
    auto *g = static_cast<SRB_GetDiskInfo *>(srb);
    if (!Aspi().Resolve(g->SRB_HaId, g->SRB_Target, g->SRB_Lun, nullptr, nullptr)) {
      g->SRB_Status = SS_NO_DEVICE;
      return SS_NO_DEVICE;
    }
    g->SRB_DriveFlags = 0;
    // C, D, ... in address order.
    g->SRB_Int13HDriveInfo = uint8_t(std::min(2 + g->SRB_HaId * vrec::kTargetsPerAdapter + g->SRB_Target, 25));
    g->SRB_Status = SS_COMP;
    return SS_COMP;
  }
  default:
    h->SRB_Status = SS_INVALID_CMD;
    return SS_INVALID_CMD;
  }
}

VREC_EXPORT int SkarvoGetDeviceName(uint8_t ha, uint8_t target, uint8_t lun, char *buf, int len) {
  std::string name;
  if (!Aspi().Resolve(ha, target, lun, nullptr, &name))
    return 0;
  if (buf && len > 0) {
    const size_t n = std::min(name.size(), size_t(len - 1));
    std::memcpy(buf, name.data(), n);
    buf[n] = 0;
  }
  return 1;
}
