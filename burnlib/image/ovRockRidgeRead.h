// Reading of Rock Ridge entries from the system use area of directory
// records, continuation areas included. Every byte is untrusted: entries are
// bounds-checked, continuation areas must lie inside the volume within one
// sector, and a chain of them is cut at a loop or at a bound on its length,
// with a problem reported instead of time or memory spent.
#pragma once

#include "ovISORead.h"
#include "ovRockRidge.h"

#include <cstdint>
#include <string>
#include <vector>

namespace iso::rr {

// Bounds of one record's entries, continuation areas included. Sound writers
// need a few areas at most (a 255-byte name, a long link target).
constexpr uint32_t kMaxContinuations = 64;
constexpr uint32_t kMaxEntryBytes = 64u << 10;
// A link target longer than a Linux path is not a link a reader can make.
constexpr size_t kMaxLinkTarget = 4095;
constexpr size_t kMaxName = 1023;
// Continuation areas one reader follows in all: a hostile disc giving every
// record a long chain is stopped too.
constexpr uint64_t kMaxAreasRead = 1u << 20;

// What Rock Ridge records for one directory record.
struct TRecordInfo {
  bool Any = false;        // any Rock Ridge entry was found
  bool HasName = false;    // NM gave the name below
  std::string Name;        // the NM name as recorded (bytes)
  bool HasAttrs = false;   // PX was found
  uint8_t PXLength = 0;
  bool HasLink = false;    // SL was found: a symbolic link
  TPosixAttrs Attrs;       // PX and TF fields, the SL target
  bool HasChildLink = false;   // CL: the relocated directory is at ChildLink
  uint32_t ChildLink = 0;
  bool HasParentLink = false;  // PL: the real parent of a relocated directory
  uint32_t ParentLink = 0;
  bool Relocated = false;      // RE: this directory's real place is given by a CL elsewhere
  std::vector<std::string> Extensions;  // ER identifiers
  bool SharingProtocol = false;          // SP was found (root "." only)
  uint8_t Skip = 0;                      // SP's bytes to skip in each record
};

// A continuation area that was read: sector, byte offset and length.
struct TContinuation {
  uint32_t Block = 0, Offset = 0, Length = 0;
};

struct TProblem {
  TWhere At;
  std::string Text;
};

class TReader {
public:
  // VolumeEnd: sectors continuation areas must lie below (the volume's end,
  // or the source's).
  TReader(TSectorSource &Source, uint64_t VolumeEnd) : src_(Source), end_(VolumeEnd) {}

  // Looks for SP at the start of the system use area of the root's "."
  // record (the first record of RootExtent). True when the tree carries
  // Rock Ridge; Root gets what that record holds (ER among it).
  bool Detect(uint32_t RootExtent, TRecordInfo &Root, std::vector<TProblem> *Problems = nullptr);

  // The entries of a record's system use area, skipping the SP skip bytes,
  // and its continuation areas. Problems (when given) gets what was malformed.
  void Parse(const TDirRecord &Record, TRecordInfo &Info, std::vector<TProblem> *Problems = nullptr);

  // Every continuation area read so far (the checker's overlap test).
  const std::vector<TContinuation> &Continuations() const { return areas_; }
  void KeepContinuations(bool Keep) { keepAreas_ = Keep; }
  uint8_t Skip = 0;

private:
  void Entries(const uint8_t *p, size_t n, const TWhere &at, TRecordInfo &info, std::vector<TProblem> *problems,
               TContinuation &next, bool &hasNext);
  bool ReadArea(const TContinuation &c, std::string &bytes, std::string &why);

  TSectorSource &src_;
  uint64_t end_;
  std::vector<TContinuation> areas_;
  bool keepAreas_ = false;
  uint64_t areasRead_ = 0;
  bool budgetReported_ = false;
  // The last sector read: the areas of neighbouring records share sectors.
  uint64_t cachedLba_ = ~uint64_t{0};
  std::vector<uint8_t> cache_;
  // Per record: the name and link parts met so far.
  bool nameOpen_ = false, linkOpen_ = false, linkComponentOpen_ = false, linkRoot_ = false;
  std::vector<std::string> linkParts_;
};

// The "." record (and, when asked, the ".." record) at the start of the
// directory extent at Extent; false when the sector cannot be read or does
// not start with them.
bool ReadDotRecords(TSectorSource &Source, uint32_t Extent, TDirRecord &Dot, TDirRecord *DotDot = nullptr);

// A 7-byte recording date or a 17-byte long-form date as seconds since
// 1970 UTC. False when a field is out of range.
bool StampSeconds(const uint8_t *p, bool LongForm, int64_t &Seconds);

} // namespace iso::rr
