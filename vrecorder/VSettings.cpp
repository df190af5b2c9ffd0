// The settings file of a virtual drive: key = value lines, read for every
// command and replaced (write + rename) when the state changed.
#include "VDrive.h"

#include <algorithm>
#include <charconv>
#include <type_traits>
#include <cmath>
#include <limits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vrec {

std::vector<std::string> Words(const std::string &s) {
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

// ---- settings file ----

namespace {

// Builds the settings text. The state is saved after every command that
// changes it (each WRITE(10) of a burn), so this avoids the stream and
// printf machinery; numbers read exactly as a stream would print them.
class TTextOut {
public:
  TTextOut() { s_.reserve(2048); }
  TTextOut &operator<<(const char *t) {
    s_ += t;
    return *this;
  }
  TTextOut &operator<<(const std::string &t) {
    s_ += t;
    return *this;
  }
  template <typename T>
    requires std::is_integral_v<T>
  TTextOut &operator<<(T v) {
    char b[24];
    const auto r = std::to_chars(b, b + sizeof b, v);
    s_.append(b, r.ptr);
    return *this;
  }
  // As a stream prints it ("%g").
  TTextOut &operator<<(double v) { return Fixed(v, -1); }
  // With `decimals` places ("%.*f"); -1: as a stream prints it.
  TTextOut &Fixed(double v, int decimals) {
    char b[400];
    const auto r = decimals < 0 ? std::to_chars(b, b + sizeof b, v, std::chars_format::general, 6)
                                : std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, decimals);
    s_.append(b, r.ptr);
    return *this;
  }
  std::string str() { return std::move(s_); }

private:
  std::string s_;
};

void PutHex(TTextOut &o, const std::vector<uint8_t> &v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(v.size() * 3);
  for (uint8_t x : v) {
    if (!s.empty())
      s += ' ';
    s += digits[x >> 4];
    s += digits[x & 15];
  }
  o << s;
}

void PutSpeeds(TTextOut &o, const std::vector<uint16_t> &v) {
  for (size_t i = 0; i < v.size(); ++i)
    (i ? o << " " : o) << v[i];
}

}  // namespace

std::string SerializeDrive(const TDrive &d) {
  TTextOut o;
  o << "# Virtual recorder settings (key = value). Edit only while no program uses the drive.\n";
  if (d.Slot >= 0)
    o << "address = " << d.AddressText() << "\n";
  o << "# --- identity and capabilities\n";
  o << "model = " << d.Model << "\n";
  o << "vendor = " << d.Vendor << "\n";
  o << "product = " << d.Product << "\n";
  o << "revision = " << d.Revision << "\n";
  o << "reads = " << Join(d.Reads) << "\n";
  o << "writes = " << Join(d.Writes) << "\n";
  o << "read_speed_cd = " << d.ReadSpeedCd << "\n";
  o << "read_speed_dvd = " << d.ReadSpeedDvd << "\n";
  for (const auto &[m, v] : d.Speeds) {
    o << "write_speeds." << m << " = ";
    PutSpeeds(o, v);
    o << "\n";
  }
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
  o << "no_spares = " << (d.NoSpares ? 1 : 0) << "\n";
  o << "spare_blocks = " << d.SpareBlocks << "\n";
  o << "finalized = " << (d.Finalized ? 1 : 0) << "\n";
  o << "dao_only = " << (d.DaoOnly ? 1 : 0) << "\n";
  o << "closed_sessions = " << d.ClosedSessions << "\n";
  o << "# track = session start written reserved closed [damaged]\n";
  for (const TTrack &t : d.Tracks) {
    o << "track = " << t.Session << " " << t.Start << " " << t.Written << " " << t.Reserved << " "
      << (t.Closed ? 1 : 0);
    o << (t.Damaged ? " 1\n" : "\n");
  }
  o << "max_written = " << d.MaxWritten << "\n";
  if (!d.Timestamp.empty())
    o << "timestamp = " << d.Timestamp << "\n";
  o << "# --- drive state\n";
  o << "prevent = " << (d.Prevent ? 1 : 0) << "\n";
  o << "write_params = ";
  PutHex(o, d.WriteParams);
  o << "\n";
  o << "read_speed = " << d.ReadSpeed << "\n";
  o << "write_speed = " << d.WriteSpeed << "\n";
  if (!d.Op.empty()) {
    o << "op = " << d.Op << "\nop_start = ";
    o.Fixed(d.OpStart, 3) << "\nop_seconds = " << d.OpSeconds << "\n";
  }
  if (d.TestNwa >= 0)
    o << "test_nwa = " << d.TestNwa << "\n";
  if (d.BufFill > 0) {
    o << "buffer_fill = ";
    o.Fixed(d.BufFill, 0) << "\nbuffer_time = ";
    o.Fixed(d.BufTime, 6) << "\n";
  }
  if (d.UnitAttention)
    o << "unit_attention = 1\n";
  if (d.RecordedSpeed)
    o << "recorded_speed = " << d.RecordedSpeed << "\n";
  if (d.Underruns) {
    o << "underruns = " << d.Underruns << "\nunderrun_seconds = ";
    o.Fixed(d.UnderrunSeconds, 6) << "\n";
  }
  if (!d.Cache.empty()) {
    o << "read_cache =";
    for (const TCacheRange &r : d.Cache)
      o << " " << r.Start << "+" << r.Blocks;
    o << "\n";
  }
  if (!d.CacheAltered.empty()) {
    o << "read_cache_altered =";
    for (uint32_t b : d.CacheAltered)
      o << " " << b;
    o << "\n";
  }
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
  if (v.empty() || v[0] == '-' || *end || errno || n > 0xFFFFFFFFull)
    return false;
  out = static_cast<uint32_t>(n);
  return true;
}

