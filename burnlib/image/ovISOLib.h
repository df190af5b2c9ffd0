// Records of the compilation tree, name rules, and the on-disc text helpers.
#pragma once

#include "ovDateTime.h"
#include "ovFiles.h"
#include "ovRockRidge.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

using ov::TDateTime;
using ov::TSearchRec;

struct TFEntry;

// Rock Ridge data an entry carries beyond its permission bits, made only for
// the entries that need it: attributes recorded as they are (kept at
// insertion, or read from an imported session), a symbolic link's target,
// or a POSIX name that differs from the long name.
struct TRRInfo {
  iso::rr::TPosixAttrs Attrs;  // LinkTarget set: the entry is a symbolic link
  bool Recorded = false;       // Attrs hold the entry's own mode, owners and times
  bool FromDisc = false;       // recorded by an imported session: always written back
  std::string Name;            // the POSIX name when it differs from LongName
  // A file the source has under other names too: the object's identity, so
  // that its names in the compilation share one copy of the data.
  uint64_t Dev = 0, Ino = 0;
  // Set by the layout for files linked to others in the image: the entry
  // whose data they share (null for that entry itself), and the names the
  // image gives the object (the link count written).
  const TFEntry *DataOf = nullptr;
  uint32_t ImageLinks = 0;
};
// TFEntry::Perms / TDEntry::Perms: the permission bits (07777) captured from
// the source, with kPermsKnown set; 0 when nothing was captured.
constexpr uint16_t kPermsKnown = 0x8000;
// Perms flag of a file whose long name got a "." its POSIX name has not.
constexpr uint16_t kPermsDotAdded = 0x4000;
// Longest name kept whole for Rock Ridge (a POSIX file name, in bytes).
constexpr size_t kMaxPosixName = 255;

// One run of a file's data on the disc: absolute sector and byte length.
struct TFileExtent {
  uint32_t Lba = 0;
  uint32_t Length = 0;
};

// The extents of an imported file recorded in several, held out of line:
// nearly every entry has none, and each entry's size counts in large trees.
class TExtentList {
public:
  bool empty() const { return !v_ || v_->empty(); }
  size_t size() const { return v_ ? v_->size() : 0; }
  const TFileExtent &operator[](size_t k) const { return (*v_)[k]; }
  const TFileExtent *begin() const { return v_ ? v_->data() : nullptr; }
  const TFileExtent *end() const { return v_ ? v_->data() + v_->size() : nullptr; }
  void reserve(size_t n) { Vec().reserve(n); }
  void push_back(const TFileExtent &x) { Vec().push_back(x); }

private:
  std::vector<TFileExtent> &Vec() {
    if (!v_)
      v_ = std::make_unique<std::vector<TFileExtent>>();
    return *v_;
  }
  std::unique_ptr<std::vector<TFileExtent>> v_;
};

// Entries of one directory by long name, compared upper-cased (ASCII).
// Keyed by a hash of the name so that no name is stored twice.
class TNameIndex {
public:
  TFEntry *Find(const std::string &longName) const;
  void Add(TFEntry *e);     // under e->LongName
  void Remove(TFEntry *e);  // when it is the entry indexed under e->LongName
  size_t Size() const { return map_.Size(); }

private:
  ov::THashMulti<TFEntry *> map_;
};

// Numbered names (" (k)") given in one directory: the next number to try per
// name, and the entry each renamed source got, so that inserting a source
// again finds it. Made only for directories that need it.
struct TNameNumbering {
  std::unordered_map<std::string, uint32_t> Next;         // upper-cased name -> next k
  std::unordered_map<std::string, TFEntry *> BySource;    // source path -> its entry
};

// The local folders new files come from, each held once: a file keeps a
// pointer to its folder's path here instead of a whole path of its own.
// Paths stay until Clear, so removing entries never leaves one dangling.
class TSourceFolders {
public:
  // The held copy of the first n bytes of Path (a folder ending in "/", or
  // empty for a path without one).
  const std::string *Intern(const std::string &Path, size_t n);
  void Clear();
  size_t Size() const { return set_.size(); }

private:
  std::unordered_set<std::string> set_;  // node-based: pointers to elements stay valid
  const std::string *last_ = nullptr;    // listings come folder by folder
};

