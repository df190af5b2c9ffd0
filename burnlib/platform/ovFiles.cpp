#include "ovFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ov {

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool IsDChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

bool HasWildcards(const std::string &mask) { return mask.find_first_of("*?") != std::string::npos; }

// Case-insensitive wildcard match ('*' any run, '?' one byte), iterative with
// one backtrack point, so it is linear in practice.
bool Wild(const char *n, const char *m) {
  const char *starM = nullptr, *starN = nullptr;
  while (*n) {
    if (*m == '*') {
      starM = ++m;
      starN = n;
    } else if (*m == '?' || (*m && Upper(*m) == Upper(*n))) {
      ++m;
      ++n;
    } else if (starM) {
      m = starM;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (*m == '*')
    ++m;
  return *m == '\0';
}

std::string ArchiveStamp(const struct stat &st) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld.%09ld", static_cast<long long>(st.st_mtim.tv_sec),
                static_cast<long>(st.st_mtim.tv_nsec));
  return buf;
}

// getxattr of a name relative to an open folder (Linux 6.13 and later), so
// a listing does not look up the folder's whole path again for every name.
// -1 with ENOSYS on older kernels, which then take the path.
#ifndef SYS_getxattrat
#if defined(__x86_64__) || defined(__aarch64__) || defined(__riscv)
#define SYS_getxattrat 464
#endif
#endif
std::atomic<bool> g_noGetxattrat{false};

ssize_t GetXattrAt(int dirFd, const char *name, const char *attr, char *buf, size_t size) {
#ifdef SYS_getxattrat
  if (dirFd >= 0 && !g_noGetxattrat.load(std::memory_order_relaxed)) {
    // struct xattr_args of the kernel: where the value goes and its room.
    struct {
      uint64_t Value;
      uint32_t Size;
      uint32_t Flags;
    } args{reinterpret_cast<uintptr_t>(buf), static_cast<uint32_t>(size), 0};
    const long n = syscall(SYS_getxattrat, dirFd, name, 0, attr, &args, sizeof args);
    // Sandboxes that filter unknown calls answer EPERM instead of ENOSYS.
    if (n >= 0 || (errno != ENOSYS && errno != EPERM))
      return static_cast<ssize_t>(n);
    g_noGetxattrat.store(true, std::memory_order_relaxed);
  }
#else
  (void)dirFd;
#endif
  return -2;
}

// Archive bit: set unless the extended attribute records the current
// modification time. With dirFd >= 0, name is relative to that folder.
bool HasArchiveBit(const std::string &path, const struct stat &st, int dirFd = -1, const char *name = nullptr) {
  char buf[64];
  ssize_t n = dirFd >= 0 ? GetXattrAt(dirFd, name, kArchiveXattr, buf, sizeof buf - 1) : -2;
  if (n == -2)
    n = getxattr(path.c_str(), kArchiveXattr, buf, sizeof buf - 1);
  if (n <= 0)
    return true;
  buf[n] = '\0';
  return ArchiveStamp(st) != buf;
}

// Fills rec from stat data; false for objects that are passed over.
// dirFd >= 0: the record comes from a listing of that open folder.
// Without archiveBit, faArchive is left out unread.
bool RecordFromStat(const std::string &path, const std::string &name, const struct stat &st, TSearchRec &rec,
                    int dirFd = -1, bool archiveBit = true) {
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    return false;  // FIFOs, sockets, devices
  rec.Name = name;
  rec.ShortName.clear();
  rec.Attr = 0;
  if (S_ISDIR(st.st_mode))
    rec.Attr |= faDirectory;
  if (!name.empty() && name[0] == '.')
    rec.Attr |= faHidden;
  if ((st.st_mode & S_IWUSR) == 0)
    rec.Attr |= faReadOnly;
  if (archiveBit && S_ISREG(st.st_mode) && HasArchiveBit(path, st, dirFd, name.c_str()))
    rec.Attr |= faArchive;
  rec.Size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
  struct tm probe {};
  const time_t t = st.st_mtim.tv_sec;
  rec.Time = localtime_r(&t, &probe) ? UnixToDateTime(t, st.st_mtim.tv_nsec) : std::nan("");
  rec.Dev = static_cast<uint64_t>(st.st_dev);
  rec.Ino = static_cast<uint64_t>(st.st_ino);
  rec.Mode = static_cast<uint32_t>(st.st_mode);
  rec.Uid = static_cast<uint32_t>(st.st_uid);
  rec.Gid = static_cast<uint32_t>(st.st_gid);
  rec.MTime = static_cast<int64_t>(st.st_mtim.tv_sec);
  rec.ATime = static_cast<int64_t>(st.st_atim.tv_sec);
  rec.CTime = static_cast<int64_t>(st.st_ctim.tv_sec);
  rec.Links = static_cast<uint32_t>(st.st_nlink);
  return true;
}


