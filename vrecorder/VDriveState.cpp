// Drive folders, settings files, models and media types of the virtual recorder.
#include "VDrive.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <linux/falloc.h>
#include <fstream>
#include <limits>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrec {

std::span<const TMediaType> MediaTypes() {
  // name, profile, capacity, rom, cd, erasable, sequential.
  // A constant array with nothing to destroy: the worker may still run a
  // command while the library's static objects are torn down at unload.
  static const TMediaType types[] = {
      {"CD-ROM", PROF_CDROM, 0, true, true, false, false},
      {"CD-R", PROF_CDR, 359847, false, true, false, true},
      {"CD-RW", PROF_CDRW, 359847, false, true, true, true},
      {"DVD-ROM", PROF_DVDROM, 0, true, false, false, false},
      {"DVD-R", PROF_DVDR, 2298496, false, false, false, true},
      {"DVD-RW", PROF_DVDRW_SEQ, 2297888, false, false, true, true},
      {"DVD+R", PROF_DVDPR, 2295104, false, false, false, true},
      {"DVD+R-DL", PROF_DVDPR_DL, 4173824, false, false, false, true},
      {"DVD+RW", PROF_DVDPRW, 2295104, false, false, true, false},
      {"DVD-RAM", PROF_DVDRAM, 2236704, false, false, true, false},
      {"BD-ROM", PROF_BDROM, 0, true, false, false, false},
      {"BD-R", PROF_BDR, 12219392, false, false, false, true},
      {"BD-R-DL", PROF_BDR, 24438784, false, false, false, true},
      {"BD-RE", PROF_BDRE, 12219392, false, false, true, false},
      {"BD-RE-DL", PROF_BDRE, 24438784, false, false, true, false},
  };
  return types;
}

const TMediaType *FindMediaType(const std::string &name) {
  std::string n = name;
  for (char &ch : n)
    ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  if (n == "DVD+R DL" || n == "DVD+RDL")
    n = "DVD+R-DL";
  else if (n == "BD-R DL" || n == "BD-RE DL")
    n = n.substr(0, n.size() - 3) + "-DL";
  for (const TMediaType &t : MediaTypes())
    if (n == t.Name)
      return &t;
  return nullptr;
}

static const char *kAllMedia = "CD-ROM CD-R CD-RW DVD-ROM DVD-R DVD-RW DVD+R DVD+R-DL DVD+RW DVD-RAM";
static const char *kAllMediaAndBd =
    "CD-ROM CD-R CD-RW DVD-ROM DVD-R DVD-RW DVD+R DVD+R-DL DVD+RW DVD-RAM BD-ROM BD-R BD-R-DL BD-RE BD-RE-DL";

std::span<const TModel> Models() {
  // Constant, like the media table.
  static const TModel models[] = {
      {"cdrw-writer", "CD-RW SV-5232", "CD-ROM CD-R CD-RW DVD-ROM", "CD-R CD-RW"},
      {"dvd-writer", "DVD+-RW SV-1620", kAllMedia, "CD-R CD-RW DVD-R DVD-RW DVD+R DVD+R-DL DVD+RW DVD-RAM"},
      {"dvd-reader", "DVD-ROM SV-1648", kAllMedia, ""},
      {"bd-writer", "BD-RE SV-BW12", kAllMediaAndBd,
       "CD-R CD-RW DVD-R DVD-RW DVD+R DVD+R-DL DVD+RW DVD-RAM BD-R BD-R-DL BD-RE BD-RE-DL"},
  };
  return models;
}

const TModel *FindModel(const std::string &name) {
  for (const TModel &m : Models())
    if (name == m.Name)
      return &m;
  return nullptr;
}

