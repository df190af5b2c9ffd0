// Reader of ISO 9660 / Joliet / El Torito structures. Every byte comes from
// an untrusted source: each field is bounds-checked, nothing is read outside
// the sector being walked, and directory walks are guarded against loops and
// absurd depths. Used by the image checker, session import, ls and extract.
#pragma once

#include "ovSectorSource.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace iso {

constexpr uint32_t kSectorSize = 2048;
constexpr uint32_t kSystemAreaSectors = 16;

// Byte offsets of a volume descriptor (primary, supplementary, terminator).
namespace vd {
constexpr size_t Type = 0, StandardId = 1, Version = 6, Flags = 7, SystemId = 8, VolumeId = 40,
                 SpaceSize = 80, Escapes = 88, SetSize = 120, SequenceNumber = 124, BlockSize = 128,
                 PathTableSize = 132, PathTableL = 140, PathTableOptL = 144, PathTableM = 148,
                 PathTableOptM = 152, RootRecord = 156, VolumeSetId = 190, PublisherId = 318, PreparerId = 446,
                 ApplicationId = 574, CreationDate = 813, ModificationDate = 830, StructureVersion = 881;
constexpr uint8_t kBootRecord = 0, kPrimary = 1, kSupplementary = 2, kPartition = 3, kTerminator = 255;
} // namespace vd

// Byte offsets of a directory record.
namespace dr {
constexpr size_t Length = 0, ExtAttrLength = 1, Extent = 2, DataLength = 10, Date = 18, Flags = 25,
                 FileUnitSize = 26, InterleaveGap = 27, SequenceNumber = 28, NameLength = 32, Name = 33;
constexpr size_t kMinLength = 34;  // 33 bytes of fields and at least one of name
constexpr uint8_t kHidden = 0x01, kDirectory = 0x02, kAssociated = 0x04, kMultiExtent = 0x80;
} // namespace dr

// Byte offsets of a path-table record.
namespace pt {
constexpr size_t NameLength = 0, ExtAttrLength = 1, Extent = 2, Parent = 6, Name = 8;
} // namespace pt

// Byte offsets of the El Torito boot record and catalog entries.
namespace eltorito {
constexpr size_t BootSystemId = 7, CatalogPointer = 71;
constexpr size_t EntrySize = 32;
// Validation entry.
constexpr size_t HeaderId = 0, Platform = 1, IdString = 4, Checksum = 28, Key55 = 30, KeyAA = 31;
// Initial, default and section entries.
constexpr size_t BootIndicator = 0, MediaType = 1, LoadSegment = 2, SystemType = 4, SectorCount = 6, LoadRba = 8;
// Section header.
constexpr size_t SectionEntries = 2;
constexpr char kSystemId[] = "EL TORITO SPECIFICATION";
} // namespace eltorito

// A both-endian field whose little-endian and big-endian halves differ.
struct TMismatch {
  std::string Field;
  uint32_t LE = 0, BE = 0;
};

// Where a structure was read: absolute sector and byte offset in it.
struct TWhere {
  uint64_t Lba = 0;
  uint32_t Offset = 0;
};

struct TDirRecord {
  uint8_t Length = 0;
  uint8_t ExtAttrLength = 0;
  uint32_t Extent = 0;      // little-endian half
  uint32_t DataLength = 0;  // little-endian half
  uint8_t Date[7] = {};
  uint8_t Flags = 0;
  uint8_t FileUnitSize = 0;
  uint8_t InterleaveGap = 0;
  uint16_t SequenceNumber = 0;
  std::string Identifier;  // raw bytes
  std::string SystemUse;   // bytes after the identifier (Rock Ridge and other extensions)
  std::vector<TMismatch> Mismatches;
  TWhere At;

  bool IsDirectory() const { return (Flags & dr::kDirectory) != 0; }
  bool IsDot() const { return Identifier.size() == 1 && Identifier[0] == '\0'; }
  bool IsDotDot() const { return Identifier.size() == 1 && Identifier[0] == '\1'; }
  uint32_t Sectors() const { return DataLength / kSectorSize + (DataLength % kSectorSize ? 1 : 0); }
};