// One directory of the compilation.
struct TDEntry {
  std::string ISOName;     // ISO 9660 name; root "CD_ROOT"
  std::string LongName;    // Joliet name; root "CD Root Directory"
  int64_t ISOSize = 0;     // bytes of the ISO extent (layout)
  int64_t JolietSize = 0;  // bytes of the Joliet extent (layout)
  std::string Path;        // "\" or "\A\B" of upper-cased long names
  int32_t ISOAddress = 0;     // sector relative to DirRecordsStart (layout)
  int32_t JolietAddress = 0;  // sector relative to JolietDirRecordsStart (layout)
  int32_t Number = 0;         // path-table number, root 1
  TDEntry *Parent = nullptr;  // the root is its own parent
  TFEntry *Entries = nullptr; // first entry of the chain

  // Kept by the tree operations for fast lookups; not part of the layout.
  TFEntry *LastEntry = nullptr;                          // tail of the chain
  TFEntry *SelfEntry = nullptr;                          // the entry in Parent's chain
  std::string SourcePath;                                // local folder it was made from, or empty
  TNameIndex NameIndex;                                  // entries by long name
  ov::TAliasSet ISONames;                                // ISO names of the entries
  std::unique_ptr<TNameNumbering> Numbering;             // numbered names, when any
  bool Dead = false;                                     // being removed
  // Rock Ridge attributes of the directory (its entry in the parent keeps none).
  uint16_t Perms = 0;
  uint32_t ATime = 0, CTime = 0;  // access and change times, seconds since 1970; 0 unknown
  std::unique_ptr<TRRInfo> RR;
};

// One entry of a directory: a file, or the entry standing for a subdirectory.
struct TFEntry {
  std::string ISOName;     // upper case, without ";1"
  std::string LongName;    // without ";1"; a file's source name unless set apart (see SetSource)
  TDateTime DateTime = 0;  // recording date, local time
  int64_t Size = 0;        // file bytes; directory entry: the directory's ISOSize
  int64_t JolietSize = 0;  // file bytes; directory entry: the directory's JolietSize
  int32_t ISOAddress = 0;  // sector relative to FirstFileAddress (absolute when Imported)
  int32_t JolietAddress = 0;
  int32_t Attr = 0;        // 0x10 directory, 0x02 hidden, 0x20 archive, 0x01 read-only
  bool ClearArchive = false;
  bool Imported = false;   // data already on the disc; addresses are absolute
  bool Dead = false;       // being removed (kept by the tree operations)
private:
  uint8_t sourceNameKind_ = 0;  // how the name part of the source is held (see SetSource)
public:
  TDEntry *Dir = nullptr;  // for a directory entry, the directory
  TFEntry *Next = nullptr; // next entry of the same directory
  // An imported file recorded in several extents: all of them, in order
  // (ISOAddress is the first). Empty for every other entry.
  TExtentList Extents;

  // Kept by the tree operations; not part of the layout.
  TDEntry *Owner = nullptr; // directory whose chain holds the entry
  TFEntry *Prev = nullptr;  // previous entry of the chain
  // Rock Ridge attributes of a file or link (a directory's are in its TDEntry).
  uint16_t Perms = 0;
  uint32_t ATime = 0, CTime = 0;  // access and change times, seconds since 1970; 0 unknown
  std::unique_ptr<TRRInfo> RR;
  bool IsDir() const { return (Attr & ov::faDirectory) != 0 && Dir != nullptr; }
  bool IsLink() const { return RR && !RR->Attrs.LinkTarget.empty(); }
  // Whether the session's data area gets this entry's bytes: a new file with
  // data that shares none with another entry.
  bool WritesData() const {
    return !(Attr & ov::faDirectory) && HasSource() && Size > 0 && !(RR && RR->DataOf);
  }