// Ordering of a listing: upper-cased bytes, then the bytes themselves.
bool ListingLess(const TSearchRec &a, const TSearchRec &b) {
  const size_t n = std::min(a.Name.size(), b.Name.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(Upper(a.Name[i]));
    const unsigned char y = static_cast<unsigned char>(Upper(b.Name[i]));
    if (x != y)
      return x < y;
  }
  if (a.Name.size() != b.Name.size())
    return a.Name.size() < b.Name.size();
  return a.Name < b.Name;
}

} // namespace

bool AttrIncluded(int32_t attr, int32_t attrMask) {
  return (attr & (faHidden | faSysFile | faVolumeID | faDirectory) & ~attrMask) == 0;
}

bool FindEntry(const std::string &path, int32_t attrMask, TSearchRec &rec) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/')
    p.pop_back();
  const size_t slash = p.rfind('/');
  const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
  struct stat st {};
  if (name.empty() || name == "." || name == ".." || stat(p.c_str(), &st) != 0)
    return false;
  if (!RecordFromStat(p, name, st, rec) || !AttrIncluded(rec.Attr, attrMask))
    return false;
  rec.ShortName = BaseAlias(rec.Name, (rec.Attr & faDirectory) != 0);
  return true;
}

bool MatchesMask(const std::string &name, const std::string &mask) {
  if (mask.empty() || mask == "*" || mask == "*.*")
    return true;
  if (Wild(name.c_str(), mask.c_str()))
    return true;
  const bool noDot = name.find('.') == std::string::npos;
  if (noDot && mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0)
    return Wild(name.c_str(), mask.substr(0, mask.size() - 2).c_str());
  if (noDot && mask.back() == '.')
    return Wild(name.c_str(), mask.substr(0, mask.size() - 1).c_str());
  return false;
}

bool FindFiles(const std::string &pattern, int32_t attrMask, std::vector<TSearchRec> &out) {
  std::vector<TPassedOver> ignored;
  return FindFiles(pattern, attrMask, out, ignored);
}

namespace {

// Why stat failed on a listed name: a link that leads nowhere or loops, or a
// status that cannot be read. False for a name removed while listing
// (nothing was there to lose).
bool ClassifyStatFailure(const std::string &full, int err, TPassedOver &p) {
  p.Error = err;
  if (err == ELOOP) {
    p.Reason = TPassedOver::LoopingLink;
    return true;
  }
  if (err == ENOENT || err == ENOTDIR) {
    struct stat lst {};
    if (lstat(full.c_str(), &lst) != 0)
      return false;
    p.Reason = S_ISLNK(lst.st_mode) ? TPassedOver::DanglingLink : TPassedOver::Unreadable;
    return true;
  }
  p.Reason = TPassedOver::Unreadable;
  return true;
}

} // namespace

