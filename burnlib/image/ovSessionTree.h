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

struct TSessionTree {
  bool Joliet = false;
  std::vector<TEntry> Entries;        // breadth first; [0] is the root
  std::vector<std::string> Messages;  // what was left out or could not be read, and why
  std::vector<std::string> Notices;   // what the reader chose for the user to know; nothing lost
};

enum class TTreeChoice { PreferJoliet, Primary };

// "/" for the root, else "/DIR/name", from the names of the entry's parents.
std::string EntryPath(const TSessionTree &Tree, int32_t Index);

// A session's tree read one directory at a time, for listing trees of any
// width in little memory: only what the caller keeps is held. The tree is
// chosen, and its entries made, as ReadSessionTree does, under the same
// bounds and guards of the walk.
class TSessionWalk {
public:
  // Messages gets what was left out or could not be read, as it is found.
  explicit TSessionWalk(std::function<void(const std::string &)> Messages) : message_(std::move(Messages)) {}
  // Reads the descriptors and picks the tree. False with Error when the
  // session has no readable descriptor.
  bool Open(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, std::string &Error);
  bool Joliet() const { return joliet_; }
  const TEntry &Root() const { return root_; }
  const TDirRecord &RootRecord() const { return rootRecord_; }
  // What the choice of tree tells the user (a Joliet tree given up).
  const std::vector<std::string> &Notices() const { return notices_; }

  // Each usable entry of a directory, in record order, with its record
  // (the first of a file in several extents; its system use bytes hold any
  // extension's fields). Dir is RootRecord() or a record handed to Visit,
  // DirPath its path, Depth its depth (0 for the root). Visit may list a
  // directory entry in turn before returning.
  using TVisit = std::function<void(TEntry &Entry, const TDirRecord &Record)>;
  void List(const TDirRecord &Dir, const std::string &DirPath, uint32_t Depth, const TVisit &Visit);

private:
  std::function<void(const std::string &)> message_;
  std::unique_ptr<TISOReader> reader_;
  std::unique_ptr<TWalkGuard> guard_;
  bool joliet_ = false;
  TEntry root_;
  TDirRecord rootRecord_;
  std::vector<std::string> notices_;
};

// Reads the descriptors of the session at SessionStart and walks the Joliet
// tree when there is one (unless Primary is asked for), else the primary
// tree. A Joliet tree that cannot be read, or is empty while the primary
// tree is not, gives way to the primary tree, with a notice. False with
// Error when the session has no readable descriptor.
bool ReadSessionTree(TSectorSource &Source, uint32_t SessionStart, TTreeChoice Choice, TSessionTree &Tree,
                     std::string &Error);
// Walks the tree below one directory extent.
void ReadTreeAt(TISOReader &Reader, uint32_t Extent, uint32_t Length, bool Joliet, TSessionTree &Tree);

// A recorded identifier as a local name: UCS-2 (Joliet) or 8-bit text to
// UTF-8, cut before its ";" version; "/", NUL and other control characters
// become "_". The caller refuses "", "." and "..".
std::string CleanName(const std::string &Identifier, bool Joliet);
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
