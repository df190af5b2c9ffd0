// The write parameters mode page (05h) for each medium.
#include "ovDrvLib.h"

#include <algorithm>
#include <cstring>

namespace {

void SetPacketSize(uint8_t *page, uint32_t blocks) {
  page[10] = static_cast<uint8_t>(blocks >> 24);
  page[11] = static_cast<uint8_t>(blocks >> 16);
  page[12] = static_cast<uint8_t>(blocks >> 8);
  page[13] = static_cast<uint8_t>(blocks);
}

} // namespace

bool TSCSIDevice::SetWriteParameters(bool aTestWrite, bool aUnderrunProtection, uint16_t DiscType,
                                     bool Closing) {
  if (DiscType == dtDVDRAM)
    return true;
  // BD-R takes the page of DVD+R, BD-RE that of DVD+RW.
  if (IsBDR(static_cast<uint8_t>(DiscType)))
    DiscType = dtDVDPlusR;
  else if (IsBDRE(static_cast<uint8_t>(DiscType)))
    DiscType = dtDVDPlusRW;
  alignas(8) uint8_t buf[512] = {};
  if (!ModeSense10(0x05, false, buf, sizeof buf))
    return false;
  const int off = LocateModePage(buf, 0x05, true);
  std::memcpy(WriteParamsPage, buf + off, sizeof WriteParamsPage);
  uint8_t *p = WriteParamsPage;

  p[1] = 0x32;
  if (DiscType == dtDVDR) {
    p[2] = 0x60;
    p[3] = 0xE5;
    p[5] = 0x10;
    SetPacketSize(p, 16);
  } else {
    p[2] = 0x01;
    p[3] = 0x04;
    p[5] = 0x00;
    SetPacketSize(p, 0);
  }
  p[4] = 0x08;
  if (DiscType == dtDVDPlusRW || DiscType == dtDVDPlusR) {
    p[2] = 0x22;
    p[3] |= 0xC0;
  }
  if (QuirkLinkSize)
    p[2] |= 0x20;
  if (DiscType == dtDVDR || DiscType == dtDVDRW || DiscType == dtDVDRWRestricted ||
      DiscType == dtDVDRWSequential || DiscType == dtDVDPlusR) {
    p[3] |= 0xE0;
  } else if (!aTestWrite && !FinalizeDisc) {
    p[3] |= 0xC0;  // next session allowed
  } else if ((p[3] & 0xC0) == 0xC0) {
    p[3] &= 0x3F;
  }
  if (HasCapability(capUnderrunProtection) && aUnderrunProtection)
    p[2] |= 0x40;
  else
    p[2] &= ~0x40;
  if (HasCapability(capTestWrite) && aTestWrite)
    p[2] |= 0x10;
  else
    p[2] &= ~0x10;
  p[6] = p[7] = p[8] = p[9] = 0;
  if (DiscType == dtDVDPlusR) {
    p[6] = 0x10;
    SetPacketSize(p, 16);
  }
  if (DiscType == dtDVDRWRestricted || DiscType == dtDVDRWSequential) {
    p[2] = 0x20;
    p[3] = 0xC5;
    p[5] = 0x10;
  }
  if (DiscType == dtDVDPlusR) {
    p[3] = 0xC4;
    p[6] = 0;
  }
  if (DiscType == dtDVDPlusRDL) {
    p[2] = static_cast<uint8_t>((p[2] & 0xF0) | 0x22);
    p[3] = static_cast<uint8_t>(((p[3] & 0xF0) | 0x04) & ~0x20);
    p[5] = p[6] = 0;
    SetPacketSize(p, 0);
    p[3] = static_cast<uint8_t>((p[3] & 0x3F) | (Closing ? 0xC0 : 0x00));
  } else if (aUnderrunProtection && (CapabilitiesPage[4] & 0x80)) {
    p[2] |= 0x40;
  }
  if (DiscType == dtDVDPlusRW) {
    p[3] = 0x04;
    p[5] = 0x10;
  }
  p[14] = 0;
  p[15] = 150;

  return SendWriteParamsPage();
}

bool TSCSIDevice::SendWriteParamsPage() {
  // Mode parameter header (8 zero bytes) and the page: page length + 10.
  uint8_t list[8 + sizeof WriteParamsPage] = {};
  const uint16_t length = static_cast<uint16_t>(
      std::min<size_t>(WriteParamsPage[1] + 10u, sizeof list));
  std::memcpy(list + 8, WriteParamsPage, length - 8);
  return ModeSelect10(list, length);
}

bool TSCSIDevice::SetClosingParameters(uint8_t DiscType, bool Finalize) {
  // The page's multisession field decides whether closing the session on a
  // CD (or DVD-R/-RW) also closes the disc: 11b keeps it appendable.
  const bool saved = FinalizeDisc;
  FinalizeDisc = Finalize;
  const bool ok = SetWriteParameters(false, UnderrunProtection, DiscType, false);
  FinalizeDisc = saved;
  if (!ok)
    return false;
  const bool sequentialDVD = DiscType == dtDVDR || DiscType == dtDVDRW || DiscType == dtDVDRWSequential;
  if (Finalize && sequentialDVD) {
    // Their page always allows a next session: finalising clears it.
    WriteParamsPage[3] &= 0x3F;
    return SendWriteParamsPage();
  }
  return true;
}

uint8_t TSCSIDevice::SessionCloseFunction(uint8_t DiscType, bool Finalize) {
  // DVD+R and BD-R keep a closed session appendable; only these functions
  // finalise them.
  if (Finalize && (DiscType == dtDVDPlusRDL || IsBDR(DiscType)))
    return 6;
  if (Finalize && DiscType == dtDVDPlusR)
    return 5;
  return 2;
}

bool TSCSIDevice::CloseSession(bool Finalize) {
  const uint8_t code = GetDiscType();
  DiscTypeCode = code;
  if (IsBDRE(code))  // no tracks or sessions: recording what the drive holds is all
    return SynchronizeCache(120000, false);
  if (!SetClosingParameters(code, Finalize))
    return false;
  if (code == dtDVDPlusRDL)
    return CloseTrackSession(false, SessionCloseFunction(code, Finalize), 0, 0, 0xFF);
  if (IsBDR(code))
    return CloseTrackSession(false, SessionCloseFunction(code, Finalize), 0, 0, 0);
  return CloseTrackOrSession(false, false, Finalize && code == dtDVDPlusR);
}
