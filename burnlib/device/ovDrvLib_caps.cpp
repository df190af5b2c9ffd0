// Drive selection, identity, capabilities, quirks and write-mode probing.
#include "ovDrvLib.h"

#include "ovBytes.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

std::string Trim(std::string s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string::npos)
    return {};
  const auto e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

bool StartsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

} // namespace

bool ParseDeviceAddress(const std::string &S, uint8_t &Ha, uint8_t &Target, uint8_t &Lun) {
  uint8_t parts[3] = {};
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t start = pos;
    unsigned value = 0;
    while (pos < S.size() && std::isdigit(static_cast<unsigned char>(S[pos])) && pos - start < 3)
      value = value * 10 + static_cast<unsigned>(S[pos++] - '0');
    if (pos == start || value > 253)
      return false;
    parts[i] = static_cast<uint8_t>(value);
    if (i == 2 && pos == S.size())
      break;
    if (pos >= S.size() || S[pos] != (i < 2 ? ':' : ','))
      return false;
    ++pos;
  }
  Ha = parts[0];
  Target = parts[1];
  Lun = parts[2];
  return true;
}

void TSCSIDevice::SelectDevice(const std::string &S) {
  bool valid = false;
  uint8_t ha = 0, target = 0, lun = 0;
  if (ParseDeviceAddress(S, ha, target, lun)) {
    // Quirks belong to the drive selected before: they must not colour what
    // this one reports.
    QuirkUnderrunForced = QuirkLinkSize = QuirkSlowReady = false;
    timedOut_ = false;
    HaId = ha;
    Target = target;
    Lun = lun;
    DeviceID = S;
    IdentifyDevice();
    if (PeripheralType == 5 || PeripheralType == 4) {
      const std::string rawProduct(reinterpret_cast<const char *>(InquiryData + 16), 16);
      const std::string P = Trim(rawProduct);
      std::string V = Trim(std::string(reinterpret_cast<const char *>(InquiryData + 8), 8));
      if (V.size() < 3)
        V = "     ";
      QuirkUnderrunForced = P == "CD-W512EB";
      QuirkLinkSize = P == "CRX175E" || P == "CD-RW  CRX800E";
      QuirkSlowReady = rawProduct == "DVD-RW  DVR-103 " || rawProduct == "DVD-RW  DVR-104 ";
      QuirkLongErase = StartsWith(P, "UJDA") || StartsWith(V, "TDK");
      CloseImmediate = P != "CDRW321040X" || QuirkSlowReady;
      if (QuirkUnderrunForced)
        Capabilities |= 1u << capUnderrunProtection;
      if (OnDeviceChange)
        OnDeviceChange(this);
      ProbeWriteModes();
      valid = true;
    }
  }
  if (valid)
    return;
  if (!S.empty())
    DebugMsg("INVALID DEVICE ID / NOT A CD OR DVD DRIVE", 0);
  DeviceID.clear();
  DeviceDescription.clear();
  PeripheralType = 127;
  HaId = Target = Lun = 254;
}

void TSCSIDevice::IdentifyDevice() {
  ReadCapabilities();
  if (!Inquiry()) {
    DeviceDescription = ErrorText;
    // A device that does not answer is no device, whatever was selected before.
    PeripheralType = 127;
    return;
  }
  PeripheralType = InquiryData[0];
  for (int i = 8; i < 56; ++i)
    if (InquiryData[i] < 32)
      InquiryData[i] = ' ';
  const char *d = reinterpret_cast<const char *>(InquiryData);
  DeviceDescription = std::string(d + 8, 8) + " " + std::string(d + 16, 16) + " " + std::string(d + 32, 4);
}

int LocateModePage(const uint8_t *buf, uint8_t page, bool defaultsOrder) {
  if (buf[16] == page)
    return 16;
  if (defaultsOrder) {
    // Default-values read: 7 only when byte 8 does not hold the page.
    if (buf[8] != page && buf[7] == page)
      return 7;
    return 8;
  }
  if (buf[8] == page)
    return 8;
  return 7;
}

bool TSCSIDevice::VendorPage30Present() {
  alignas(8) uint8_t buf[256] = {};
  ModeSense10(0x30, false, buf, 128);
  return buf[16] == 0x30 || buf[8] == 0x30 || buf[7] == 0x30;
}

