// The loaded medium: type, status, sessions, used, free and capacity.
#include "ovDrvLib.h"

#include <algorithm>
#include <cstring>

const char *const DiscTypeNames[16] = {"UNKNOWN", "CD-ROM",   "CD-R",     "CD-RW",
                                       "DVD-ROM", "DVD-R",    "DVD-RAM",  "DVD-RW",
                                       "DVD-RW",  "DVD-RW",   "DVD+RW",   "DVD+R",
                                       "DVD+R DL", "DDCD-ROM", "DDCD-R",  "DDCD-RW"};

const char *DiscTypeName(uint8_t Code) {
  static const char *const kBD[] = {"BD-ROM", "BD-R", "BD-R DL", "BD-RE", "BD-RE DL"};
  if (Code < 16)
    return DiscTypeNames[Code];
  return IsBD(Code) ? kBD[Code - dtBDROM] : DiscTypeNames[dtUnknown];
}

double SpeedUnit(uint8_t Code) {
  if (IsBD(Code))
    return kBDSpeed1x;
  return Code == dtUnknown || Code >= dtDVDROM ? 1385.0 : 176.4;
}

namespace {

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint8_t ProfileToCode(uint16_t profile) {
  switch (profile) {
  case 0x0008: return dtCDROM;
  case 0x0009: return dtCDR;
  case 0x000A: return dtCDRW;
  case 0x0010: return dtDVDROM;
  case 0x0011: return dtDVDR;
  case 0x0012: return dtDVDRAM;
  case 0x0013: return dtDVDRWRestricted;
  case 0x0014: return dtDVDRWSequential;
  case 0x001A: return dtDVDPlusRW;
  case 0x001B: return dtDVDPlusR;
  case 0x002B: return dtDVDPlusRDL;
  case 0x0020: return dtDDCDROM;
  case 0x0021: return dtDDCDR;
  case 0x0022: return dtDDCDRW;
  case 0x0040: return dtBDROM;
  case 0x0041: return dtBDR;
  case 0x0043: return dtBDRE;
  default: return dtUnknown;
  }
}

const char *ProfileName(uint16_t profile) {
  switch (profile) {
  case 0x0001: return "Non-removable disk";
  case 0x0002: return "Removable disk";
  case 0x0003: return "MO Eraseable";
  case 0x0004: return "MO Write Once";
  case 0x0005: return "AS-MO";
  case 0x0008: return "CD-ROM";
  case 0x0009: return "CD-R";
  case 0x000A: return "CD-RW";
  case 0x0010: return "DVD-ROM";
  case 0x0011: return "DVD-R";
  case 0x0012: return "DVD-RAM";
  case 0x0013: return "DVD-RW Restricted Overwrite";
  case 0x0014: return "DVD-RW Sequential Recording";
  case 0x001A: return "DVD+RW";
  case 0x001B: return "DVD+R";
  case 0x0020: return "DDCD-ROM";
  case 0x0021: return "DDCD-R";
  case 0x0022: return "DDCD-RW";
  case 0x002B: return "DVD+R DL";
  case 0x0040: return "BD-ROM";
  case 0x0041: return "BD-R";
  case 0x0043: return "BD-RE";
  default: return "???????";
  }
}

uint32_t LeadOutBlocks(const uint8_t *atip) { return atip[12] * 4500u + atip[13] * 75u + atip[14]; }

} // namespace

// The lead-out start of the ATIP in blocks. An answer whose descriptor lacks
// the always-set bit 7 of byte 6 is not an ATIP (some drives answer a TOC
// of another format instead) and gives no capacity.
bool TSCSIDevice::ReadATIPLeadOut(uint32_t &blocks) {
  std::memset(ATIP, 0, sizeof ATIP);
  if (!ReadTOC(4, ATIP, sizeof ATIP, 0, true) || !(ATIP[6] & 0x80))
    return false;
  blocks = LeadOutBlocks(ATIP);
  return true;
}