static bool ToDouble(const std::string &v, double &out) {
  char *end = nullptr;
  errno = 0;
  out = std::strtod(v.c_str(), &end);
  return !v.empty() && !*end && !errno && std::isfinite(out);
}

static bool ToFlag(const std::string &v, bool &out) {
  if (v != "0" && v != "1")
    return false;
  out = v == "1";
  return true;
}

static bool KnownMedia(const std::vector<std::string> &names) {
  return std::all_of(names.begin(), names.end(), [](const std::string &n) { return FindMediaType(n) != nullptr; });
}

enum class TApplied { Ok, BadValue, UnknownKey };

// Applies one `key = value` line of a settings file to d.
static TApplied ApplySetting(TDrive &d, const std::string &k, const std::string &v) {
  uint32_t n = 0;
  bool ok = true;
  auto num = [&](auto &field) {
    ok = ToU32(v, n) && n <= std::numeric_limits<std::remove_reference_t<decltype(field)>>::max();
    if (ok)
      field = static_cast<std::remove_reference_t<decltype(field)>>(n);
  };
  if (k == "address")
    ok = ParseAddress(v, d.Slot);
  else if (k == "model")
    ok = FindModel(v) != nullptr, d.Model = v;
  else if (k == "vendor")
    d.Vendor = v;
  else if (k == "product")
    d.Product = v;
  else if (k == "revision")
    d.Revision = v;
  else if (k == "reads")
    d.Reads = Words(v), ok = KnownMedia(d.Reads);
  else if (k == "writes")
    d.Writes = Words(v), ok = KnownMedia(d.Writes);
  else if (k == "read_speed_cd")
    num(d.ReadSpeedCd);
  else if (k == "read_speed_dvd")
    num(d.ReadSpeedDvd);
  else if (k.rfind("write_speeds.", 0) == 0) {
    const TMediaType *t = FindMediaType(k.substr(13));
    if (!t || k.substr(13) != t->Name)
      return TApplied::UnknownKey;
    std::vector<uint16_t> sp;
    for (const std::string &w : Words(v)) {
      ok = ok && ToU32(w, n) && n > 0 && n < 65535;
      sp.push_back(static_cast<uint16_t>(n));
    }
    std::sort(sp.rbegin(), sp.rend());
    d.Speeds[t->Name] = sp;
  } else if (k == "buffer_kb")
    num(d.BufferKb);
  else if (k == "underrun_protection")
    ok = ToFlag(v, d.Underrun);
  else if (k == "test_write")
    ok = ToFlag(v, d.TestWriteCap);
  else if (k == "clock")
    ok = ToDouble(v, d.Clock) && d.Clock >= 0;
  else if (k == "medium") {
    ok = v == "none" || FindMediaType(v);
    d.Medium = ok && v != "none" ? FindMediaType(v)->Name : v;
  } else if (k == "tray") {
    ok = v == "open" || v == "closed";
    d.TrayOpen = v == "open";
  } else if (k == "capacity")
    num(d.Capacity);
  else if (k == "image")
    d.Image = v;
  else if (k == "formatted")
    ok = ToFlag(v, d.Formatted);
  else if (k == "no_spares")
    ok = ToFlag(v, d.NoSpares);
  else if (k == "spare_blocks")
    num(d.SpareBlocks);
  else if (k == "finalized")
    ok = ToFlag(v, d.Finalized);
  else if (k == "dao_only")
    ok = ToFlag(v, d.DaoOnly);
  else if (k == "closed_sessions")
    num(d.ClosedSessions);
  else if (k == "track") {
    std::vector<std::string> w = Words(v);
    TTrack t;
    uint32_t s = 0, c = 0;
    uint32_t dmg = 0;
    ok = (w.size() == 5 || w.size() == 6) && ToU32(w[0], s) && s >= 1 && s <= 99 && ToU32(w[1], t.Start) &&
         ToU32(w[2], t.Written) && ToU32(w[3], t.Reserved) && ToU32(w[4], c) && c <= 1 &&
         (w.size() == 5 || (ToU32(w[5], dmg) && dmg <= 1));
    t.Session = static_cast<int>(s);
    t.Closed = c != 0;
    t.Damaged = dmg != 0;
    d.Tracks.push_back(t);
  } else if (k == "max_written")
    num(d.MaxWritten);
  else if (k == "timestamp")
    d.Timestamp = v;
  else if (k == "prevent")
    ok = ToFlag(v, d.Prevent);
  else if (k == "write_params") {
    std::vector<uint8_t> p;
    for (const std::string &w : Words(v)) {
      char *end = nullptr;
      const unsigned long x = std::strtoul(w.c_str(), &end, 16);
      ok = ok && w.size() <= 2 && !*end && x <= 0xFF;
      p.push_back(static_cast<uint8_t>(x));
    }
    ok = ok && p.size() == 52;
    if (ok)
      d.WriteParams = p;
  } else if (k == "read_speed")
    num(d.ReadSpeed);
  else if (k == "write_speed")
    num(d.WriteSpeed);
  else if (k == "op")
    d.Op = v;
  else if (k == "op_start")
    ok = ToDouble(v, d.OpStart);
  else if (k == "op_seconds")
    ok = ToDouble(v, d.OpSeconds) && d.OpSeconds >= 0;
  else if (k == "test_nwa") {
    char *end = nullptr;
    errno = 0;
    d.TestNwa = std::strtoll(v.c_str(), &end, 10);
    ok = !v.empty() && !*end && !errno && d.TestNwa >= -1;
  } else if (k == "buffer_fill")
    ok = ToDouble(v, d.BufFill) && d.BufFill >= 0;
  else if (k == "buffer_time")
    ok = ToDouble(v, d.BufTime);
  else if (k == "unit_attention")
    ok = ToFlag(v, d.UnitAttention);
  else if (k == "recorded_speed")
    num(d.RecordedSpeed);
  else if (k == "underruns")
    num(d.Underruns);
  else if (k == "underrun_seconds")
    ok = ToDouble(v, d.UnderrunSeconds) && d.UnderrunSeconds >= 0;
  else if (k == "read_cache") {
    d.Cache.clear();
    for (const std::string &w : Words(v)) {
      const size_t plus = w.find('+');
      TCacheRange r;
      ok = ok && plus != std::string::npos && ToU32(w.substr(0, plus), r.Start) && ToU32(w.substr(plus + 1), r.Blocks);
      d.Cache.push_back(r);
    }
  } else if (k == "read_cache_altered") {
    d.CacheAltered.clear();
    for (const std::string &w : Words(v)) {
      uint32_t b = 0;
      ok = ok && ToU32(w, b);
      d.CacheAltered.push_back(b);
    }
    std::sort(d.CacheAltered.begin(), d.CacheAltered.end());
  }
  else if (k == "fault") {
    TFault f;
    std::string ferr;
    ok = ParseFault(v, f, ferr);
    if (ok)
      d.Faults.push_back(f);
  } else
    return TApplied::UnknownKey;
  return ok ? TApplied::Ok : TApplied::BadValue;
}