bool TSCSIDevice::ReadCapabilities() {
  Capabilities = 0;
  maxWriteSpeed_ = 0;
  maxReadSpeed_ = 0;
  std::memset(CapabilitiesPage, 0, sizeof CapabilitiesPage);
  CapMaxReadSpeed = CapBufferSizeKB = CapCurReadSpeed = CapMaxWriteSpeed = CapCurWriteSpeed = 0;

  alignas(8) uint8_t buf[516] = {};
  const bool defaults = ModeSense10(0x2A, true, buf, 255);
  if (defaults) {
    const int off = LocateModePage(buf, 0x2A, true);
    std::memcpy(CapabilitiesPage, buf + off, 255 - off);
    ApplyCapabilitiesPage();
  }

  std::memset(buf, 0, sizeof buf);
  if (!ModeSense10(0x2A, false, buf, 128))
    return false;
  const int off = LocateModePage(buf, 0x2A, false);
  std::memset(CapabilitiesPage, 0, sizeof CapabilitiesPage);
  std::memcpy(CapabilitiesPage, buf + off, 128 - off);
  // Some drives refuse the default values but report the current ones: the
  // capabilities then come from the current page rather than staying empty.
  if (!defaults)
    ApplyCapabilitiesPage();
  const uint8_t *pg = CapabilitiesPage;
  CapMaxReadSpeed = Get16(pg + 8);
  CapBufferSizeKB = Get16(pg + 12);
  CapCurReadSpeed = Get16(pg + 14);
  CapMaxWriteSpeed = Get16(pg + 18) ? Get16(pg + 18) : 1385;
  CapCurWriteSpeed = Get16(pg + 20) ? Get16(pg + 20) : 1385;
  maxWriteSpeed_ = std::max(maxWriteSpeed_, CapMaxWriteSpeed);
  maxReadSpeed_ = std::max(maxReadSpeed_, CapMaxReadSpeed);
  return true;
}

// The capability bits and maximum speeds from CapabilitiesPage, the vendor
// page and the three GET CONFIGURATION features.
void TSCSIDevice::ApplyCapabilitiesPage() {
  const auto setBit = [this](int bit) { Capabilities |= 1u << bit; };
  const uint8_t *pg = CapabilitiesPage;
  const uint8_t rd = pg[2], wr = pg[3];
  if (rd & 0x01) setBit(capReadCDR);
  if (rd & 0x02) setBit(capReadCDRW);
  if (rd & 0x04) setBit(capReadMethod2);
  if (rd & 0x08) setBit(capReadDVDROM);
  if (rd & 0x10) { setBit(capReadDVDR); setBit(capReadDVDRW); }
  if (rd & 0x20) setBit(capReadDVDRAM);
  if (wr & 0x01) setBit(capWriteCDR);
  if (wr & 0x02) setBit(capWriteCDRW);
  if (wr & 0x04) setBit(capTestWrite);
  if (wr & 0x10) { setBit(capWriteDVDR); setBit(capWriteDVDRW); }
  if (wr & 0x20) setBit(capWriteDVDRAM);
  if (pg[4] & 0x80) setBit(capUnderrunProtection);
  if (VendorPage30Present() || QuirkUnderrunForced)
    setBit(capUnderrunProtection);
  const bool ram = HasCapability(capWriteDVDRAM);
  maxWriteSpeed_ = Get16(pg + 18) ? Get16(pg + 18) : (ram ? 1 : 0);
  maxReadSpeed_ = Get16(pg + 8) ? Get16(pg + 8) : (ram ? 1 : 0);

  const uint16_t features[5] = {0x2A, 0x3B, 0x2F, 0x40, 0x41};
  for (uint16_t f : features) {
    alignas(8) uint8_t cfg[114] = {};
    if (!GetConfiguration(2, f, cfg, sizeof cfg) || Get16(cfg + 8) != f)
      continue;
    const bool writes = cfg[12] == 1;
    switch (f) {
    case 0x2A:
      setBit(capReadDVDPlusR);
      setBit(capReadDVDPlusRW);
      if (writes) { setBit(capWriteDVDPlusR); setBit(capWriteDVDPlusRW); }
      break;
    case 0x3B:
      setBit(capReadDVDPlusRDL);
      if (writes) setBit(capWriteDVDPlusRDL);
      break;
    case 0x2F:
      setBit(capReadDVDR);
      setBit(capReadDVDRW);
      if (writes) { setBit(capWriteDVDR); setBit(capWriteDVDRW); }
      break;
    case 0x40:
      setBit(capReadBD);
      break;
    case 0x41:
      // Class 0 version bitmaps: BD-RE at feature bytes 8-9, BD-R at 16-17.
      if (Get16(cfg + 8 + 8) != 0) setBit(capWriteBDRE);
      if (Get16(cfg + 8 + 16) != 0) setBit(capWriteBDR);
      break;
    }
  }
}

uint16_t TSCSIDevice::GetMaxWriteSpeed() { return ReadCapabilities() ? CapMaxWriteSpeed : 0; }
uint16_t TSCSIDevice::GetMaxReadSpeed() { return ReadCapabilities() ? CapMaxReadSpeed : 0; }
uint16_t TSCSIDevice::GetCurrentWriteSpeed() { return ReadCapabilities() ? CapCurWriteSpeed : 0; }