struct TVolumeDescriptor {
  uint8_t Type = 0;
  uint8_t Version = 0;
  uint64_t Lba = 0;
  bool Joliet = false;  // a supplementary descriptor with a UCS-2 escape sequence
  std::string SystemId, VolumeId, VolumeSetId, PublisherId, PreparerId, ApplicationId;  // raw bytes
  std::string Escapes;  // bytes 88..119
  uint32_t VolumeSpaceSize = 0;
  uint16_t VolumeSetSize = 0, SequenceNumber = 0, BlockSize = 0;
  uint32_t PathTableSize = 0, PathTableL = 0, PathTableOptL = 0, PathTableM = 0, PathTableOptM = 0;
  uint8_t StructureVersion = 0;
  TDirRecord Root;
  bool RootValid = false;
  std::string RootProblem;  // why the root record could not be read
  std::vector<TMismatch> Mismatches;
};

struct TBootRecord {
  uint64_t Lba = 0;
  bool ElTorito = false;  // the boot system identifier names El Torito
  uint32_t CatalogLba = 0;
};

struct TPathRecord {
  uint32_t Offset = 0;  // byte offset in the table
  uint8_t ExtAttrLength = 0;
  uint32_t Extent = 0;
  uint16_t Parent = 0;
  std::string Identifier;  // raw bytes
};

// Something a read found wrong with the structure at a place.
struct TReadProblem {
  TWhere At;
  std::string Text;
};

// One entry of a directory tree. Nodes are stored breadth first: the root is
// node 0, and the children of a directory are contiguous, in record order.
struct TNode {
  TDirRecord Record;       // for the root, the descriptor's root record
  int32_t Parent = -1;     // index of the parent directory; -1 for the root
  uint32_t Depth = 0;      // the root is 0
  int32_t FirstChild = 0;  // children are Nodes[FirstChild, FirstChild + ChildCount)
  int32_t ChildCount = 0;
  // The "." and ".." records of a directory that was read.
  bool NotEntered = false;  // a directory left unread: a loop, too deep, or the walk stopped
  bool DotsRead = false;
  uint32_t DotExtent = 0, DotLength = 0, DotDotExtent = 0, DotDotLength = 0;
};

struct TTree {
  bool Joliet = false;
  std::vector<TNode> Nodes;
  std::vector<TReadProblem> Problems;
  bool Stopped = false;  // a limit of the walk was reached: directories after it were left unread
};

// "/" for the root, else "/A/B;1" built from the identifiers as text.
std::string NodePath(const TTree &Tree, size_t Index);

// Limits of a walk: deeper directories, directories seen twice and
// directories whose extent overlaps one already walked are reported and not
// entered.
constexpr uint32_t kMaxDepth = 255;
// Largest directory extent or path table read, in bytes.
constexpr uint32_t kMaxStructureBytes = 64u << 20;

// What one walk may read in all. A sound disc stays far below both; a hostile
// one (records repeated, extents stacked) is stopped with a message instead of
// exhausting memory or time.
struct TWalkLimits {
  uint64_t MaxEntries = 2'000'000;             // records kept, all directories together
  uint64_t MaxDirectoryBytes = uint64_t{256} << 20;  // directory extent bytes read
};

// The "." and ".." records at the head of a directory that was read.
struct TDots {
  bool Read = false;
  uint32_t DotExtent = 0, DotLength = 0, DotDotExtent = 0, DotDotLength = 0;
};

// The bounds of one walk, kept across its directories whatever their order:
// the entry and directory-byte limits, and the directory extents already
// walked (a sound tree's directories never share sectors; one that does is a
// loop, a directory linked twice, or a hostile disc making the walk read the
// same records over).
class TWalkGuard {
public:
  TWalkGuard(const TWalkLimits &Limits, const TDirRecord &Root);
  // A limit was reached: no further directory is read.
  bool Stopped() const { return stopped_; }
  // Takes in a directory the walk reaches other than through a record of
  // its parent (a relocated one): false when its extent overlaps one walked.
  bool Enter(const TDirRecord &Dir);

private:
  friend class TISOReader;
  TWalkLimits limits_;
  std::map<uint64_t, uint64_t> walked_;  // sector ranges [first, end)
  uint64_t bytes_ = 0, entries_ = 1;  // the root counts as an entry
  bool stopped_ = false;
  // The start of a walked range that [start, end) overlaps, or -1 after adding it.
  int64_t Add(uint64_t start, uint64_t end);
};

// One record of a directory as a walk hands it on. Refused: a directory the
// walk does not enter (a loop, an overlap, too deep), reported, its
// directory flag cleared.
using TRecordVisit = std::function<void(TDirRecord &Record, bool Refused)>;

