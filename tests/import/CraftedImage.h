// Images assembled record by record in memory, for the hostile-disc tests
// and the fuzz target's seeds; and a sector source over them that can be
// told to fail at a sector.
#pragma once

#include "ovSectorSource.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace craft {

class TImage {
public:
  explicit TImage(uint32_t sectors) : data(size_t{sectors} * 2048, 0) {}
  std::vector<uint8_t> data;

  uint8_t *Sector(uint32_t lba) { return data.data() + size_t{lba} * 2048; }
  uint32_t Sectors() const { return static_cast<uint32_t>(data.size() / 2048); }

  // A primary (Joliet false) or Joliet supplementary descriptor at lba whose
  // root directory is at rootExtent, rootLength bytes.
  void Descriptor(uint32_t lba, bool joliet, uint32_t rootExtent, uint32_t rootLength) {
    uint8_t *s = Sector(lba);
    s[0] = joliet ? 2 : 1;
    std::memcpy(s + 1, "CD001", 5);
    s[6] = 1;
    if (joliet) {
      s[88] = 0x25;
      s[89] = 0x2F;
      s[90] = 0x45;
    }
    Both32(s + 80, Sectors());
    Both16(s + 120, 1);
    Both16(s + 124, 1);
    Both16(s + 128, 2048);
    Record(s + 156, std::string(1, '\0'), rootExtent, rootLength, 0x02);
    s[881] = 1;
  }
  void Terminator(uint32_t lba) {
    uint8_t *s = Sector(lba);
    s[0] = 255;
    std::memcpy(s + 1, "CD001", 5);
    s[6] = 1;
  }

  // Writes a directory record at p; returns its length. A length or name
  // length other than -1 is written as given (for broken records).
  static size_t Record(uint8_t *p, const std::string &id, uint32_t extent, uint32_t size, uint8_t flags,
                       int length = -1, int nameLength = -1) {
    size_t len = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0);
    if (length >= 0)
      len = static_cast<size_t>(length);
    p[0] = static_cast<uint8_t>(len);
    Both32(p + 2, extent);
    Both32(p + 10, size);
    const uint8_t date[7] = {121, 3, 4, 5, 6, 7, 0};  // 2021-03-04 05:06:07 UTC
    std::memcpy(p + 18, date, 7);
    p[25] = flags;
    Both16(p + 28, 1);
    p[32] = static_cast<uint8_t>(nameLength >= 0 ? nameLength : static_cast<int>(id.size()));
    std::memcpy(p + 33, id.data(), std::min<size_t>(id.size(), len > 33 ? len - 33 : 0));
    return len;
  }

  // A directory extent at lba: "." and ".." then the given records, in
  // sectors of 2048 bytes (a record that does not fit starts the next one).
  struct TRec {
    std::string Id;
    uint32_t Extent = 0, Size = 0;
    uint8_t Flags = 0;
  };
  uint32_t Directory(uint32_t lba, uint32_t parent, const std::vector<TRec> &records, uint32_t sectors = 1) {
    uint8_t *s = Sector(lba);
    size_t off = Record(s, std::string(1, '\0'), lba, sectors * 2048, 0x02);
    off += Record(s + off, std::string(1, '\1'), parent, 2048, 0x02);
    uint32_t k = 0;
    for (const TRec &r : records) {
      const size_t len = 33 + r.Id.size() + (r.Id.size() % 2 == 0 ? 1 : 0);
      if (off + len > 2048) {
        ++k;
        off = 0;
        s = Sector(lba + k);
      }
      off += Record(s + off, r.Id, r.Extent, r.Size, r.Flags);
    }
    return sectors * 2048;
  }

  static void Both16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
  }
  static void Both32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      p[i] = static_cast<uint8_t>(v >> (8 * i));
      p[7 - i] = static_cast<uint8_t>(v >> (8 * i));
    }
  }
};

// Big-endian UCS-2 of ASCII text (a Joliet identifier).
inline std::string U16(const std::string &ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back('\0');
    out.push_back(c);
  }
  return out;
}

class TMemorySource : public TSectorSource {
public:
  explicit TMemorySource(const std::vector<uint8_t> &d) : data_(d) {}
  uint64_t SectorCount() const override { return data_.size() / SectorSize; }
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override {
    ++reads;
    if (Lba > SectorCount() || Count > SectorCount() - Lba) {
      Error = "sector " + std::to_string(Lba) + " is beyond the end";
      return false;
    }
    if (FailAt >= Lba && FailAt < Lba + Count) {
      Error = "cannot read sector " + std::to_string(FailAt);
      return false;
    }
    std::memcpy(Buffer, data_.data() + Lba * SectorSize, size_t{Count} * SectorSize);
    return true;
  }
  uint64_t FailAt = ~uint64_t{0};
  uint64_t reads = 0;

private:
  const std::vector<uint8_t> &data_;
};

} // namespace craft