std::vector<uint16_t> TSCSIDevice::MediumWriteSpeeds() {
  // Feature 0107h (Real-Time Streaming): its WSPD bit says the drive lists
  // write speeds through GET PERFORMANCE.
  constexpr uint16_t kFeatureRealTimeStreaming = 0x0107;
  constexpr int kFeatureCode = 8, kFeatureFlags = 12;
  constexpr uint8_t kWSPD = 0x02;
  alignas(8) uint8_t cfg[32] = {};
  if (!GetConfiguration(2, kFeatureRealTimeStreaming, cfg, sizeof cfg) ||
      ov::GetBE16(cfg + kFeatureCode) != kFeatureRealTimeStreaming || !(cfg[kFeatureFlags] & kWSPD))
    return {};
  // Type 03h: an 8-byte header, then 16-byte write speed descriptors with
  // the speed in bytes 12-15.
  constexpr uint8_t kTypeWriteSpeed = 0x03;
  constexpr uint16_t kMaxDescriptors = 32;
  constexpr size_t kHeader = 8, kDescriptor = 16, kWriteSpeed = 12;
  alignas(8) uint8_t buf[kHeader + kDescriptor * kMaxDescriptors] = {};
  if (!GetPerformance(kTypeWriteSpeed, 0, kMaxDescriptors, buf, sizeof buf))
    return {};
  const size_t available = ov::GetBE32(buf) + 4;
  const size_t end = std::min(available, sizeof buf);
  std::vector<uint16_t> speeds;
  for (size_t at = kHeader; at + kDescriptor <= end; at += kDescriptor) {
    const uint32_t kbs = ov::GetBE32(buf + at + kWriteSpeed);
    if (kbs == 0)
      continue;
    speeds.push_back(static_cast<uint16_t>(std::min<uint32_t>(kbs, 0xFFFF)));
  }
  std::sort(speeds.rbegin(), speeds.rend());
  speeds.erase(std::unique(speeds.begin(), speeds.end()), speeds.end());
  return speeds;
}

void TSCSIDevice::SetWriteSpeed(uint16_t Value) {
  SetCDSpeed(ReadSpeed, Value);
  writeSpeed_ = Value;
}

bool TSCSIDevice::TryWriteMode(uint8_t mode) {
  alignas(8) uint8_t buf[512] = {};
  if (!ModeSense10(0x05, false, buf, 512))
    return false;
  const int off = buf[16] == 0x05 ? 16 : 8;
  uint8_t *pg = buf + off;
  const int pageBytes = std::min<int>(pg[1] + 2, static_cast<int>(sizeof buf) - off);
  pg[4] = 0;
  if (mode == wmRaw) {
    pg[4] = 1;
    pg[2] = 3;
  } else {
    pg[2] = mode == wmSAO ? 2 : 1;
  }
  pg[3] = 0;
  pg[8] = 0;
  pg[9] = 0;
  pg[14] = 0;
  pg[15] = 150;
  std::memcpy(WriteParamsPage, pg, sizeof WriteParamsPage);
  std::vector<uint8_t> list(8 + pageBytes, 0);
  std::memcpy(list.data() + 8, pg, pageBytes);
  return ModeSelect10(list.data(), static_cast<uint16_t>(list.size()));
}

void TSCSIDevice::ProbeWriteModes() {
  WriteModes = 0;
  for (uint8_t mode : {wmRaw, wmSAO, wmTAO})
    if (TryWriteMode(mode))
      WriteModes |= mode;
  if (WriteModes != 0)
    return;
  // The loaded medium (a DVD, or none) refuses every CD write type: the
  // drive's writing features tell what it can do instead.
  struct TModeFeature {
    uint16_t Code;
    uint8_t FlagMask;  // 0: the feature alone grants the mode
    uint8_t Mode;
  };
  static const TModeFeature kFeatures[] = {
      {0x2D, 0, wmTAO},     // CD track-at-once
      {0x2E, 0x20, wmSAO},  // CD mastering: SAO bit
      {0x2E, 0x18, wmRaw},  // CD mastering: raw, raw multisession
      {0x21, 0, wmTAO},     // incremental streaming writing
      {0x2F, 0, wmSAO},     // DVD-R/-RW disc-at-once
  };
  constexpr int kFeatureCode = 8, kFeatureFlags = 12;
  for (const TModeFeature &f : kFeatures) {
    alignas(8) uint8_t cfg[32] = {};
    if (GetConfiguration(2, f.Code, cfg, sizeof cfg) && Get16(cfg + kFeatureCode) == f.Code &&
        (f.FlagMask == 0 || (cfg[kFeatureFlags] & f.FlagMask)))
      WriteModes |= f.Mode;
  }
}