uint8_t TSCSIDevice::GetDiscType() {
  uint8_t code = dtUnknown;
  alignas(8) uint8_t cfg[114] = {};
  if (GetConfiguration(2, 0, cfg, sizeof cfg))
    code = ProfileToCode(Get16(cfg + 6));
  if (code == dtBDR || code == dtBDRE) {
    // One profile for both sizes: the medium's largest capacity tells a
    // second layer.
    uint32_t blocks = 0, length = 0;
    if (ReadFormatCapacities(blocks, length) && blocks > kBDLayerSectors && blocks != 0xFFFFFFFFu)
      code = code == dtBDR ? dtBDRDL : dtBDREDL;
  }
  if (code == dtUnknown) {
    std::memset(ATIP, 0, sizeof ATIP);
    if (ReadTOC(4, ATIP, sizeof ATIP, 0, true)) {
      const uint8_t b = ATIP[6];
      code = (b & 0xC0) == 0xC0 ? dtCDRW : (b & 0x80) ? dtCDR : dtCDROM;
    }
  }
  if (code == dtUnknown && ReadDiscInformation())
    code = (DiscInformation[2] & 0x10) ? dtCDRW : dtCDR;
  if (code == dtUnknown && TestUnitReady(5000))
    code = dtCDROM;
  return code;
}

void TSCSIDevice::GetDiscInfo(TDisc &Out) {
  Disc = TDisc{};
  if (!TestUnitReady(5000)) {
    WaitUnitReady(3000, 5000);
    if (!TestUnitReady(5000)) {
      Disc.Ready = false;
      return;
    }
  }
  Disc.Ready = true;

  alignas(8) uint8_t toc[114] = {};
  if (ReadTOC(0, toc, sizeof toc, 0, false)) {
    ReadTOC(0, toc, sizeof toc, toc[3], false);
    alignas(8) uint8_t sessions[4] = {};
    ReadTOC(1, sessions, sizeof sessions, 0, false);
    Disc.FirstSession = sessions[2];
    Disc.LastSession = sessions[3];
    uint32_t leadOut = 0;
    Disc.Capacity = ReadATIPLeadOut(leadOut) ? leadOut : 0;
    Disc.MediumName = "CD-ROM";
  }

  alignas(8) uint8_t cfg[114] = {};
  if (GetConfiguration(2, 0, cfg, sizeof cfg)) {
    const uint16_t profile = Get16(cfg + 6);
    Disc.Erasable = profile == 0x0003 || profile == 0x000A || profile == 0x0013 || profile == 0x0014 ||
                    profile == 0x001A || profile == 0x0022 || profile == 0x0043;
    Disc.Profile = profile;
    const uint8_t code = GetDiscType();
    Disc.MediumName = IsBD(code) ? DiscTypeName(code) : ProfileName(profile);
    const uint8_t track = code < 4 ? 255 : 1;
    if (ReadTrackInformation(track)) {
      Disc.EndAddress = TrackNextWritable();
      Disc.Capacity = TrackNextWritable() + TrackFreeBlocks();
      Disc.BlockSize = 2048;
      ReadDiscInformation();
    } else if (ReadFormatCapacities(Disc.EndAddress, Disc.BlockSize)) {
      Disc.Capacity = std::max(Disc.Capacity, Disc.EndAddress);
    }
  }

  if (ReadDiscInformation()) {
    Disc.Status = DiscInformation[2] & 3;
    Disc.LastSessionState = (DiscInformation[2] >> 2) & 3;
    Disc.Erasable = (DiscInformation[2] & 0x10) != 0;
  } else {
    ReadCapacity(Disc.EndAddress, Disc.BlockSize);
    if (ReadTrackInformation(0))
      Disc.MediumName = "CD-ROM";
  }
  Disc.Capacity = std::max(Disc.Capacity, Disc.EndAddress);
  // A pressed disc has no ATIP and no writable track: its size is the
  // recorded area READ CAPACITY reports.
  if (Disc.Capacity == 0)
    Disc.Capacity = RecordedBlocks();
  Out = Disc;
}

