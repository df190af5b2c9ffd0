// Identifiers and record lengths shared by the layout and the header builder,
// so that the sizes computed by PrepareLayout are exactly what BuildHeader
// writes.
#pragma once

#include "ovISOLib.h"
#include "ovISOStruct.h"
#include "ovRockRidgeWrite.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace ovlayout {

inline bool IsDirEntry(const TFEntry *e) { return e->IsDir(); }
inline uint64_t SectorsOf(uint64_t bytes) { return (bytes + ISOSectorSize - 1) / ISOSectorSize; }

// ISO identifier of a directory as its record and its path-table record
// carry it: the ISO name, cut to what a record can hold.
std::string ISODirIdentifier(const TDEntry *d);
// ISO identifier of an entry's record: a directory's name, or a file's name
// with ";1".
std::string ISOIdentifier(const TFEntry *e);
// Joliet identifiers: the long name in UCS-2 (";1" for files), cut to 110
// characters.
std::u16string JolietDirIdentifier(const TDEntry *d);
std::u16string JolietIdentifier(const TFEntry *e);
// UCS-2 character counts of the Joliet identifiers without building them.
size_t JolietDirIdentifierLength(const TDEntry *d);
size_t JolietIdentifierLength(const TFEntry *e);
// Whether the Joliet record of an entry holds a shortened form of its name.
bool JolietNameCut(const TFEntry *e);

// Directory records an entry takes: one, or for a file in several extents
// one per extent (an imported file keeps its recorded extents; a new file
// larger than kMaxExtentBytes is cut into extents of that size).
inline size_t RecordCount(const TFEntry *e) {
  if (e->IsDir())
    return 1;
  if (!e->Extents.empty())
    return e->Extents.size();
  const uint64_t size = e->Size > 0 ? static_cast<uint64_t>(e->Size) : 0;
  return size <= kMaxExtentBytes ? 1 : static_cast<size_t>((size + kMaxExtentBytes - 1) / kMaxExtentBytes);
}
// Extent and data length of record k (< RecordCount) of a file whose data
// starts at sector First (for an imported file, its own extents count).
TFileExtent FileRecord(const TFEntry *e, size_t k, uint32_t First, uint64_t Size);

inline size_t ISORecordLength(const TFEntry *e) { return DirRecordLength(ISOIdentifier(e).size()); }
inline size_t JolietRecordLength(const TFEntry *e) { return DirRecordLength(2 * JolietIdentifierLength(e)); }

// ISO 9660 order of two primary identifiers (without ";1"): by the part
// before the first ".", then by the part after it, each compared as if the
// shorter were padded with blanks. Directory records and path tables both
// sort by it.
bool ISOIdentifierLess(const std::string &a, const std::string &b);

// The records of a directory extent in the order ISO 9660 prescribes and
// readers may rely on: primary identifiers by name, then extension, each
// compared as if padded with blanks; Joliet identifiers by UCS-2 code unit.
// The chain itself keeps its insertion order, which is the order of the file
// data.
std::vector<const TFEntry *> RecordOrder(const TDEntry *d, bool joliet);

// Rock Ridge fields of the primary tree's records, in one pass over the
// tree (the layout's, which only counts, or the header's, which writes).
// Both passes call it for the same records in the same order: each
// directory of DirList, its "." and "..", then every record of RecordOrder;
// each directory's continuation areas follow its extent, so they land where
// the layout counted them (readers that read the image in one sweep, such as
// libarchive, find them only there).
class TRRPass {
public:
  TRRPass(const std::vector<TDEntry *> &dirs, bool keepPermissions);
  // The system use bytes of the "." (dotdot false) or ".." record of d.
  // Date is the record date of the directory described, or null (layout).
  const std::string &Dot(const TDEntry *d, bool dotdot, const uint8_t *date, ovrr::TContinuation &cont);
  // The system use bytes of one record of entry e.
  const std::string &Entry(const TFEntry *e, const uint8_t *date, ovrr::TContinuation &cont);

private:
  void FillDir(const TDEntry *d, const uint8_t *date);
  void FillCommon(const TRRInfo *info, uint16_t perms, uint32_t type, const uint8_t *date, uint32_t atime,
                  uint32_t ctime);
  bool keep_;
  ovrr::TSystemUse su_;
  ovrr::TRecordAttrs a_;
  std::unordered_map<const TDEntry *, uint32_t> subdirs_;
  const TFEntry *last_ = nullptr;
  std::unordered_map<const TFEntry *, uint32_t> linkSerial_;  // serial of each linked group, by its first entry
  std::string name_;
  uint32_t serial_;
  const TDEntry *root_;
};

// Files the compilation holds under several names (hard links of the
// source with one size, or files an imported session recorded as one
// object): each group's later entries share the data of its first, and every
// entry of a group learns the group's size, the link count the image
// records. Without Rock Ridge nothing is shared.
void LinkSharedData(const std::vector<TFEntry *> &files, bool rockRidge);

// Whether an entry has a record in the Joliet tree (a symbolic link has none).
inline bool InJoliet(const TFEntry *e) { return !e->IsLink(); }

// Big-endian bytes of a UCS-2 string.
std::string UCS2Bytes(const std::u16string &u);

} // namespace ovlayout
