// Drive folders, settings files, models and media types of the virtual recorder.
#include "VDrive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrec {

const std::vector<TMediaType> &MediaTypes() {
  // name, profile, capacity, rom, cd, erasable, sequential
  static const std::vector<TMediaType> types = {
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
  };
  return types;
}

const TMediaType *FindMediaType(const std::string &name) {
  std::string n = name;
  for (char &ch : n)
    ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  if (n == "DVD+R DL" || n == "DVD+RDL")
    n = "DVD+R-DL";
  for (const TMediaType &t : MediaTypes())
    if (n == t.Name)
      return &t;
  return nullptr;
}

static const char *kAllMedia = "CD-ROM CD-R CD-RW DVD-ROM DVD-R DVD-RW DVD+R DVD+R-DL DVD+RW DVD-RAM";

const std::vector<TModel> &Models() {
  static const std::vector<TModel> models = {
      {"cdrw-writer", "CD-RW SV-5232", "CD-ROM CD-R CD-RW DVD-ROM", "CD-R CD-RW"},
      {"dvd-writer", "DVD+-RW SV-1620", kAllMedia, "CD-R CD-RW DVD-R DVD-RW DVD+R DVD+R-DL DVD+RW DVD-RAM"},
      {"dvd-reader", "DVD-ROM SV-1648", kAllMedia, ""},
  };
  return models;
}

const TModel *FindModel(const std::string &name) {
  for (const TModel &m : Models())
    if (name == m.Name)
      return &m;
  return nullptr;
}

static std::vector<std::string> Words(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w)
    out.push_back(w);
  return out;
}

static std::string Join(const std::vector<std::string> &v) {
  std::string s;
  for (const std::string &w : v)
    s += (s.empty() ? "" : " ") + w;
  return s;
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
  return (p == PROF_DVDPRW && Formatted) || p == PROF_DVDRAM || p == PROF_DVDRW_RO;
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
      end = std::max(end, t.Start + std::max(t.Written, t.Reserved));
  return end;
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
  Finalized = false;
  DaoOnly = false;
  ClosedSessions = 0;
  Tracks.clear();
  MaxWritten = 0;
  Timestamp.clear();
  if (t.Sequential)
    Tracks.push_back(TTrack{});  // the invisible track of a blank disc
  ResetRuntime();
}