int TSCSIDevice::DiscStatus() {
  if (!ReadDiscInformation())
    return -1;
  const uint8_t s = DiscInformation[2] & 3;
  if (s == 3)
    return 3;
  if (s & 2)
    return 2;
  return s & 1;
}

uint8_t TSCSIDevice::SessionCount() {
  if (!ReadDiscInformation() || (DiscInformation[2] & 3) == 0)
    return 0;
  uint8_t n = DiscInformation[4];
  if (((DiscInformation[2] >> 2) & 3) == 0 && n > 0)
    --n;
  return n;
}

uint32_t TSCSIDevice::ReadISOVolumeSize() {
  std::vector<uint8_t> buf(2137);
  for (uint32_t lba = 16; lba <= 32; ++lba) {
    std::fill(buf.begin(), buf.end(), 0);
    if (!Read10(lba, 1, 2048, buf.data()))
      continue;
    if (std::memcmp(buf.data() + 1, "CD001", 5) == 0 && (buf[0] == 1 || buf[0] == 2))
      return uint32_t(buf[80]) | (uint32_t(buf[81]) << 8) | (uint32_t(buf[82]) << 16) |
             (uint32_t(buf[83]) << 24);
  }
  return 0;
}

// The write parameters for the current medium with the session-closing bits
// cleared, as the drive wants them before it reports track information.
void TSCSIDevice::SetWriteParamsForQuery() {
  const bool saved = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(false, UnderrunProtection, DiscTypeCode.load(), true);
  FinalizeDisc = saved;
}

bool TSCSIDevice::IsOverwritable(uint8_t code) {
  return code == dtDVDRAM || code == dtDVDPlusRW || code == dtDVDRWRestricted || IsBDRE(code);
}

uint32_t TSCSIDevice::RecordedBlocks() {
  uint32_t lastLBA = 0, blockLen = 0;
  if (!ReadCapacity(lastLBA, blockLen) || lastLBA >= 0x7F000000u)
    return 0;
  return lastLBA + 1;
}

namespace {

// READ TRACK INFORMATION fields.
constexpr uint8_t kTrackDamage = 0x20;        // byte 5
constexpr uint8_t kTrackBlank = 0x40;         // byte 6
constexpr uint8_t kLastRecordedValid = 0x02;  // byte 7

// The end of what was written to the track just read, for a track that is
// neither closed nor open for writing: one a write error left damaged. Its
// size is the space it could have taken, not what it holds; that is its last
// recorded address (DVD and BD), or else the end of the recorded area READ
// CAPACITY reports when it lies in the track. Without either, nothing of it
// is counted.
uint32_t DamagedTrackEnd(TSCSIDevice &Dev) {
  const uint32_t start = Dev.TrackStartAddress(), size = Dev.TrackSize();
  if (Dev.TrackInfo[7] & kLastRecordedValid)
    return Dev.TrackLastRecorded() + 1;
  uint32_t lastLBA = 0, blockLen = 0;
  if (Dev.ReadCapacity(lastLBA, blockLen) && lastLBA >= start && lastLBA - start < size)
    return lastLBA + 1;
  return start;
}

// Damaged and without a next writable address: a track a write error left
// incomplete. It takes no more data until it is closed.
bool TrackDamaged(const TSCSIDevice &Dev) {
  return (Dev.TrackInfo[5] & kTrackDamage) && !Dev.TrackNextWritableValid();
}

// True when a track of the disc's last session is damaged: that session
// cannot be completed, nor another begun, until the track is closed.
bool LastSessionDamaged(TSCSIDevice &Dev) {
  if (!Dev.ReadDiscInformation() || (Dev.DiscInformation[2] & 3) == 2)
    return false;
  const unsigned first = Dev.DiscInformation[5], last = Dev.DiscLastTrackInLastSession();
  for (unsigned track = first; track >= 1 && track <= last; ++track)
    if (Dev.ReadTrackInformation(static_cast<uint8_t>(track)) && TrackDamaged(Dev))
      return true;
  return false;
}

// The end of what the track just read holds: a track still being written
// ends at its next writable address, a damaged one at what was written
// before the error, any other at its size.
uint32_t TrackRecordedEnd(TSCSIDevice &Dev) {
  if (Dev.TrackNextWritableValid())
    return Dev.TrackNextWritable();
  if (Dev.TrackInfo[5] & kTrackDamage)
    return DamagedTrackEnd(Dev);
  return Dev.TrackStartAddress() + Dev.TrackSize();
}

// The end of the last track of a sequential disc that holds data: its
// sessions and the borders between them. The area an open disc keeps after
// its last session for the next border is not counted: a finalized disc no
// longer reports it, so counting it would make closing a disc shrink the
// used space. False when the drive does not describe its tracks.
bool RecordedTracksEnd(TSCSIDevice &Dev, uint32_t &End) {
  End = 0;
  if (!Dev.ReadDiscInformation())
    return false;
  for (unsigned track = Dev.DiscLastTrackInLastSession(); track >= 1; --track) {
    if (!Dev.ReadTrackInformation(static_cast<uint8_t>(track)) || Dev.TrackSize() == 0xFFFFFFFFu)
      return false;
    if ((Dev.TrackInfo[6] & kTrackBlank) || Dev.TrackSize() == 0)
      continue;  // the invisible track, a reserved one not yet written, or none
    End = TrackRecordedEnd(Dev);
    return true;
  }
  return true;  // nothing recorded
}

} // namespace

