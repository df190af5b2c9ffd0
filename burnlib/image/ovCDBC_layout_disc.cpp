// Where a new session starts on the loaded disc.
#include "ovCDBC.h"
#include "ovISOStruct.h"

#include <cstring>

void TOrvBurner::PrepareDiscStart(TDEntry *TargetDir) {
  DiscTypeCode = GetDiscType();
  if (QueryNextWritableAddress) {
    NextWritableAddressKnown = ReadNextWritableAddress();
    if (!NextWritableAddressKnown)
      DebugMsg(">>> ERROR GETTING NEXT WRITABLE ADDRESS", 0);
    // A drive reporting an address this high is describing no usable track.
    if (SessionStart > 0xFF000000u) {
      SessionStart = 0;
      NextWritableAddressKnown = false;
    }
  }
  // The old tree joins the new one once per compilation, whether the caller
  // imported it itself or leaves it to this preparation.
  if (ImportSessionNumber != 0 && !sessionImported_)
    ImportSession(ImportSessionNumber, TargetDir);
}

bool TOrvBurner::ReadNextWritableAddress() {
  SessionStart = 0;
  SessionTrack = 0;
  WaitUnitReady(10000, 500);
  const uint8_t type = GetDiscType();
  DiscTypeCode = type;
  // The drive reports the next writable address only with closing write
  // parameters in place; FinalizeDisc is forced on for this one command.
  const bool finalize = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(TestWrite, UnderrunProtection, type, true);
  FinalizeDisc = finalize;
  WaitUnitReady(10000, 500);

  if (type == dtDVDRAM || type == dtDVDPlusRW) {
    SessionStart = ReadLastVolumeSize();
    return true;
  }
  if (IsBDRE(type)) {  // after the last volume, on a whole cluster
    SessionStart = (ReadLastVolumeSize() + 31) / 32 * 32;
    return true;
  }
  const bool discInfo = ReadDiscInformation();
  if (type == dtDVDRWRestricted) {
    if (!ReadTrackInformation(1))
      return false;
    if (TrackNextWritableValid() && TrackNextWritable() != 0 && TrackNextWritable() != 0xFFFFFFFFu)
      SessionStart = TrackNextWritable();
    // Without an address from the drive, a restricted-overwrite disc is
    // appended to after its last volume, as on DVD+RW, never over it at 0;
    // it is written in whole 16-sector blocks.
    else
      SessionStart = (ReadLastVolumeSize() + 15) / 16 * 16;
    return true;
  }
  // Sequential media: the session goes into the invisible (or incomplete)
  // track, whose next writable address only the drive knows. Without it
  // nothing may be written: sector 0 would be refused, or land over data.
  const uint8_t last = discInfo ? DiscLastTrackInLastSession() : 0;
  if (!ReadTrackInformation(0xFF) && (last == 0 || !ReadTrackInformation(last)))
    return false;
  if (!TrackNextWritableValid() || TrackNextWritable() == 0xFFFFFFFFu)
    return false;
  SessionStart = TrackNextWritable();
  SessionTrack = static_cast<uint16_t>(TrackInfo[2] | (TrackInfo[32] << 8));
  return true;
}

uint32_t TOrvBurner::ReadLastVolumeSize() {
  // The descriptor set at sector 16 of an overwritable disc is rewritten with
  // every session; its volume space size is where the next session starts.
  uint8_t buf[ISOSectorSize];
  for (uint32_t lba = 32; lba >= 16; --lba) {
    std::memset(buf, 0, sizeof buf);
    if (!Read10(lba, 1, sizeof buf, buf))
      continue;
    if (std::memcmp(buf + 1, "CD001", 5) == 0 && (buf[0] == 1 || buf[0] == 2))
      return static_cast<uint32_t>(buf[80]) | static_cast<uint32_t>(buf[81]) << 8 |
             static_cast<uint32_t>(buf[82]) << 16 | static_cast<uint32_t>(buf[83]) << 24;
  }
  return 0;
}
