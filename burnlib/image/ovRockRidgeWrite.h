// Rock Ridge system use fields of the primary tree's directory records:
// the entries of one record, and their placement in the record and, when it
// is full, in continuation areas.
#pragma once

#include "ovRockRidge.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ovrr {

// What one directory record describes.
struct TRecordAttrs {
  uint32_t Mode = 0;  // st_mode
  uint32_t Links = 1;
  uint32_t Uid = 0, Gid = 0;
  uint32_t Serial = 0;
  uint8_t Dates[3][7] = {};               // modify, access, attribute change (record date form)
  const std::string *Name = nullptr;      // NM: the POSIX name; null for "." and ".."
  const std::string *LinkTarget = nullptr;  // SL: set for a symbolic link
  bool Root = false;                      // SP and ER: the root's "." record
};

// Continuation areas of one session: whole areas packed into sectors from
// Start, none crossing a sector boundary (readers take an area from one
// block). Without an image only the space is counted.
class TContinuation {
public:
  TContinuation(uint32_t start, uint8_t *image, size_t capacity) : start_(start), image_(image), capacity_(capacity) {}
  // Reserves an area of n bytes (at most a sector); false, and Failed from
  // then on, when it would run past the capacity given.
  bool Reserve(size_t n, uint32_t &block, uint32_t &offset);
  // Writes the bytes of a reserved area (nothing without an image).
  void Put(uint32_t block, uint32_t offset, const void *bytes, size_t n);
  // Sectors begun so far.
  uint32_t Sectors() const { return begun_ ? sector_ + 1 : 0; }
  bool Failed() const { return failed_; }

private:
  uint32_t start_;
  uint8_t *image_;
  size_t capacity_;
  uint32_t sector_ = 0;
  size_t used_ = 0;
  bool begun_ = false;
  bool failed_ = false;
};

// Builds and places the system use of one record; reused from record to
// record so that its buffers are not allocated again.
class TSystemUse {
public:
  // The bytes that go into a record whose fixed part and identifier take
  // base bytes, padded to an even count; what does not fit goes to areas
  // of Cont, chained by CE entries. Empty (nothing written) when even a CE
  // entry does not fit, or when Cont is full.
  const std::string &Place(const TRecordAttrs &a, size_t base, TContinuation &cont);
  // Bytes of the entries alone (SUSP entries in order), for tests.
  const std::string &Entries(const TRecordAttrs &a);

private:
  void Add(const char sig[2], const uint8_t *body, size_t n);
  void AddSplit(const char sig[2], uint8_t flags, const std::string &bytes);
  void AddLink(const std::string &target);
  std::string entries_;
  std::vector<size_t> ends_;
  struct TArea {
    size_t First = 0, End = 0;  // entries [First, End)
    uint32_t Size = 0, Block = 0, Offset = 0;
  };
  std::string inline_;
  std::string area_;
  std::vector<TArea> areas_;
};

// "Rational" attributes: owner and group 0, everything readable, the write
// bits and set-id bits dropped, execute bits given to all when any is set.
uint32_t RationalMode(uint32_t mode);
// The seven-byte record date of a time in seconds since 1970, in UTC.
void PutUnixDate(uint8_t *p, int64_t seconds);

} // namespace ovrr
