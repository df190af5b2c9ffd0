// Directory listing with Windows-style attributes, dates and 8.3 aliases.
#pragma once

#include "ovDateTime.h"

#include <cstdint>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace ov {

// File attribute bits as a Windows listing reports them.
constexpr int32_t faReadOnly = 0x01;
constexpr int32_t faHidden = 0x02;
constexpr int32_t faSysFile = 0x04;
constexpr int32_t faVolumeID = 0x08;
constexpr int32_t faDirectory = 0x10;
constexpr int32_t faArchive = 0x20;
constexpr int32_t faAnyFile = 0x3F;

// Extended attribute that records the modification time at which the
// archive bit was last cleared.
constexpr const char *kArchiveXattr = "user.skarvo.archived";

// One name of a directory listing.
struct TSearchRec {
  TDateTime Time = 0;     // last write, local time; NaN when it does not convert
  int64_t Size = 0;       // bytes (0 for folders)
  int32_t Attr = 0;       // fa* bits
  std::string Name;       // the name as the file system has it (UTF-8)
  std::string ShortName;  // 8.3 alias; empty when Name is itself a valid upper-case 8.3 name
  uint64_t Dev = 0;       // identity of the object reached (links followed),
  uint64_t Ino = 0;       // used to guard recursive walks against cycles
  // POSIX status of the object reached: st_mode, owners, and the times in
  // seconds since 1970 (UTC).
  uint32_t Mode = 0, Uid = 0, Gid = 0;
  int64_t MTime = 0, ATime = 0, CTime = 0;
  uint32_t Links = 1;  // st_nlink: above 1, other names share the object
};

// Lists the names of one folder that match a Windows name mask ("*.*" matches
// every name). Pattern is "folder/mask"; a mask without wildcards names one
// entry exactly. Links are followed; FIFOs, sockets, devices and dangling
// links are passed over; "." and ".." are never returned. Entries whose
// attributes carry hidden, system or directory bits not in attrMask are
// left out (as a Windows FindFirst does). Names come sorted case-insensitively
// and their aliases are unique within the listing. Returns false when the
// folder cannot be read.
bool FindFiles(const std::string &pattern, int32_t attrMask, std::vector<TSearchRec> &out);

// A name of a listing that FindFiles passed over, and why.
struct TPassedOver {
  enum TReason {
    Unreadable,   // its status could not be read (Error holds errno)
    DanglingLink, // a symbolic link to nothing
    LoopingLink,  // a symbolic link that leads back to itself
    Special,      // a FIFO, socket or device
  };
  std::string Name;
  TReason Reason = Unreadable;
  int Error = 0;
};
// The same listing, also naming every matching entry it passed over. When
// the folder cannot be listed, false is returned with errno set. Without
// archiveBit no record carries faArchive: a caller that does not look at it
// spares an extended attribute read per file, most of a listing's cost
// after the status itself.
bool FindFiles(const std::string &pattern, int32_t attrMask, std::vector<TSearchRec> &out,
               std::vector<TPassedOver> &passedOver, bool archiveBit = true);
// Why a name was passed over, in words ("permission denied", "dangling link").
std::string PassedOverText(const TPassedOver &p);
// The record of one path (no mask matching: '*' and '?' are ordinary
// characters); its alias is BaseAlias of the name. False when the path does
// not exist, is a special file, or is left out by attrMask.
bool FindEntry(const std::string &path, int32_t attrMask, TSearchRec &rec);
// Whether a record with attributes attr passes an attribute mask.
bool AttrIncluded(int32_t attr, int32_t attrMask);

// Windows mask matching: case-insensitive, '*' and '?', "*.*" matches all,
// a mask ending in ".*" also matches names without a dot, and "*." matches
// names without a dot.
bool MatchesMask(const std::string &name, const std::string &mask);

// Attributes of one path (links followed); -1 when it does not exist.
int32_t FileGetAttr(const std::string &path);
// Applies the archive bit of attr to the file: clearing records the file's
// modification time in kArchiveXattr, setting removes it. The other bits are
// not stored on Linux. False when the file or its extended attributes are
// unavailable.
bool FileSetAttr(const std::string &path, int32_t attr);

bool FileExists(const std::string &path);       // an existing non-folder
bool DirectoryExists(const std::string &path);  // an existing folder

// ---- 8.3 aliases ----

// A compact open-addressing multimap from 64-bit hashes to small values,
// kept flat so that large folders stay cache friendly.
template <class V> class THashMulti {
public:
  void Insert(uint64_t h, V v) {
    if ((used_ + 1) * 2 > slots_.size())
      Grow();
    h = Fix(h);
    size_t i = h & (slots_.size() - 1);
    while (slots_[i].H > kTomb)
      i = (i + 1) & (slots_.size() - 1);
    if (slots_[i].H == kEmpty)
      ++used_;
    slots_[i].H = h;
    slots_[i].Val = v;
    ++size_;
  }
  // Calls fn(value&) for every value stored under h until fn returns true;
  // returns whether one did.
  template <class F> bool Find(uint64_t h, F fn) {
    if (slots_.empty())
      return false;
    h = Fix(h);
    for (size_t i = h & (slots_.size() - 1); slots_[i].H != kEmpty; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].H == h && fn(slots_[i].Val))
        return true;
    return false;
  }
  template <class F> bool Find(uint64_t h, F fn) const { return const_cast<THashMulti *>(this)->Find(h, fn); }
  // Removes the first value under h for which fn returns true.
  template <class F> bool Erase(uint64_t h, F fn) {
    if (slots_.empty())
      return false;
    h = Fix(h);
    for (size_t i = h & (slots_.size() - 1); slots_[i].H != kEmpty; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].H == h && fn(slots_[i].Val)) {
        slots_[i].H = kTomb;
        --size_;
        return true;
      }
    return false;
  }
  size_t Size() const { return size_; }
  void Clear() {
    std::vector<TSlot>().swap(slots_);
    used_ = size_ = 0;
  }