uint32_t TSCSIDevice::UsedBlocks() {
  const uint8_t t = GetDiscType();
  SetWriteParamsForQuery();
  ReadDiscInformation();
  if (t >= 4) {
    if (t == dtDVDROM || t == dtBDROM)
      return RecordedBlocks();
    if (!ReadTrackInformation(DiscLastTrackInLastSession()) || TrackSize() == 0xFFFFFFFFu)
      return 0;
    // Overwritable media have one track: what is used is the file system on it.
    if (IsOverwritable(t))
      return ReadISOVolumeSize();
    uint32_t end = 0;
    return RecordedTracksEnd(*this, end) ? end : 0;
  }
  uint32_t end = 0;
  if (RecordedTracksEnd(*this, end))
    return end;
  uint32_t lastLBA = 0, blockLen = 0;
  if (ReadCapacity(lastLBA, blockLen)) {
    if (lastLBA < 0x7F000001u)
      return lastLBA;
    uint32_t blocks = 0, len = 0;
    return ReadFormatCapacities(blocks, len) ? blocks : 0;
  }
  if (ReadTrackInformation(static_cast<uint8_t>(SessionCount() + 1)))
    return TrackFreeBlocks();
  return 0;
}

uint32_t TSCSIDevice::FreeBlocks() {
  const uint8_t t = GetDiscType();
  SetWriteParamsForQuery();
  ReadDiscInformation();
  if (t > 3) {
    if (t == dtDVDROM || t == dtBDROM)  // pressed: nothing can be added
      return 0;
    if (!ReadTrackInformation(DiscLastTrackInLastSession()))
      return 0;
    if (IsOverwritable(t)) {
      // A file system larger than the track leaves nothing free (no wrap).
      const uint32_t used = ReadISOVolumeSize();
      return TrackSize() > used ? TrackSize() - used : 0;
    }
    if (TrackSize() == 0xFFFFFFFFu || LastSessionDamaged(*this) ||
        !ReadTrackInformation(DiscLastTrackInLastSession()))
      return 0;
    return TrackLastRecorded() != 0 ? TrackFreeBlocks() : TrackSize();
  }
  SetWriteParamsForQuery();
  if (DiscStatus() == 2)
    return 0;
  ReadDiscInformation();
  const uint8_t last = DiscLastTrackInLastSession();
  if (!ReadTrackInformation(last) && !ReadTrackInformation(last))
    return 0;
  if (LastSessionDamaged(*this) || !ReadTrackInformation(last))
    return 0;
  return std::max(TrackFreeBlocks(), TrackSize());
}