void InitModel(TDrive &d, const TModel &m) {
  d.Model = m.Name;
  d.Vendor = "SKARVO";
  d.Product = m.Product;
  d.Revision = "1.00";
  d.Reads = Words(m.Reads);
  d.Writes = Words(m.Writes);
  d.Speeds.clear();
  const bool dvdWriter = std::find(d.Writes.begin(), d.Writes.end(), "DVD+R") != d.Writes.end();
  if (dvdWriter) {
    d.ReadSpeedCd = 7056;   // 40x
    d.ReadSpeedDvd = 22160; // 16x
    d.Speeds["CD-R"] = {8467, 7056, 5645, 4234, 2822, 1764};
    d.Speeds["CD-RW"] = {4234, 2822, 1764, 706};
    d.Speeds["DVD-R"] = {22160, 16620, 11080, 8310, 5540};
    d.Speeds["DVD+R"] = {22160, 16620, 11080, 8310, 5540};
    d.Speeds["DVD-RW"] = {8310, 5540, 2770};
    d.Speeds["DVD+RW"] = {11080, 8310, 5540, 3324};
    d.Speeds["DVD+R-DL"] = {11080, 5540, 3324};
    d.Speeds["DVD-RAM"] = {6925, 4155, 2770};
    d.BufferKb = 2048;
    if (std::find(d.Writes.begin(), d.Writes.end(), "BD-R") != d.Writes.end()) {
      // BD 1x is 4,495 kB/s: BD-R 12x down to 2x, BD-RE 2x.
      d.Speeds["BD-R"] = {53940, 44950, 35960, 26970, 17980, 8990};
      d.Speeds["BD-R-DL"] = {35960, 26970, 17980, 8990};
      d.Speeds["BD-RE"] = {8990};
      d.Speeds["BD-RE-DL"] = {8990};
      d.BufferKb = 4096;
    }
  } else if (!d.Writes.empty()) {
    d.ReadSpeedCd = 8467;  // 48x
    d.ReadSpeedDvd = 11080;
    d.Speeds["CD-R"] = {8467, 7056, 5645, 4234, 2822, 1764};
    d.Speeds["CD-RW"] = {5645, 4234, 2822, 1764, 706};
    d.BufferKb = 2048;
  } else {
    d.ReadSpeedCd = 8467;
    d.ReadSpeedDvd = 22160;
    d.BufferKb = 512;
  }
  d.Underrun = !d.Writes.empty();
  d.TestWriteCap = !d.Writes.empty();
  d.WriteParams = DefaultWriteParams();
}

std::vector<uint8_t> DefaultWriteParams() {
  // The default write parameters of a DVD writer: BUFE, LS_V, incremental,
  // multisession 11b, track mode 7, block type 8, link size 16, pause 150.
  std::vector<uint8_t> p(52, 0);
  p[0] = 0x05;
  p[1] = 0x32;
  p[2] = 0x60;
  p[3] = 0xC7;
  p[4] = 0x08;
  p[5] = 0x10;
  p[15] = 0x96;
  return p;
}

// ---- derived state ----

const TMediaType *TDrive::Type() const { return Medium == "none" ? nullptr : FindMediaType(Medium); }

uint16_t TDrive::Profile() const {
  const TMediaType *t = Type();
  if (!t || TrayOpen || !CanRead(t->Name))
    return PROF_NONE;
  if (t->Profile == PROF_DVDRW_SEQ && Formatted)
    return PROF_DVDRW_RO;
  return t->Profile;
}

bool TDrive::CanRead(const std::string &m) const { return std::find(Reads.begin(), Reads.end(), m) != Reads.end(); }
bool TDrive::CanWrite(const std::string &m) const {
  return std::find(Writes.begin(), Writes.end(), m) != Writes.end();
}

bool TDrive::IsOverwritable() const {
  const uint16_t p = Profile();
  return ((p == PROF_DVDPRW || p == PROF_BDRE) && Formatted) || p == PROF_DVDRAM || p == PROF_DVDRW_RO;
}

bool TDrive::IsCd() const {
  const TMediaType *t = Type();
  return t && t->Cd;
}

int TDrive::OpenSession() const { return Finalized ? 0 : ClosedSessions + 1; }

int TDrive::InvisibleTrack() const {
  if (Finalized || Tracks.empty())
    return -1;
  const TTrack &t = Tracks.back();
  if (t.Closed || t.Reserved)
    return -1;
  return static_cast<int>(Tracks.size()) - 1;
}

uint32_t TDrive::RecordedEnd() const {
  if (IsOverwritable())
    return MaxWritten;
  uint32_t end = 0;
  for (const TTrack &t : Tracks)
    if (t.Written)
      end = std::max(end, t.Start + t.Written);
  return end;
}

uint32_t TDrive::LastSessionEnd() const {
  uint32_t end = 0;
  for (const TTrack &t : Tracks)
    if (t.Session <= ClosedSessions)
      end = std::max(end, TrackEnd(t));
  return end;
}

uint32_t TDrive::TrackSize(const TTrack &t) const {
  if (t.Reserved)
    return std::max(t.Written, t.Reserved);
  if (t.Closed && t.Written && IsCd())
    return std::max<uint32_t>(t.Written + kRunOutBlocks, kMinCdTrack);
  return t.Written;
}