void TDrive::ResetRuntime() {
  Op.clear();
  OpStart = OpSeconds = 0;
  TestNwa = -1;
  ReadSpeed = WriteSpeed = 0;
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
  static const char *kinds[] = {"busy", "notready", "nomedium", "writeerror", "unformatted", "opc", "pending"};
  f = TFault{};
  f.Kind = w[0];
  if (std::find_if(std::begin(kinds), std::end(kinds), [&](const char *k) { return f.Kind == k; }) == std::end(kinds)) {
    err = "unknown fault kind \"" + f.Kind + "\" (busy, notready, nomedium, writeerror, unformatted, opc, pending)";
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
  if (f.Kind == "writeerror" && f.Lba < 0) {
    err = "writeerror needs lba=N";
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
  InitModel(d, *FindModel("dvd-writer"));
  d.LoadMedium(*FindMediaType("CD-RW"), 0);
  if (!SaveDrive(d, err))
    return false;
  if (rename(tmp.c_str(), folder.c_str()) != 0) {
    const int e = errno;
    std::remove((d.Dir + "/settings").c_str());
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

bool ValidDriveName(const std::string &name) {
  if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-')
    return false;
  return std::all_of(name.begin(), name.end(),
                     [](char ch) { return isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' || ch == '.'; });
}

std::vector<std::string> DriveNames(const std::string &folder) {
  std::vector<std::string> names;
  DIR *dir = opendir(folder.c_str());
  if (!dir)
    return names;
  while (dirent *e = readdir(dir)) {
    const std::string n = e->d_name;
    if (!ValidDriveName(n))
      continue;
    struct stat st{};
    if (stat((folder + "/" + n + "/settings").c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names.push_back(n);
  }
  closedir(dir);
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

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double ClockFactor(const TDrive &d) {
  if (const char *p = std::getenv("SKARVO_VDRIVE_CLOCK"); p && *p) {
    const double v = std::atof(p);
    if (v > 0)
      return v;
  }
  return d.Clock > 0 ? d.Clock : 1.0;
}

// ---- settings file ----

static std::string Hex(const std::vector<uint8_t> &v) {
  std::string s;
  char b[4];
  for (uint8_t x : v) {
    std::snprintf(b, sizeof b, "%02x", x);
    s += (s.empty() ? "" : " ") + std::string(b);
  }
  return s;
}

static std::string SpeedList(const std::vector<uint16_t> &v) {
  std::string s;
  for (uint16_t x : v)
    s += (s.empty() ? "" : " ") + std::to_string(x);
  return s;
}

std::string SerializeDrive(const TDrive &d) {
  std::ostringstream o;
  o << "# Virtual recorder settings (key = value). Edit only while no program uses the drive.\n";
  o << "# --- identity and capabilities\n";
  o << "model = " << d.Model << "\n";
  o << "vendor = " << d.Vendor << "\n";
  o << "product = " << d.Product << "\n";
  o << "revision = " << d.Revision << "\n";
  o << "reads = " << Join(d.Reads) << "\n";
  o << "writes = " << Join(d.Writes) << "\n";
  o << "read_speed_cd = " << d.ReadSpeedCd << "\n";
  o << "read_speed_dvd = " << d.ReadSpeedDvd << "\n";
  for (const auto &[m, v] : d.Speeds)
    o << "write_speeds." << m << " = " << SpeedList(v) << "\n";
  o << "buffer_kb = " << d.BufferKb << "\n";
  o << "underrun_protection = " << (d.Underrun ? 1 : 0) << "\n";
  o << "test_write = " << (d.TestWriteCap ? 1 : 0) << "\n";
  o << "clock = " << d.Clock << "\n";
  o << "# --- medium\n";
  o << "medium = " << d.Medium << "\n";
  o << "tray = " << (d.TrayOpen ? "open" : "closed") << "\n";
  o << "capacity = " << d.Capacity << "\n";
  if (!d.Image.empty())
    o << "image = " << d.Image << "\n";
  o << "formatted = " << (d.Formatted ? 1 : 0) << "\n";
  o << "finalized = " << (d.Finalized ? 1 : 0) << "\n";
  o << "dao_only = " << (d.DaoOnly ? 1 : 0) << "\n";
  o << "closed_sessions = " << d.ClosedSessions << "\n";
  o << "# track = session start written reserved closed\n";
  for (const TTrack &t : d.Tracks)
    o << "track = " << t.Session << " " << t.Start << " " << t.Written << " " << t.Reserved << " "
      << (t.Closed ? 1 : 0) << "\n";
  o << "max_written = " << d.MaxWritten << "\n";
  if (!d.Timestamp.empty())
    o << "timestamp = " << d.Timestamp << "\n";
  o << "# --- drive state\n";
  o << "prevent = " << (d.Prevent ? 1 : 0) << "\n";
  o << "write_params = " << Hex(d.WriteParams) << "\n";
  o << "read_speed = " << d.ReadSpeed << "\n";
  o << "write_speed = " << d.WriteSpeed << "\n";
  if (!d.Op.empty()) {
    char b[64];
    std::snprintf(b, sizeof b, "%.3f", d.OpStart);
    o << "op = " << d.Op << "\nop_start = " << b << "\nop_seconds = " << d.OpSeconds << "\n";
  }
  if (d.TestNwa >= 0)
    o << "test_nwa = " << d.TestNwa << "\n";
  o << "# --- faults: KIND [count=N] [skip=N] [op=HEX] [lba=N] [ascq=N]\n";
  for (const TFault &f : d.Faults)
    o << "fault = " << f.Text() << "\n";
  return o.str();
}

static std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  size_t b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

static bool ToU32(const std::string &v, uint32_t &out) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
  if (v.empty() || *end || errno || n > 0xFFFFFFFFull)
    return false;
  out = static_cast<uint32_t>(n);
  return true;
}

bool LoadDrive(const std::string &dir, TDrive &d, std::string &err) {
  std::ifstream in(SettingsPath(dir));
  if (!in) {
    err = "cannot read " + SettingsPath(dir);
    return false;
  }
  d = TDrive{};
  d.Dir = dir;
  const size_t slash = dir.find_last_of('/');
  d.Name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  d.WriteParams = DefaultWriteParams();
  std::string line;
  int lineNo = 0;
  bool sawWrites = false, sawReads = false;
  while (std::getline(in, line)) {
    ++lineNo;
    line = Trim(line);
    if (line.empty() || line[0] == '#')
      continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      err = SettingsPath(dir) + ":" + std::to_string(lineNo) + ": expected key = value";
      return false;
    }
    const std::string k = Trim(line.substr(0, eq)), v = Trim(line.substr(eq + 1));
    uint32_t n = 0;
    bool ok = true;
    auto num = [&](auto &field) {
      ok = ToU32(v, n);
      if (ok)
        field = static_cast<std::remove_reference_t<decltype(field)>>(n);
    };
    if (k == "model")
      d.Model = v;
    else if (k == "vendor")
      d.Vendor = v;
    else if (k == "product")
      d.Product = v;
    else if (k == "revision")
      d.Revision = v;
    else if (k == "reads")
      d.Reads = Words(v), sawReads = true;
    else if (k == "writes")
      d.Writes = Words(v), sawWrites = true;
    else if (k == "read_speed_cd")
      num(d.ReadSpeedCd);
    else if (k == "read_speed_dvd")
      num(d.ReadSpeedDvd);
    else if (k.rfind("write_speeds.", 0) == 0) {
      std::vector<uint16_t> sp;
      for (const std::string &w : Words(v)) {
        ok = ok && ToU32(w, n) && n > 0 && n < 65535;
        sp.push_back(static_cast<uint16_t>(n));
      }
      std::sort(sp.rbegin(), sp.rend());
      d.Speeds[k.substr(13)] = sp;
    } else if (k == "buffer_kb")
      num(d.BufferKb);
    else if (k == "underrun_protection")
      d.Underrun = v == "1";
    else if (k == "test_write")
      d.TestWriteCap = v == "1";
    else if (k == "clock") {
      d.Clock = std::atof(v.c_str());
      ok = d.Clock > 0;
    } else if (k == "medium") {
      d.Medium = v;
      ok = v == "none" || FindMediaType(v);
      if (ok && v != "none")
        d.Medium = FindMediaType(v)->Name;
    } else if (k == "tray")
      d.TrayOpen = v == "open";
    else if (k == "capacity")
      num(d.Capacity);
    else if (k == "image")
      d.Image = v;
    else if (k == "formatted")
      d.Formatted = v == "1";
    else if (k == "finalized")
      d.Finalized = v == "1";
    else if (k == "dao_only")
      d.DaoOnly = v == "1";
    else if (k == "closed_sessions")
      num(d.ClosedSessions);
    else if (k == "track") {
      std::vector<std::string> w = Words(v);
      TTrack t;
      uint32_t s = 0, c = 0;
      ok = w.size() == 5 && ToU32(w[0], s) && ToU32(w[1], t.Start) && ToU32(w[2], t.Written) &&
           ToU32(w[3], t.Reserved) && ToU32(w[4], c);
      t.Session = static_cast<int>(s);
      t.Closed = c != 0;
      d.Tracks.push_back(t);
    } else if (k == "max_written")
      num(d.MaxWritten);
    else if (k == "timestamp")
      d.Timestamp = v;
    else if (k == "prevent")
      d.Prevent = v == "1";
    else if (k == "write_params") {
      std::vector<uint8_t> p;
      for (const std::string &w : Words(v))
        p.push_back(static_cast<uint8_t>(std::strtoul(w.c_str(), nullptr, 16)));
      ok = p.size() == 52;
      if (ok)
        d.WriteParams = p;
    } else if (k == "read_speed")
      num(d.ReadSpeed);
    else if (k == "write_speed")
      num(d.WriteSpeed);
    else if (k == "op")
      d.Op = v;
    else if (k == "op_start")
      d.OpStart = std::atof(v.c_str());
    else if (k == "op_seconds")
      d.OpSeconds = std::atof(v.c_str());
    else if (k == "test_nwa")
      d.TestNwa = std::atoll(v.c_str());
    else if (k == "fault") {
      TFault f;
      std::string ferr;
      ok = ParseFault(v, f, ferr);
      if (ok)
        d.Faults.push_back(f);
    }
    // Unknown keys are ignored so that older libraries read newer files.
    if (!ok) {
      err = SettingsPath(dir) + ":" + std::to_string(lineNo) + ": bad value for " + k;
      return false;
    }
  }
  if (!sawReads || !sawWrites) {
    const TModel *m = FindModel(d.Model);
    TDrive def;
    InitModel(def, m ? *m : *FindModel("dvd-writer"));
    if (!sawReads)
      d.Reads = def.Reads;
    if (!sawWrites)
      d.Writes = def.Writes;
    if (d.Speeds.empty())
      d.Speeds = def.Speeds;
  }
  if (d.Vendor.size() > 8 || d.Product.size() > 16 || d.Revision.size() > 4) {
    err = SettingsPath(dir) + ": vendor, product or revision too long (8, 16, 4 characters)";
    return false;
  }
  if (d.Medium != "none" && d.Capacity == 0 && !FindMediaType(d.Medium)->Rom)
    d.Capacity = FindMediaType(d.Medium)->Capacity;
  return true;
}

bool SaveDrive(const TDrive &d, std::string &err) {
  const std::string path = SettingsPath(d.Dir);
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << SerializeDrive(d);
    out.flush();
    if (!out) {
      err = "cannot write " + tmp;
      return false;
    }
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    err = "cannot replace " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// ---- data file ----

bool ReadBlocks(const TDrive &d, uint32_t lba, uint32_t blocks, uint8_t *buf) {
  const bool rom = d.Type() && d.Type()->Rom;
  const std::string path = rom ? d.Image : DataPath(d.Dir);
  const size_t bytes = size_t(blocks) * 2048;
  std::memset(buf, 0, bytes);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
  close(fd);
  return true;
}

static bool AllZero(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i])
      return false;
  return true;
}

bool WriteBlocks(const TDrive &d, uint32_t lba, uint32_t blocks, const uint8_t *buf) {
  const int fd = open(DataPath(d.Dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
  if (close(fd) != 0)
    ok = false;
  return ok;
}

void ClearData(const TDrive &d) {
  const int fd = open(DataPath(d.Dir).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0)
    close(fd);
}

}  // namespace vrec