bool FindFiles(const std::string &pattern, int32_t attrMask, std::vector<TSearchRec> &out,
               std::vector<TPassedOver> &passedOver, bool archiveBit) {
  out.clear();
  passedOver.clear();
  const size_t slash = pattern.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  const std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  const std::string dirPath = folder.empty() ? std::string(".") : folder;

  if (!mask.empty() && !HasWildcards(mask)) {
    TSearchRec rec;
    if (!FindEntry(pattern, attrMask, rec))
      return false;
    out.push_back(std::move(rec));
    return true;
  }

  DIR *d = opendir(dirPath.c_str());
  if (!d)
    return false;
  int listError = 0;
  for (;;) {
    errno = 0;
    const struct dirent *de = readdir(d);
    if (!de) {
      listError = errno;
      break;
    }
    const std::string name = de->d_name;
    if (name == "." || name == ".." || !MatchesMask(name, mask))
      continue;
    const std::string full = folder + name;
    struct stat st {};
    // Relative to the open folder: the path is not looked up again.
    if (fstatat(dirfd(d), de->d_name, &st, 0) != 0) {
      TPassedOver p;
      p.Name = name;
      if (ClassifyStatFailure(full, errno, p))
        passedOver.push_back(std::move(p));
      continue;
    }
    TSearchRec rec;
    if (!RecordFromStat(full, name, st, rec, dirfd(d), archiveBit)) {
      passedOver.push_back({name, TPassedOver::Special, 0});
      continue;
    }
    if (AttrIncluded(rec.Attr, attrMask))
      out.push_back(std::move(rec));
  }
  closedir(d);
  if (listError != 0) {
    // A listing that broke off part way is not a listing of the folder.
    out.clear();
    errno = listError;
    return false;
  }
  std::sort(out.begin(), out.end(), ListingLess);
  AssignAliases(out);
  return true;
}

std::string PassedOverText(const TPassedOver &p) {
  switch (p.Reason) {
  case TPassedOver::DanglingLink:
    return "dangling symbolic link";
  case TPassedOver::LoopingLink:
    return "symbolic link loop";
  case TPassedOver::Special:
    return "not a regular file or folder (FIFO, socket or device)";
  case TPassedOver::Unreadable:
    break;
  }
  return std::string("cannot be read: ") + std::strerror(p.Error);
}

int32_t FileGetAttr(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    return -1;
  const size_t slash = path.rfind('/', path.size() > 1 ? path.size() - 2 : 0);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!name.empty() && name.back() == '/')
    name.pop_back();
  TSearchRec rec;
  if (!RecordFromStat(path, name, st, rec)) {
    // A special file: report what its mode says, without the archive bit.
    return (st.st_mode & S_IWUSR) ? 0 : faReadOnly;
  }
  return rec.Attr;
}

bool FileSetAttr(const std::string &path, int32_t attr) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  if (attr & faArchive) {
    if (removexattr(path.c_str(), kArchiveXattr) == 0 || errno == ENODATA)
      return true;
    return false;
  }
  const std::string stamp = ArchiveStamp(st);
  return setxattr(path.c_str(), kArchiveXattr, stamp.data(), stamp.size(), 0) == 0;
}

bool FileExists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- 8.3 aliases ----

bool IsValid83(const std::string &name, bool isDir) {
  const size_t dot = name.find('.');
  if (isDir && dot != std::string::npos)
    return false;
  const std::string stem = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  if (stem.empty() || stem.size() > 8 || ext.size() > 3)
    return false;
  if (dot != std::string::npos && ext.empty())
    return false;
  for (char c : stem)
    if (!IsDChar(c))
      return false;
  for (char c : ext)
    if (!IsDChar(c))
      return false;
  return true;
}

namespace {

// d-characters of a name part: letters upper-cased, spaces and dots
// dropped, every other character (a whole UTF-8 sequence) one "_".
std::string DChars(const std::string &s, size_t limit) {
  std::string out;
  for (size_t i = 0; i < s.size() && out.size() < limit;) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      size_t len = 1;
      while (i + len < s.size() && (static_cast<unsigned char>(s[i + len]) & 0xC0) == 0x80 && len < 4)
        ++len;
      out += '_';
      i += len;
      continue;
    }
    const char u = Upper(static_cast<char>(c));
    if (IsDChar(u))
      out += u;
    else if (u != ' ' && u != '.')
      out += '_';
    ++i;
  }
  return out;
}

} // namespace