  // The local file a new entry is read from. Imported and directory entries
  // have none.
  bool HasSource() const { return sourceFolder_ != nullptr; }
  std::string SourcePath() const;
  // Whether the local file is Path (no path is built).
  bool SourceIs(const std::string &Path) const;
  // The folder part of the source path ("" without one); null without a source.
  const std::string *SourceFolder() const { return sourceFolder_; }
  // Appends the name part of the source path to Out.
  void AppendSourceName(std::string &Out) const;
  // Sets the source to Path, its folder interned in Folders. The name part
  // is held only when it differs from LongName (and from LongName without
  // the "." added to a name that had none), so LongName must be set first
  // and must not change afterwards without a new SetSource. An empty Path
  // clears the source.
  void SetSource(TSourceFolders &Folders, const std::string &Path);

private:
  // Values of sourceNameKind_.
  enum : uint8_t { kNameIsLong = 0, kNameIsLongUndotted = 1, kNameHeld = 2 };
  const std::string *sourceFolder_ = nullptr;
  std::unique_ptr<std::string> sourceName_;  // kNameHeld: the name part
};

// A growable in-memory byte stream (the header image). The cache thread
// reads it from position 0 and clears it once queued.
class TMemoryStream {
public:
  size_t Write(const void *buf, size_t count);
  size_t Read(void *buf, size_t count);
  int64_t Seek(int64_t pos) { position_ = pos < 0 ? 0 : static_cast<size_t>(pos); return static_cast<int64_t>(position_); }
  int64_t Position() const { return static_cast<int64_t>(position_); }
  int64_t Size() const { return static_cast<int64_t>(data_.size()); }
  const uint8_t *Memory() const { return data_.data(); }
  // Empties the stream and releases its memory.
  void Clear();
  // Takes Bytes as the whole stream, positioned at its end, without a copy.
  void Assign(std::vector<uint8_t> &&Bytes);
  // Hands the bytes over without a copy; the stream is empty afterwards.
  std::vector<uint8_t> Release();

private:
  std::vector<uint8_t> data_;
  size_t position_ = 0;
};

// ---- name rules ----

// ASCII upper case (other bytes unchanged).
std::string UpperCase(const std::string &s);
// The alias made where no listing gives one: the first 13 characters,
// a-z upper-cased, every byte below 0x21 or above 0x7A replaced by "_".
std::string MakeAlias(const std::string &name);
// UCS-2 characters of UTF-8 text: characters outside the BMP and
// malformed bytes become '_'.
std::u16string Utf8ToUCS2(const std::string &s);
// Number of UCS-2 characters of UTF-8 text (as Utf8ToUCS2 would give).
size_t UCS2Length(const std::string &s);
// A long name as it may stand in a Joliet record: malformed UTF-8, characters
// outside the BMP, control characters and * / : ; ? \ become '_'.
std::string SanitizeLongName(const std::string &name);
// Cuts a long name to at most maxChars UCS-2 characters, keeping a short
// extension (up to 16 characters) when there is one.
std::string FitLongName(const std::string &name, size_t maxChars);
// Longest long names kept in the Joliet tree: a directory record of at most
// 255 bytes holds 110 UCS-2 characters, a file's name with its ";1" included.
constexpr size_t kMaxJolietFileChars = 108;
constexpr size_t kMaxJolietDirChars = 110;
// Largest data length of one directory record: a whole number of sectors
// below 4 GiB. A larger file is recorded in several extents of this size
// (the last one shorter), each record but the last flagged as continued.
constexpr uint32_t kMaxExtentBytes = 0xFFFFF800u;
// Files of this size or more cannot be placed: their sectors would not fit
// the 32-bit sector addresses of the session.
constexpr int64_t kMaxFileSize = int64_t(1) << 42;

// ---- on-disc structures and text padding (layout) ----
// PadText, PadTextUCS2 and the writers of every on-disc structure.
#include "ovISOStruct.h"