private:
  static constexpr uint64_t kEmpty = 0, kTomb = 1;
  struct TSlot {
    uint64_t H = kEmpty;
    V Val{};
  };
  static uint64_t Fix(uint64_t h) { return h <= kTomb ? h + 2 : h; }
  void Grow() {
    std::vector<TSlot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 16 : (size_ + 1) * 4 > old.size() ? old.size() * 2 : old.size(), TSlot{});
    used_ = size_ = 0;
    for (const TSlot &s : old)
      if (s.H > kTomb)
        Insert(s.H, s.Val);
  }
  std::vector<TSlot> slots_;
  size_t used_ = 0;  // slots not empty (values and tombstones)
  size_t size_ = 0;  // values
};

// A flat multiset of 64-bit hashes (8 bytes a slot).
class THashBag {
public:
  void Reserve(size_t n) {
    if (n * 2 > slots_.size())
      Rehash(Pow2(n * 2));
  }
  void Insert(uint64_t h) {
    if ((used_ + 1) * 2 > slots_.size())
      Rehash(slots_.empty() ? 16 : (size_ + 1) * 4 > slots_.size() ? slots_.size() * 2 : slots_.size());
    h = Fix(h);
    size_t i = h & (slots_.size() - 1);
    while (slots_[i] > kTomb)
      i = (i + 1) & (slots_.size() - 1);
    if (slots_[i] == kEmpty)
      ++used_;
    slots_[i] = h;
    ++size_;
  }
  bool Contains(uint64_t h) const { return Locate(h) != SIZE_MAX; }
  bool EraseOne(uint64_t h) {
    const size_t i = Locate(h);
    if (i == SIZE_MAX)
      return false;
    slots_[i] = kTomb;
    --size_;
    return true;
  }
  size_t Size() const { return size_; }
  void Clear() {
    std::vector<uint64_t>().swap(slots_);
    used_ = size_ = 0;
  }

private:
  static constexpr uint64_t kEmpty = 0, kTomb = 1;
  static uint64_t Fix(uint64_t h) { return h <= kTomb ? h + 2 : h; }
  static size_t Pow2(size_t n) {
    size_t p = 16;
    while (p < n)
      p *= 2;
    return p;
  }
  size_t Locate(uint64_t h) const {
    if (slots_.empty())
      return SIZE_MAX;
    h = Fix(h);
    for (size_t i = h & (slots_.size() - 1); slots_[i] != kEmpty; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i] == h)
        return i;
    return SIZE_MAX;
  }
  void Rehash(size_t n) {
    std::vector<uint64_t> old(n, kEmpty);
    old.swap(slots_);
    used_ = size_ = 0;
    for (uint64_t h : old)
      if (h > kTomb)
        Insert(h);
  }
  std::vector<uint64_t> slots_;
  size_t used_ = 0;
  size_t size_ = 0;
};

// 64-bit FNV-1a of a byte string.
inline uint64_t HashBytes(const char *p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h ^ (h >> 29);
}

// True when name is a valid 8.3 name of upper-case d-characters (A-Z, 0-9, _):
// 1 to 8 of them, optionally "." and 1 to 3 more.
// A folder (isDir) takes no extension: 1 to 8 d-characters only, as
// ISO 9660 directory identifiers have no "." separator.
bool IsValid83(const std::string &name, bool isDir = false);
// The alias a name would get without siblings: upper case, d-characters,
// stem cut to 8 and extension to 3; "" when the name is valid 8.3 already.
std::string BaseAlias(const std::string &name, bool isDir = false);

// The 8.3 names in use in one folder, and the numbering that makes a new one
// unique ("STEM~N.EXT" within 8 characters). Names compare with a trailing
// "." ignored ("README." and "README" are the same name to a reader).
// Per-prefix counters keep the cost linear when thousands of names collide.
class TAliasSet {
public:
  bool Contains(const std::string &name) const;
  void Add(const std::string &name);
  void Remove(const std::string &name);
  // name itself when free, else the first free numbered variant; the result
  // is added to the set.
  std::string MakeUnique(const std::string &name);
  void Clear();
  void Reserve(size_t n) { used_.Reserve(n); }
  size_t Size() const { return used_.Size(); }

private:
  static std::string Key(const std::string &name);
  static uint64_t KeyHash(const std::string &name);
  bool InsertKey(const std::string &key);  // false when present
  THashBag used_;                          // hashes of the names in use
  std::unordered_map<std::string, uint32_t> next_;
  std::unordered_map<std::string, uint8_t> level_;
};

// Fills ShortName of every record so that the aliases are unique within
// recs: names that are valid 8.3 names keep an empty alias and reserve their
// own name first, the others get their BaseAlias, numbered on collision.
void AssignAliases(std::vector<TSearchRec> &recs);

} // namespace ov