std::vector<uint16_t> TDrive::WriteSpeedsForMedium() const {
  const TMediaType *t = Type();
  std::string key;
  if (t && !TrayOpen && CanWrite(t->Name))
    key = t->Name;
  else if (!t || TrayOpen)
    key = "CD-R";  // without a medium, a drive reports its CD speeds
  auto it = Speeds.find(key);
  if (it == Speeds.end() || !CanWrite(key))
    return {};
  return it->second;
}

uint16_t TDrive::MaxReadSpeed() const { return IsDvd() ? ReadSpeedDvd : ReadSpeedCd; }

void TDrive::LoadMedium(const TMediaType &t, uint32_t capacity) {
  Medium = t.Name;
  TrayOpen = false;
  Capacity = capacity ? capacity : t.Capacity;
  Image.clear();
  Formatted = (t.Profile == PROF_DVDRAM);
  NoSpares = false;
  SpareBlocks = 0;
  Finalized = false;
  DaoOnly = false;
  ClosedSessions = 0;
  Tracks.clear();
  MaxWritten = 0;
  Timestamp.clear();
  if (t.Sequential)
    Tracks.push_back(TTrack{});  // the invisible track of a blank disc
  ResetRuntime();
  UnitAttention = true;
}

void TDrive::SetSpareBlocks(uint32_t spare) {
  const uint32_t raw = RawCapacity();
  SpareBlocks = std::min(spare, raw);
  Capacity = raw - SpareBlocks;
  MaxWritten = std::min(MaxWritten, Capacity);
}

TBdSpares BdSpares(uint32_t raw) {
  constexpr uint32_t kLayer = 12219392, kCluster = 32;
  const uint32_t layers = raw > kLayer ? 2 : 1;
  TBdSpares s;
  s.Min = 4096 * kCluster * layers;
  s.Default = 12288 * kCluster * layers;
  s.Max = (kLayer - 5796864) * layers;
  // A disc smaller than a real one (--capacity) keeps at least a cluster of user blocks.
  const uint32_t most = raw > kCluster ? raw - kCluster : 0;
  s.Min = std::min(s.Min, most);
  s.Default = std::min(s.Default, most);
  s.Max = std::min(s.Max, most);
  return s;
}

int64_t BdSpareFor(uint32_t raw, uint32_t blocks) {
  const TBdSpares s = BdSpares(raw);
  if (blocks == 0 || blocks == 0xFFFFFFFFu)
    return s.Default;
  const uint64_t user = (uint64_t(blocks) + 31) / 32 * 32;
  if (user > raw)
    return -1;
  const uint64_t spare = raw - user;
  if (spare < s.Min || spare > s.Max)
    return -1;
  return int64_t(spare);
}

void TDrive::RemoveMedium() {
  const bool had = Medium != "none" && !TrayOpen;
  Medium = "none";
  TrayOpen = true;
  Capacity = 0;
  Image.clear();
  Tracks.clear();
  ClosedSessions = 0;
  Finalized = Formatted = DaoOnly = NoSpares = false;
  SpareBlocks = 0;
  MaxWritten = 0;
  Timestamp.clear();
  Prevent = false;
  ResetRuntime();
  UnitAttention = UnitAttention || had;
}

void TDrive::ResetRuntime() {
  Op.clear();
  OpStart = OpSeconds = 0;
  TestNwa = -1;
  ReadSpeed = WriteSpeed = 0;
  BufFill = BufTime = 0;
  Underruns = 0;
  UnderrunSeconds = 0;
  RecordedSpeed = 0;
  CacheForget(*this);
}

// ---- faults ----

std::string TFault::Text() const {
  std::string s = Kind;
  s += " count=" + std::to_string(Count);
  if (Skip)
    s += " skip=" + std::to_string(Skip);
  if (Op >= 0) {
    char b[16];
    std::snprintf(b, sizeof b, "%02X", unsigned(Op) & 0xFFu);
    s += std::string(" op=") + b;
  }
  if (Lba >= 0)
    s += " lba=" + std::to_string(Lba);
  if (Ascq >= 0)
    s += " ascq=" + std::to_string(Ascq);
  return s;
}

