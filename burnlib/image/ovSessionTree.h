// The file tree of one session as a reader of the disc sees it: cleaned
// names, whole files (several extents joined), local dates. Built on the
// ISO reader's walk, so every bound and guard of the reader applies; used by
// session import, `skarvo ls` and `skarvo extract`.
#pragma once

#include "ovDiscSource.h"
#include "ovISORead.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iso {

namespace rr {
class TReader;
}

// A run of data on the disc: first sector and byte length.
struct TExtent {
  uint64_t Lba = 0;
  uint32_t Length = 0;
};

struct TEntry {
  std::string Name;  // cleaned UTF-8 name, version cut; "" for the root
  bool Directory = false;
  bool Hidden = false;
  uint64_t Size = 0;             // a file's bytes (all extents); a directory's extent size
  std::vector<TExtent> Extents;  // a file's data in order (none when empty); a directory's extent
  double Date = 0;               // TDateTime, local time; NaN when the record's date is invalid
  uint32_t IdentifierBytes = 0;  // length of the recorded identifier
  int32_t Parent = -1;           // -1 for the root
  int32_t FirstChild = 0;        // children are Entries[FirstChild, FirstChild + ChildCount)
  int32_t ChildCount = 0;
};

// What Rock Ridge recorded for one entry, in fixed fields (the link
// targets are kept apart: few entries have one).
struct TEntryAttrs {
  uint32_t Mode = 0;  // st_mode, type bits included; 0 when no PX was recorded
  uint32_t Links = 1, Uid = 0, Gid = 0;
  int64_t ModifyTime = 0, AccessTime = 0, ChangeTime = 0;  // seconds since 1970 UTC
  uint8_t Stamps = 0;  // kStampModify | kStampAccess | kStampChange: which times were recorded
};
constexpr uint8_t kStampModify = 1, kStampAccess = 2, kStampChange = 4;

struct TSessionTree {
  bool Joliet = false;
  bool RockRidge = false;             // names and attributes come from Rock Ridge
  std::vector<TEntry> Entries;        // breadth first; [0] is the root
  std::vector<TEntryAttrs> Attrs;     // indexed like Entries with Rock Ridge; empty without
  std::vector<std::pair<int32_t, std::string>> LinkTargets;  // symbolic links: entry index (ascending), target
  std::vector<std::string> Messages;  // what was left out or could not be read, and why
  std::vector<std::string> Notices;   // what the reader chose for the user to know; nothing lost
};

// Which names a reader shows: Rock Ridge, then Joliet, then the primary
// names (as the Linux kernel reads a disc); Joliet, then primary; or the
// primary names alone.
enum class TTreeChoice { PreferRockRidge, PreferJoliet, Primary };

// The target of a symbolic link entry; nullptr when the entry is no link.
const std::string *LinkTarget(const TSessionTree &Tree, int32_t Index);

// "/" for the root, else "/DIR/name", from the names of the entry's parents.
std::string EntryPath(const TSessionTree &Tree, int32_t Index);

// What Rock Ridge recorded for one entry of a walk.
struct TEntryRock {
  TEntryAttrs Attrs;
  const std::string *LinkTarget = nullptr;  // a symbolic link's target; nullptr for other entries
};

// A session's tree read one directory at a time, for listing trees of any
// width in little memory: only what the caller keeps is held. The tree is
// chosen, and its entries made, as ReadSessionTree does, under the same
// bounds and guards of the walk.
class TSessionWalk {
public:
  // Messages gets what was left out or could not be read, as it is found.
  explicit TSessionWalk(std::function<void(const std::string &)> Messages);
  ~TSessionWalk();
  // Reads the descriptors and picks the tree. False with Error when the
  // session has no readable descriptor.
  bool Open(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, std::string &Error);
  bool Joliet() const { return joliet_; }
  bool RockRidge() const { return rock_ != nullptr; }
  const TEntry &Root() const { return root_; }
  const TDirRecord &RootRecord() const { return rootRecord_; }
  // The root's Rock Ridge attributes (nullptr without Rock Ridge).
  const TEntryRock *RootRock() const { return rock_ ? &rootRock_ : nullptr; }
  // What the choice of tree tells the user (a Joliet tree given up).
  const std::vector<std::string> &Notices() const { return notices_; }

