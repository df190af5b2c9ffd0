// Directory listing with Windows-style attributes, dates and 8.3 aliases.
#pragma once

#include "ovDateTime.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
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

// True when name is a valid 8.3 name of upper-case d-characters (A-Z, 0-9, _):
// 1 to 8 of them, optionally "." and 1 to 3 more.
bool IsValid83(const std::string &name);
// The alias a name would get without siblings: upper case, d-characters,
// stem cut to 8 and extension to 3; "" when the name is valid 8.3 already.
std::string BaseAlias(const std::string &name);

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
  size_t Size() const { return used_.size(); }

private:
  static std::string Key(const std::string &name);
  std::unordered_set<std::string> used_;
  std::unordered_map<std::string, uint32_t> next_;
};

// Fills ShortName of every record so that the aliases are unique within
// recs: names that are valid 8.3 names keep an empty alias and reserve their
// own name first, the others get their BaseAlias, numbered on collision.
void AssignAliases(std::vector<TSearchRec> &recs);

} // namespace ov