std::string BaseAlias(const std::string &name, bool isDir) {
  if (IsValid83(name, isDir))
    return std::string();
  if (isDir) {
    // Dots of a folder name become "_" (none may stand in its identifier).
    std::string flat = name;
    size_t first = 0;
    while (first < flat.size() && flat[first] == '.')
      ++first;
    flat.erase(0, first);
    std::replace(flat.begin(), flat.end(), '.', '_');
    const std::string stem = DChars(flat, 8);
    return stem.empty() ? "_" : stem;
  }
  // Leading dots (hidden files) do not start an extension.
  size_t first = 0;
  while (first < name.size() && name[first] == '.')
    ++first;
  const std::string rest = name.substr(first);
  const size_t dot = rest.rfind('.');
  std::string stem = DChars(dot == std::string::npos ? rest : rest.substr(0, dot), 8);
  const std::string ext = dot == std::string::npos ? std::string() : DChars(rest.substr(dot + 1), 3);
  if (stem.empty())
    stem = "_";
  return ext.empty() ? stem : stem + "." + ext;
}

std::string TAliasSet::Key(const std::string &name) {
  if (!name.empty() && name.back() == '.')
    return name.substr(0, name.size() - 1);
  return name;
}

// The key of a name without building it: a trailing "." is left out.
uint64_t TAliasSet::KeyHash(const std::string &name) {
  const size_t n = (!name.empty() && name.back() == '.') ? name.size() - 1 : name.size();
  return HashBytes(name.data(), n);
}

bool TAliasSet::InsertKey(const std::string &key) {
  const uint64_t h = HashBytes(key.data(), key.size());
  if (used_.Contains(h))
    return false;
  used_.Insert(h);
  return true;
}

bool TAliasSet::Contains(const std::string &name) const { return used_.Contains(KeyHash(name)); }
void TAliasSet::Add(const std::string &name) { used_.Insert(KeyHash(name)); }
void TAliasSet::Remove(const std::string &name) { used_.EraseOne(KeyHash(name)); }

void TAliasSet::Clear() {
  used_.Clear();
  next_.clear();
  level_.clear();
}

std::string TAliasSet::MakeUnique(const std::string &name) {
  const std::string key = Key(name);
  if (InsertKey(key))
    return name;
  const size_t dot = key.rfind('.');
  const std::string stem = dot == std::string::npos ? key : key.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : key.substr(dot);  // with "."
  // Numbers with d digits take 8 - 1 - d characters of the stem; one counter
  // per kept prefix, so every candidate is tried at most once per prefix.
  // Levels whose numbers are used up for this name are not tried again.
  uint8_t &level = level_[key];
  if (level == 0)
    level = 1;
  uint32_t low = 1, high = 9;
  for (int d = 1; d < level; ++d, low *= 10, high = high * 10 + 9) {
  }
  for (int digits = level; digits <= 7; ++digits, low *= 10, high = high * 10 + 9) {
    level = static_cast<uint8_t>(digits);
    const std::string prefix = stem.substr(0, std::min<size_t>(stem.size(), 8 - 1 - digits));
    const std::string counterKey = prefix + '\x01' + std::to_string(digits) + ext;
    uint32_t &next = next_[counterKey];
    if (next < low)
      next = low;
    while (next <= high) {
      const std::string candidate = prefix + "~" + std::to_string(next++) + ext;
      if (InsertKey(candidate))
        return candidate;
    }
  }
  // More than ten million collisions on one name: no 8.3 form is left.
  return name;
}

void AssignAliases(std::vector<TSearchRec> &recs) {
  TAliasSet set;
  set.Reserve(recs.size());
  for (const TSearchRec &r : recs)
    if (IsValid83(r.Name, (r.Attr & faDirectory) != 0))
      set.Add(r.Name);
  for (TSearchRec &r : recs) {
    const bool isDir = (r.Attr & faDirectory) != 0;
    r.ShortName = IsValid83(r.Name, isDir) ? std::string() : set.MakeUnique(BaseAlias(r.Name, isDir));
  }
}

} // namespace ov