// Checks that hold across keys; err says what is wrong.
static bool CheckDrive(const TDrive &d, std::string &err) {
  if (d.Vendor.size() > 8 || d.Product.size() > 16 || d.Revision.size() > 4) {
    err = "vendor, product or revision too long (8, 16, 4 characters)";
    return false;
  }
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
    sawReads = sawReads || k == "reads";
    sawWrites = sawWrites || k == "writes";
    // Unknown keys are ignored so that older libraries read newer files.
    if (ApplySetting(d, k, v) == TApplied::BadValue) {
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
  if (!CheckDrive(d, err)) {
    err = SettingsPath(dir) + ": " + err;
    return false;
  }
  if (d.Medium != "none" && d.Capacity == 0 && !FindMediaType(d.Medium)->Rom)
    d.Capacity = FindMediaType(d.Medium)->Capacity;
  return true;
}

bool SetDriveKey(TDrive &d, const std::string &key, const std::string &value, std::string &err) {
  if (key == "address" || key == "track" || key == "fault") {
    err = key == "address" ? "a drive keeps the address it was given when it was added"
          : key == "track" ? "tracks change only by recording, or by editing the settings file while the drive is idle"
                           : "faults are set with `skarvo vdrive fault`";
    return false;
  }
  TDrive next = d;
  const TApplied r = ApplySetting(next, key, value);
  if (r == TApplied::UnknownKey) {
    err = "unknown setting \"" + key + "\" (`skarvo vdrive set --help` lists the keys)";
    return false;
  }
  std::string why;
  if (r == TApplied::BadValue || !CheckDrive(next, why)) {
    err = "bad value \"" + value + "\" for " + key + (why.empty() ? "" : ": " + why);
    return false;
  }
  d = std::move(next);
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
  DriveFilesChanged(d.Dir);
  return true;
}

}  // namespace vrec