bool ParseFault(const std::string &text, TFault &f, std::string &err) {
  std::vector<std::string> w = Words(text);
  if (w.empty()) {
    err = "empty fault";
    return false;
  }
  static const char *kinds[] = {"busy",        "notready", "nomedium", "writeerror", "unformatted",
                                "opc",         "pending",  "corrupt",  "transport"};
  f = TFault{};
  f.Kind = w[0];
  if (std::find_if(std::begin(kinds), std::end(kinds), [&](const char *k) { return f.Kind == k; }) == std::end(kinds)) {
    err = "unknown fault kind \"" + f.Kind + "\" (busy, notready, nomedium, writeerror, unformatted, opc, pending, corrupt, transport)";
    return false;
  }
  for (size_t i = 1; i < w.size(); ++i) {
    const size_t eq = w[i].find('=');
    if (eq == std::string::npos) {
      err = "fault option \"" + w[i] + "\" is not key=value";
      return false;
    }
    const std::string k = w[i].substr(0, eq), v = w[i].substr(eq + 1);
    char *end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v.c_str(), &end, k == "op" ? 16 : 0);
    if (v.empty() || *end || errno) {
      err = "bad number in \"" + w[i] + "\"";
      return false;
    }
    if (k == "count")
      f.Count = static_cast<int>(n);
    else if (k == "skip")
      f.Skip = static_cast<int>(n);
    else if (k == "op" && n >= 0 && n <= 255)
      f.Op = static_cast<int>(n);
    else if (k == "lba" && n >= 0)
      f.Lba = n;
    else if (k == "ascq" && n >= 0 && n <= 255)
      f.Ascq = static_cast<int>(n);
    else {
      err = "bad fault option \"" + w[i] + "\"";
      return false;
    }
  }
  if ((f.Kind == "writeerror" || f.Kind == "corrupt") && f.Lba < 0) {
    err = f.Kind + " needs lba=N";
    return false;
  }
  if (f.Count == 0 || f.Count < -1 || f.Skip < 0) {
    err = "count must be positive (or -1 for always) and skip not negative";
    return false;
  }
  return true;
}

// ---- folders ----

std::string DrivesFolderPath() {
  if (const char *p = std::getenv("SKARVO_VDRIVES"); p && *p)
    return p;
  if (const char *p = std::getenv("XDG_DATA_HOME"); p && *p)
    return std::string(p) + "/skarvo/vdrives";
  const char *home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/skarvo/vdrives";
}

static bool MakeDirs(const std::string &path) {
  std::string cur;
  std::stringstream ss(path);
  std::string part;
  if (!path.empty() && path[0] == '/')
    cur = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty())
      continue;
    cur += part;
    if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST)
      return false;
    cur += "/";
  }
  return true;
}

bool EnsureDrivesFolder(std::string &err) {
  const std::string folder = DrivesFolderPath();
  struct stat st{};
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode))
      return true;
    err = folder + " is not a folder";
    return false;
  }
  // First use: create the folder with one DVD writer holding a blank CD-RW.
  // The folder is built under a temporary name and renamed into place, so a
  // second process starting at the same moment never sees half a drive.
  const size_t slash = folder.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : folder.substr(0, slash);
  if (!MakeDirs(parent)) {
    err = "cannot create " + parent + ": " + std::strerror(errno);
    return false;
  }
  std::string tmp = folder + ".tmp-" + std::to_string(getpid());
  if (!MakeDirs(tmp + "/vd0")) {
    err = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  TDrive d;
  d.Name = "vd0";
  d.Dir = tmp + "/vd0";
  d.Slot = 0;
  InitModel(d, *FindModel("dvd-writer"));
  d.LoadMedium(*FindMediaType("CD-RW"), 0);
  d.UnitAttention = false;  // the disc was in the drive from the start
  if (!SaveDrive(d, err))
    return false;
  if (rename(tmp.c_str(), folder.c_str()) != 0) {
    const int e = errno;
    std::remove((d.Dir + "/settings").c_str());
    std::remove((d.Dir + "/generation").c_str());
    std::remove(DataPath(d.Dir).c_str());
    rmdir(d.Dir.c_str());
    rmdir(tmp.c_str());
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      return true;  // another process won the race
    err = "cannot create " + folder + ": " + std::strerror(e);
    return false;
  }
  return true;
}

