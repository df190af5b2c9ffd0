// Sector source over the disc in a drive (the device layer's READ(10)), and
// the list of a disc's sessions.
#pragma once

#include "ovSectorSource.h"

#include <cstdint>
#include <string>
#include <vector>

class TSCSIDevice;

// One session of a disc or a multisession image: its first sector and its
// size in sectors (0 when unknown).
struct TSessionExtent {
  uint32_t Number = 0;  // 1-based
  uint32_t Start = 0;
  uint32_t Size = 0;
  bool Known = true;  // false when the session's track information could not be read
};

class TDiscSectorSource : public TSectorSource {
public:
  // Sectors per READ(10): 64 KiB, which every host adapter accepts.
  static constexpr uint32_t kSectorsPerRead = 32;
  // Reads the disc's recorded size (READ CAPACITY, else the end of the last
  // session) once.
  explicit TDiscSectorSource(TSCSIDevice &Device);
  uint64_t SectorCount() const override { return sectors_; }
  // Large reads; when one fails, the piece is read sector by sector so that
  // the error names the first sector that cannot be read.
  bool ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) override;

private:
  TSCSIDevice &dev_;
  uint64_t sectors_ = 0;
};

// The sessions of the disc in the drive, each found as the track of the same
// number. False when the disc has none or its session count cannot be read.
bool ReadDiscSessions(TSCSIDevice &Device, std::vector<TSessionExtent> &Sessions);

// Resolves a requested session number against a list: -1, or a number above
// the count, is the last session; 0 or an empty list gives nullptr.
const TSessionExtent *PickSession(const std::vector<TSessionExtent> &Sessions, int Requested);