  // Each usable entry of a directory, in record order, with the record of
  // the directory to list for it (a relocated directory's own; else the
  // entry's first record) and, in a Rock Ridge tree, its attributes. Dir is
  // RootRecord() or a record handed to Visit, DirPath its path, Depth its
  // depth (0 for the root). Visit may list a directory entry in turn before
  // returning.
  using TVisit = std::function<void(TEntry &Entry, const TDirRecord &Record, const TEntryRock *Rock)>;
  void List(const TDirRecord &Dir, const std::string &DirPath, uint32_t Depth, const TVisit &Visit);

private:
  std::function<void(const std::string &)> message_;
  std::unique_ptr<TISOReader> reader_;
  std::unique_ptr<TWalkGuard> guard_;
  std::unique_ptr<rr::TReader> rock_;
  bool joliet_ = false;
  TEntry root_;
  TEntryRock rootRock_;
  TDirRecord rootRecord_;
  std::vector<std::string> notices_;
};

// Reads the descriptors of the session at SessionStart and walks the primary
// tree when it carries Rock Ridge (PreferRockRidge), else the Joliet tree
// when there is one (unless Primary is asked for), else the primary tree. A
// Joliet tree that cannot be read, or is empty while the primary
// tree is not, gives way to the primary tree, with a notice. False with
// Error when the session has no readable descriptor.
bool ReadSessionTree(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, TSessionTree &Tree,
                     std::string &Error);
// Walks the tree below one directory extent; with RockRidge (a primary tree
// whose root was found to carry it) its names and attributes are read too.
void ReadTreeAt(TISOReader &Reader, uint32_t Extent, uint32_t Length, bool Joliet, TSessionTree &Tree,
                bool RockRidge = false);

// A recorded identifier as a local name: UCS-2 (Joliet) or 8-bit text to
// UTF-8, cut before its ";" version; "/", NUL and other control characters
// become "_". The caller refuses "", "." and "..".
std::string CleanName(const std::string &Identifier, bool Joliet);
// A Rock Ridge name as a local name: its bytes kept, "/", NUL and other
// control characters made "_". The caller refuses "", "." and "..".
std::string CleanRockRidgeName(const std::string &Name);
// Whether a cleaned name may be used as a local file name.
bool UsableName(const std::string &Name);
// The 7-byte recording date as local TDateTime (its UTC offset applied);
// NaN when a field is out of range.
double RecordDate(const uint8_t Date[7]);

// The names of a path, empty ones skipped: "/A//b.txt" gives "A", "b.txt".
std::vector<std::string> PathNames(const std::string &Path);

// How a path's name picks among a folder's entries: the one named as
// recorded, else the only one whose name matches ignoring ASCII case.
class TNameMatch {
public:
  explicit TNameMatch(std::string Name) : name_(std::move(Name)) {}
  enum TKind { None, Exact, Folded };
  // How Name matches (Folded: a candidate, the pick only if it stays alone).
  TKind Offer(const std::string &Name);
  bool Found() const { return exact_ || folded_ == 1; }

private:
  std::string name_;
  bool exact_ = false;
  int folded_ = 0;
};

// The entry at Path ("/", "/A/b.txt"; "" is the root): names compared as
// recorded, else ignoring ASCII case when that finds one entry. -1 when none.
int32_t FindPath(const TSessionTree &Tree, const std::string &Path);

// Sessions of an image file: the first at sector 0, each further one found
// by its volume descriptor within the usual gap after the end of the one
// before. An image whose descriptors at sector 16 copy those of its last
// session (overwritable media, and peers' multisession files) has its first
// session at sector 32: the chain of sessions is followed from there. False
// when sector 16 holds no primary descriptor. Notes, when given, gets what was
// wrong on the way (and why nothing was found).
bool FindImageSessions(TSectorSource &Source, std::vector<TSessionExtent> &Sessions,
                       std::vector<std::string> *Notes = nullptr);

} // namespace iso