// A name begins with a letter, so that it never reads as a drive index.
bool ValidDriveName(const std::string &name) {
  if (name.empty() || name.size() > 64 || !isalpha(static_cast<unsigned char>(name[0])))
    return false;
  return std::all_of(name.begin(), name.end(),
                     [](char ch) { return isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' || ch == '.'; });
}

// The sub-folders holding a settings file, split by whether their name is valid.
static void ScanFolders(const std::string &folder, std::vector<std::string> *valid, std::vector<std::string> *stray) {
  DIR *dir = opendir(folder.c_str());
  if (!dir)
    return;
  while (dirent *e = readdir(dir)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..")
      continue;
    struct stat st{};
    if (stat((folder + "/" + n + "/settings").c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    std::vector<std::string> *to = ValidDriveName(n) ? valid : stray;
    if (to)
      to->push_back(n);
  }
  closedir(dir);
}

std::vector<std::string> DriveNames(const std::string &folder) {
  std::vector<std::string> names;
  ScanFolders(folder, &names, nullptr);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> StrayDriveFolders(const std::string &folder) {
  std::vector<std::string> names;
  ScanFolders(folder, nullptr, &names);
  std::sort(names.begin(), names.end());
  return names;
}

std::string SettingsPath(const std::string &dir) { return dir + "/settings"; }
std::string DataPath(const std::string &dir) { return dir + "/data.img"; }
std::string LogPath(const std::string &dir) { return dir + "/commands.log"; }

TDriveLock::TDriveLock(const std::string &dir) {
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ >= 0) {
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        break;
      }
    }
  }
}

TDriveLock::~TDriveLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

namespace {

std::atomic<pid_t> gPid{0};

void ForgetPid() { gPid.store(0, std::memory_order_relaxed); }

}  // namespace

pid_t ProcessId() {
  pid_t pid = gPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const int registered = pthread_atfork(nullptr, nullptr, ForgetPid);
    (void)registered;
    pid = getpid();
    gPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double ClockFactor(const TDrive &d) {
  double v = d.Clock;
  if (const char *p = std::getenv("SKARVO_VDRIVE_CLOCK"); p && *p) {
    char *end = nullptr;
    const double e = std::strtod(p, &end);
    if (!*end && e >= 0)
      v = e;
  }
  if (v == 0)
    return std::numeric_limits<double>::infinity();
  return v > 0 ? v : 1.0;
}

// ---- data file ----

bool ReadBlocks(const TDrive &d, uint32_t lba, uint32_t blocks, uint8_t *buf) {
  const bool rom = d.Type() && d.Type()->Rom;
  const std::string path = rom ? d.Image : DataPath(d.Dir);
  const size_t bytes = size_t(blocks) * 2048;
  std::memset(buf, 0, bytes);
  const bool own = rom || d.DataFd < 0;
  const int fd = own ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : d.DataFd;
  if (fd < 0)
    return rom ? false : true;  // no data file yet: every block reads as zeros
  size_t done = 0;
  const off_t base = off_t(lba) * 2048;
  while (done < bytes) {
    const ssize_t n = pread(fd, buf + done, bytes - done, base + off_t(done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;  // past the end of the file: zeros
    done += size_t(n);
  }
  if (own)
    close(fd);
  return true;
}

// Zero when the first byte is and every byte equals the next: one memcmp,
// which runs in wide words (a byte loop costs more than the write itself).
static bool AllZero(const uint8_t *p, size_t n) { return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0); }

bool WriteBlocks(const TDrive &d, uint32_t lba, uint32_t blocks, const uint8_t *buf) {
  const bool own = d.DataFd < 0;
  const int fd = own ? open(DataPath(d.Dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644) : d.DataFd;
  if (fd < 0)
    return false;
  bool ok = true;
  const size_t bytes = size_t(blocks) * 2048;
  const off_t base = off_t(lba) * 2048;
  if (AllZero(buf, bytes)) {
    // Zeros stay a hole in the sparse file (an erase overwrites gigabytes).
    struct stat st{};
    fstat(fd, &st);
    if (base + off_t(bytes) > st.st_size)
      ok = ftruncate(fd, base + off_t(bytes)) == 0;
    if (ok && base < st.st_size)
      ok = fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, base, off_t(bytes)) == 0 ||
           pwrite(fd, buf, bytes, base) == ssize_t(bytes);
  } else {
    size_t done = 0;
    while (done < bytes) {
      const ssize_t n = pwrite(fd, buf + done, bytes - done, base + off_t(done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += size_t(n);
    }
  }
  if (own && close(fd) != 0)
    ok = false;
  return ok;
}

void ClearData(const TDrive &d) {
  const int fd = open(DataPath(d.Dir).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0)
    close(fd);
}

}  // namespace vrec