// Parses the record at p with Avail bytes left in its sector. False with Why
// when it does not fit or its identifier runs past its length.
bool ParseDirRecord(const uint8_t *p, size_t Avail, TDirRecord &Record, std::string &Why);
// Whether the system use area holds an entry with the two-letter signature
// (for example "CL", the place holder of a relocated Rock Ridge directory).
bool HasSystemUseEntry(const TDirRecord &Record, const char Signature[2]);
// Parses a 2048-byte descriptor sector of type 1 or 2.
void ParseVolumeDescriptor(const uint8_t *Sector, uint64_t Lba, TVolumeDescriptor &Desc);
// Parses a path table held in Table (Size bytes). Problems get offsets in
// the table.
std::vector<TPathRecord> ParsePathTable(const uint8_t *Table, size_t Size, bool BigEndian,
                                        std::vector<TReadProblem> &Problems);

// An identifier as UTF-8 text for paths and messages. Joliet identifiers are
// big-endian UCS-2; an unpaired surrogate shows as U+FFFD. Bytes outside
// printable ASCII in a primary identifier show as "\xNN".
std::string IdentifierText(const std::string &Raw, bool Joliet);

class TISOReader {
public:
  explicit TISOReader(TSectorSource &Source, uint32_t SessionStart = 0) : src_(Source), session_(SessionStart) {}

  // Reads the descriptor set from SessionStart + 16 to the terminator. False
  // with Error when no primary descriptor can be read.
  bool ReadDescriptors(std::string &Error);
  const std::vector<TVolumeDescriptor> &Descriptors() const { return descs_; }
  const TVolumeDescriptor *Primary() const;
  const TVolumeDescriptor *Joliet() const;
  const TBootRecord *BootRecord() const { return hasBoot_ ? &boot_ : nullptr; }
  bool TerminatorFound() const { return terminator_; }
  // The sector after the last descriptor read (the terminator included).
  uint64_t DescriptorSetEnd() const { return setEnd_; }
  const std::vector<TReadProblem> &DescriptorProblems() const { return descProblems_; }
  uint32_t SessionStart() const { return session_; }
  TSectorSource &Source() { return src_; }

  // Reads one sector into Buffer (2048 bytes).
  bool ReadSector(uint64_t Lba, uint8_t *Buffer, std::string &Error);
  // The records of a directory extent, "." and ".." included, in order.
  // Records that cross a sector or overrun the extent are reported and
  // left out.
  bool ReadDirectory(const TDirRecord &Dir, std::vector<TDirRecord> &Records, std::vector<TReadProblem> &Problems);
  // The same, one record at a time, without holding the directory's records.
  bool ForEachRecord(const TDirRecord &Dir, std::vector<TReadProblem> &Problems,
                     const std::function<void(TDirRecord &)> &Visit);
  // Walks the whole tree of a descriptor breadth first.
  void ReadTree(const TVolumeDescriptor &Desc, TTree &Tree);
  // Walks the tree below one directory record (node 0 of Tree) breadth first.
  void ReadTreeFrom(const TDirRecord &Root, bool Joliet, TTree &Tree);
  // Reads one directory of a walk, in any order the caller chooses: stops
  // at the walk's limits, hands on its records after "." and ".." (kept in
  // Dots) one at a time, and refuses child directories that must not be
  // entered. Path gives Dir's path for messages. Directory records that
  // Elsewhere (when given) picks are handed on without being taken into the
  // walk: they are shown at another place. False when the directory was not
  // read because a limit of the walk was reached.
  bool WalkDirectory(const TDirRecord &Dir, uint32_t Depth, bool Joliet, TWalkGuard &Guard,
                     const std::function<std::string()> &Path, std::vector<TReadProblem> &Problems, TDots &Dots,
                     const TRecordVisit &Visit, const std::function<bool(const TDirRecord &)> &Elsewhere = {});
  // Reads Size bytes of a path table at Lba.
  bool ReadPathTable(uint32_t Lba, uint32_t Size, bool BigEndian, std::vector<TPathRecord> &Records,
                     std::vector<TReadProblem> &Problems, std::string &Error);

  TWalkLimits Limits;

private:
  TSectorSource &src_;
  uint32_t session_;
  std::vector<TVolumeDescriptor> descs_;
  TBootRecord boot_;
  bool hasBoot_ = false;
  bool terminator_ = false;
  uint64_t setEnd_ = 0;
  std::vector<TReadProblem> descProblems_;
};

} // namespace iso
