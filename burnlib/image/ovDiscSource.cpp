// Sector source over a drive's READ(10), and the disc's session list.
#include "ovDiscSource.h"

#include "ovDrvLib.h"

#include <algorithm>

TDiscSectorSource::TDiscSectorSource(TSCSIDevice &Device) : dev_(Device) {
  sectors_ = dev_.RecordedBlocks();
  if (sectors_ == 0) {
    std::vector<TSessionExtent> sessions;
    if (ReadDiscSessions(dev_, sessions))
      for (const TSessionExtent &s : sessions)
        if (s.Known)
          sectors_ = std::max<uint64_t>(sectors_, uint64_t{s.Start} + s.Size);
  }
}

bool TDiscSectorSource::ReadSectors(uint64_t Lba, uint32_t Count, uint8_t *Buffer, std::string &Error) {
  if (Lba > sectors_ || Count > sectors_ - Lba) {
    Error = "sector " + std::to_string(Lba) + " (" + std::to_string(Count) +
            " sectors) is beyond the end of the disc (" + std::to_string(sectors_) + " sectors)";
    return false;
  }
  while (Count > 0) {
    const uint32_t n = std::min(Count, kSectorsPerRead);
    const auto lba = static_cast<uint32_t>(Lba);
    if (!dev_.Read10(lba, static_cast<uint16_t>(n), static_cast<int>(n * SectorSize), Buffer)) {
      for (uint32_t k = 0; k < n; ++k) {
        if (!dev_.Read10(lba + k, 1, SectorSize, Buffer + size_t{k} * SectorSize)) {
          Error = "cannot read sector " + std::to_string(uint64_t{lba} + k) + " of the disc" +
                  (dev_.ErrorText.empty() ? std::string() : ": " + dev_.ErrorText);
          return false;
        }
      }
    }
    Lba += n;
    Count -= n;
    Buffer += size_t{n} * SectorSize;
  }
  return true;
}

bool ReadDiscSessions(TSCSIDevice &Device, std::vector<TSessionExtent> &Sessions) {
  Sessions.clear();
  const uint8_t count = Device.SessionCount();
  for (uint32_t s = 1; s <= count; ++s) {
    TSessionExtent e;
    e.Number = s;
    if (Device.ReadTrackInformation(static_cast<uint8_t>(s))) {
      e.Start = Device.TrackStartAddress();
      e.Size = Device.TrackSize();
    } else {
      e.Known = false;
    }
    Sessions.push_back(e);
  }
  return !Sessions.empty();
}

const TSessionExtent *PickSession(const std::vector<TSessionExtent> &Sessions, int Requested) {
  if (Sessions.empty() || Requested == 0 || Requested < -1)
    return nullptr;
  if (Requested == -1 || static_cast<size_t>(Requested) > Sessions.size())
    return &Sessions.back();
  return &Sessions[static_cast<size_t>(Requested) - 1];
}