uint32_t TSCSIDevice::DiscCapacity() {
  const uint8_t t = GetDiscType();
  SetWriteParamsForQuery();
  ReadDiscInformation();
  if (t < 4) {
    const uint8_t n = SessionCount();
    uint32_t capacity = 0;
    uint32_t leadOut = 0;
    if (ReadATIPLeadOut(leadOut)) {
      capacity = leadOut;
      uint32_t lastLBA = 0, blockLen = 0;
      if (capacity < 20000 && ReadCapacity(lastLBA, blockLen) && lastLBA > capacity)
        capacity = lastLBA;
    } else {
      uint32_t blocks = 0, len = 0;
      if (ReadFormatCapacities(blocks, len)) {
        if (blocks == 0xFFFD0001u) {
          if (ReadTrackInformation(static_cast<uint8_t>(n + 1)) || ReadTrackInformation(n))
            capacity = TrackStartAddress() + TrackFreeBlocks();
          else
            capacity = 0;
        } else {
          capacity = blocks;
        }
      } else if (ReadTrackInformation(n)) {
        capacity = TrackStartAddress() + TrackFreeBlocks();
      } else if (ReadFormatCapacities(blocks, len)) {
        capacity = blocks;
      }
    }
    if (capacity == 0xFFFFFFFFu)
      capacity = UsedBlocks();
    // Without ATIP, format capacities or track information (a pressed disc
    // in a drive that implements none of them) the recorded size is all
    // there is.
    if (capacity == 0)
      capacity = RecordedBlocks();
    return capacity;
  }
  if (t == dtDVDROM || t == dtBDROM)
    return RecordedBlocks();
  if (!ReadTrackInformation(DiscLastTrackInLastSession()))
    return 0;
  if (IsOverwritable(t)) {
    uint32_t blocks = 0, len = 0;
    if (ReadFormatCapacities(blocks, len))
      return blocks;
  }
  // A closed disc has no writable address: it ends with its last track.
  if (!TrackNextWritableValid())
    return TrackStartAddress() + TrackSize();
  return TrackFreeBlocks() + TrackNextWritable();
}

bool TSCSIDevice::IsRewritable() {
  if (ReadDiscInformation())
    return (DiscInformation[2] & 0x10) != 0;
  DiscTypeCode = GetDiscType();
  const uint8_t t = DiscTypeCode;
  return t == dtDVDRAM || t == dtDVDRWRestricted || t == dtDVDRWSequential || t == dtDVDPlusRW || IsBDRE(t);
}

TDiscSpace TSCSIDevice::ReadDiscSpace() {
  TDiscSpace s;
  const uint8_t type = GetDiscType();
  const uint8_t sessions = SessionCount();
  // Sessions hold one track each; an overwritable disc has one track that
  // spans it.
  for (unsigned n = 1; n <= sessions; ++n) {
    if (!ReadTrackInformation(static_cast<uint8_t>(n)))
      continue;
    const uint32_t start = TrackStartAddress();
    const uint32_t end = IsOverwritable(type) || TrackSize() == 0xFFFFFFFFu ? start + TrackSize() : TrackRecordedEnd(*this);
    s.Sessions.push_back({n, start, end > start ? end - start : 0});
  }
  const uint32_t free = FreeBlocks();
  s.Status = DiscStatus();
  s.Capacity = DiscCapacity();
  s.Used = UsedBlocks();
  // Free space is what the medium has beyond its used part, whatever a drive
  // reports for its open track.
  s.Free = std::min(free, s.Capacity - std::min(s.Used, s.Capacity));
  return s;
}
