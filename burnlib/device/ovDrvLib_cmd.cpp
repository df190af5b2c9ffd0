// One operation per MMC command the library sends, and the readiness waits.
#include "ovDrvLib.h"

#include "ovBytes.h"
#include "ovSync.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kNone = SRB_EVENT_NOTIFY;                // 40h
constexpr uint8_t kIn = SRB_EVENT_NOTIFY | SRB_DIR_IN;     // 48h
constexpr uint8_t kOut = SRB_EVENT_NOTIFY | SRB_DIR_OUT;   // 50h

void Put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t Get32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

} // namespace

bool TSCSIDevice::TestUnitReady(uint32_t TimeoutMs) {
  const uint8_t cdb[6] = {0x00};
  return Exec(6, cdb, kNone, nullptr, 0, TimeoutMs);
}

bool TSCSIDevice::RezeroUnit() {
  const uint8_t cdb[6] = {0x01};
  return Exec(6, cdb, kNone, nullptr, 0, 10000);
}

bool TSCSIDevice::RequestSense(uint8_t *Buffer, uint8_t Length) {
  const uint8_t cdb[6] = {0x03, 0, 0, 0, Length, 0};
  return Exec(6, cdb, kIn, Buffer, Length, 10000);
}

bool TSCSIDevice::FormatUnit(uint8_t Flags, const uint8_t *ParameterList, uint16_t Length) {
  const uint8_t cdb[6] = {0x04, Flags};
  std::vector<uint8_t> list(ParameterList, ParameterList + Length);
  return Exec(6, cdb, kOut, list.data(), Length, 10000);
}

bool TSCSIDevice::Inquiry() {
  const uint8_t cdb[6] = {0x12, 0, 0, 0, 128, 0};
  // A short answer must not leave the previous drive's bytes behind.
  std::memset(InquiryData, 0, sizeof InquiryData);
  return Exec(6, cdb, kIn, InquiryData, sizeof InquiryData, 10000);
}

bool TSCSIDevice::LoadEject(bool Eject) {
  const uint8_t cdb[6] = {0x1B, 0, 0, 0, static_cast<uint8_t>(Eject ? 2 : 3), 0};
  SPTIAutoClose = true;
  const bool ok = Exec(6, cdb, kNone, nullptr, 0, 20000);
  SPTIAutoClose = false;
  return ok;
}

bool TSCSIDevice::AllowMediumRemoval(bool Allow) {
  const uint8_t cdb[6] = {0x1E, 0, 0, 0, static_cast<uint8_t>(Allow ? 0 : 1), 0};
  if (Allow)
    SPTIAutoClose = true;
  const bool ok = Exec(6, cdb, kNone, nullptr, 0, 10000);
  SPTIAutoClose = false;
  return ok;
}

bool TSCSIDevice::ReadFormatCapacities(uint32_t &Blocks, uint32_t &BlockLength) {
  alignas(8) uint8_t buf[248] = {};
  const uint8_t cdb[10] = {0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0};
  const bool ok = Exec(10, cdb, kIn, buf, sizeof buf, 10000);
  BlockLength = 2048;
  if (!ok)
    return false;
  const uint32_t first = Get32(buf + 4), second = Get32(buf + 12), third = Get32(buf + 20);
  static const uint8_t k2048[4] = {0x00, 0x00, 0x08, 0x00};
  static const uint8_t kPlusRW[4] = {0x98, 0x00, 0x00, 0x00};
  if (std::memcmp(buf + 8, k2048, 4) == 0)
    Blocks = first;
  else if (std::memcmp(buf + 16, k2048, 4) == 0 || std::memcmp(buf + 16, kPlusRW, 4) == 0)
    Blocks = second;
  else if (std::memcmp(buf + 24, k2048, 4) == 0)
    Blocks = third;
  else
    Blocks = first;
  return true;
}

bool TSCSIDevice::ReadFormatDescriptor(uint8_t Type, uint32_t &Blocks, uint32_t &Parameter) {
  alignas(8) uint8_t buf[252] = {};
  const uint8_t cdb[10] = {0x23, 0, 0, 0, 0, 0, 0, 0, sizeof buf, 0};
  if (!Exec(10, cdb, kIn, buf, sizeof buf, 10000))
    return false;
  // Header of 4 bytes, the current/maximum descriptor, then 8-byte
  // formattable descriptors: blocks, type << 2 | subtype, parameter.
  const size_t end = std::min<size_t>(4u + buf[3], sizeof buf);
  for (size_t at = 12; at + 8 <= end; at += 8) {
    if ((buf[at + 4] >> 2) != Type)
      continue;
    Blocks = Get32(buf + at);
    Parameter = Get32(buf + at + 4) & 0xFFFFFFu;
    return true;
  }
  return false;
}

bool TSCSIDevice::ReadCapacity(uint32_t &LastLBA, uint32_t &BlockLength) {
  alignas(8) uint8_t buf[8] = {};
  const uint8_t cdb[10] = {0x25};
  if (!Exec(10, cdb, kIn, buf, sizeof buf, 10000))
    return false;
  LastLBA = Get32(buf);
  BlockLength = Get32(buf + 4);
  return true;
}

bool TSCSIDevice::Read10(uint32_t LBA, uint16_t Blocks, int ByteCount, void *Buffer, bool ForceUnitAccess) {
  constexpr uint8_t kFua = 0x08;  // CDB byte 1
  uint8_t cdb[10] = {0x28, static_cast<uint8_t>(ForceUnitAccess ? kFua : 0)};
  Put32(cdb + 2, LBA);
  Put16(cdb + 7, Blocks);
  return Exec(10, cdb, kIn, Buffer, static_cast<uint32_t>(std::max(ByteCount, 0)), 10000);
}

namespace {

// Sends a write command with its data; true when the drive took it.
bool SendWrite(TSCSIDevice &Dev, const uint8_t *Cdb, uint8_t CdbLen, uint8_t Flags, int ByteCount, void *Buffer) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = Flags;
  srb.SRB_BufLen = static_cast<uint32_t>(std::max(ByteCount, 0));
  srb.SRB_BufPointer = static_cast<uint8_t *>(Buffer);
  srb.SRB_CDBLen = CdbLen;
  std::memcpy(srb.CDBByte, Cdb, CdbLen);
  // Without a transport or a device nothing was written: that is a failure,
  // not the "still pending" status the drive may leave.
  if (!ASPIIsInitialized() || Dev.HaId == 254) {
    Dev.ExecSRB(srb, 120000);
    return false;
  }
  Dev.ExecSRB(srb, 120000);
  return srb.SRB_Status == SS_COMP || srb.SRB_Status == SS_PENDING;
}

} // namespace

bool TSCSIDevice::Write10(uint32_t LBA, uint16_t Blocks, uint8_t Flags, int ByteCount, void *Buffer) {
  uint8_t cdb[10] = {0x2A};
  Put32(cdb + 2, LBA);
  Put16(cdb + 7, Blocks);
  return SendWrite(*this, cdb, sizeof cdb, Flags, ByteCount, Buffer);
}

bool TSCSIDevice::Write12(uint32_t LBA, uint32_t Blocks, bool Streaming, int ByteCount, void *Buffer) {
  uint8_t cdb[12] = {0xAA};
  Put32(cdb + 2, LBA);
  Put32(cdb + 6, Blocks);
  cdb[10] = Streaming ? 0x80 : 0x00;
  return SendWrite(*this, cdb, sizeof cdb, kOut, ByteCount, Buffer);
}

bool TSCSIDevice::SynchronizeCache(uint32_t TimeoutMs, bool Immediate) {
  const uint8_t cdb[10] = {0x35, static_cast<uint8_t>(Immediate ? 2 : 0)};
  return Exec(10, cdb, kNone, nullptr, 0, TimeoutMs);
}

bool TSCSIDevice::ReadTOC(uint8_t Format, void *Buffer, uint8_t Length, uint8_t TrackOrSession,
                          bool MSF, uint8_t Control) {
  uint8_t cdb[10] = {0x43, static_cast<uint8_t>(MSF ? 2 : 0), Format, 0, 0, 0, TrackOrSession};
  Put16(cdb + 7, Length);
  cdb[9] = Control;
  return Exec(10, cdb, kIn, Buffer, Length, 10000);
}

bool TSCSIDevice::GetConfiguration(uint8_t RT, uint16_t StartingFeature, void *Buffer, uint16_t Length) {
  uint8_t cdb[10] = {0x46, RT, static_cast<uint8_t>(StartingFeature >> 8),
                     static_cast<uint8_t>(StartingFeature)};
  Put16(cdb + 7, Length);
  return Exec(10, cdb, kIn, Buffer, Length, 30000);
}

bool TSCSIDevice::ReadDiscInformation() {
  uint8_t cdb[10] = {0x51};
  Put16(cdb + 7, sizeof DiscInformation);
  std::memset(DiscInformation, 0, sizeof DiscInformation);
  return Exec(10, cdb, kIn, DiscInformation, sizeof DiscInformation, 10000);
}

bool TSCSIDevice::ReadTrackInformation(uint8_t Track) {
  const uint8_t cdb[10] = {0x52, 1, 0, 0, 0, Track, 0, 0, sizeof TrackInfo, 0};
  std::memset(TrackInfo, 0, sizeof TrackInfo);
  return Exec(10, cdb, kIn, TrackInfo, sizeof TrackInfo, 60000);
}

uint32_t TSCSIDevice::TrackStartAddress() const { return Get32(TrackInfo + 8); }
uint32_t TSCSIDevice::TrackNextWritable() const { return Get32(TrackInfo + 12); }
uint32_t TSCSIDevice::TrackFreeBlocks() const { return Get32(TrackInfo + 16); }
uint32_t TSCSIDevice::TrackSize() const { return Get32(TrackInfo + 24); }
uint32_t TSCSIDevice::TrackLastRecorded() const { return Get32(TrackInfo + 28); }

bool TSCSIDevice::ReserveTrack(uint32_t Blocks) {
  uint8_t cdb[12] = {0x53};
  Put32(cdb + 5, Blocks);
  return Exec(12, cdb, kNone, nullptr, 0, 10000);
}

bool TSCSIDevice::SendOPC() {
  const uint8_t cdb[10] = {0x54, 1};
  return Exec(10, cdb, kNone, nullptr, 0, 150000);
}

bool TSCSIDevice::ModeSelect10(const void *ParameterList, uint16_t Length) {
  uint8_t cdb[10] = {0x55, 0x10};
  Put16(cdb + 7, Length);
  const uint16_t n = std::min<uint16_t>(Length, static_cast<uint16_t>(modeBuffer_.size()));
  std::memcpy(modeBuffer_.data(), ParameterList, n);
  return Exec(10, cdb, kOut, modeBuffer_.data(), n, 10000);
}

bool TSCSIDevice::ModeSense10(uint8_t PageCode, bool Defaults, void *Buffer, uint16_t Length) {
  uint8_t cdb[10] = {0x5A, 0, static_cast<uint8_t>(PageCode | (Defaults ? 0x80 : 0))};
  const uint16_t n = std::min<uint16_t>(Length, static_cast<uint16_t>(modeBuffer_.size()));
  Put16(cdb + 7, n);
  std::memset(Buffer, 0, Length);
  std::fill(modeBuffer_.begin(), modeBuffer_.begin() + n, 0);
  if (!Exec(10, cdb, kIn, modeBuffer_.data(), n, 20000))
    return false;
  std::memcpy(Buffer, modeBuffer_.data(), n);
  return true;
}

bool TSCSIDevice::CloseTrackOrSession(bool CloseTrack, bool Immediate, bool Finalize) {
  uint8_t cdb[10] = {0x5B, static_cast<uint8_t>(Immediate ? 1 : 0)};
  cdb[2] = Finalize ? 5 : CloseTrack ? 1 : 2;
  if (CloseTrack)
    cdb[5] = 0xFF;
  return Exec(10, cdb, kNone, nullptr, 0, 180000);
}

bool TSCSIDevice::CloseTrackSession(bool Immediate, uint8_t CloseFunction, uint8_t Byte3,
                                    uint8_t Byte4, uint8_t Byte5) {
  const uint8_t cdb[10] = {0x5B, static_cast<uint8_t>(Immediate ? 1 : 0), CloseFunction, Byte3,
                           Byte4, Byte5};
  return Exec(10, cdb, kNone, nullptr, 0, 180000);
}

bool TSCSIDevice::ReadBufferCapacity(uint32_t &Size, uint32_t &Free) {
  alignas(8) uint8_t buf[32] = {};
  const uint8_t cdb[10] = {0x5C, 0, 0, 0, 0, 0, 0, 0, 32, 0};
  if (!Exec(10, cdb, kIn, buf, sizeof buf, 10000)) {
    DeviceFreeBufferSize = 0;
    return false;
  }
  Size = Get32(buf + 4);
  Free = Get32(buf + 8);
  DeviceBufferSize = Size;
  DeviceFreeBufferSize = Free == 0xFFFFFFFFu ? Size : Free;
  return true;
}

bool TSCSIDevice::SetStreaming(const void *Descriptor, uint16_t Length) {
  uint8_t cdb[12] = {0xB6};
  Put16(cdb + 9, Length);
  std::vector<uint8_t> data(static_cast<const uint8_t *>(Descriptor),
                            static_cast<const uint8_t *>(Descriptor) + Length);
  return Exec(12, cdb, kOut, data.data(), Length, 10000);
}

bool TSCSIDevice::SetCDSpeed(uint16_t Read, uint16_t Write) {
  uint8_t cdb[12] = {0xBB};
  Put16(cdb + 2, Read ? Read : 0xFFFF);
  Put16(cdb + 4, Write ? Write : 0xFFFF);
  return Exec(12, cdb, kNone, nullptr, 0, 10000);
}

bool TSCSIDevice::GetPerformance(uint8_t Type, uint8_t DataType, uint16_t MaxDescriptors, void *Buffer,
                                 uint32_t Length) {
  constexpr uint8_t kOpGetPerformance = 0xAC;
  constexpr int kCdbMaxDescriptors = 8, kCdbType = 10;
  uint8_t cdb[12] = {kOpGetPerformance, DataType};
  ov::PutBE16(cdb + kCdbMaxDescriptors, MaxDescriptors);
  cdb[kCdbType] = Type;
  return Exec(12, cdb, kIn, Buffer, Length, 10000);
}

bool TSCSIDevice::SendDVDStructure(uint8_t Format, const void *Data, uint16_t Length) {
  uint8_t cdb[12] = {0xBF};
  cdb[7] = Format;
  Put16(cdb + 8, Length);
  std::vector<uint8_t> data(static_cast<const uint8_t *>(Data),
                            static_cast<const uint8_t *>(Data) + Length);
  return Exec(12, cdb, kOut, data.data(), Length, 10000);
}

bool TSCSIDevice::WriteDVDTimestamp(ov::TDateTime When) {
  alignas(8) uint8_t data[22] = {0x00, 0x14};
  const std::string stamp = ov::FormatDateTime("yyyymmddhhnnss", When);
  std::memcpy(data + 8, stamp.data(), std::min<size_t>(14, stamp.size()));
  return SendDVDStructure(0x0F, data, sizeof data);
}

bool TSCSIDevice::WaitUnitReady(int TotalMs, int IntervalMs) {
  alignas(8) uint8_t sense[40] = {};
  if (QuirkSlowReady || QuirkLongErase) {
    do {
      ov::Sleep(1500);
      TotalMs -= 1500;
      if (TotalMs < 0)
        break;
      TestUnitReady(5000);
    } while (NotReady());
  }
  if (MediumAbsent())
    return false;
  bool skipToPoll = false;
  if (DiscTypeCode == dtDVDRAM) {
    skipToPoll = true;
  } else {
    do {
      ov::Sleep(static_cast<uint32_t>(std::max(IntervalMs, 0)));
      ReadDiscInformation();
      TotalMs -= IntervalMs;
      if (TotalMs < 0 || MediumAbsent())
        return false;
    } while (NotReady());
  }
  // The sense buffer is still clear here, so a ready drive is done.
  if (!skipToPoll && TestUnitReady(5000) && sense[12] == 0)
    return true;
  do {
    ov::Sleep(static_cast<uint32_t>(std::max(IntervalMs, 0)));
    TotalMs -= IntervalMs;
    if (TotalMs < 0)
      return false;
    TestUnitReady(5000);
  } while (NotReady());
  if (MediumAbsent())
    return false;
  uint8_t asc = 0;
  do {
    std::memset(sense, 0, sizeof sense);
    RequestSense(sense, sizeof sense);
    TotalMs -= IntervalMs;
    if (TotalMs < 0)
      return false;
    asc = PolledSenseASC(sense, sizeof sense);
    if (asc == 0x3A)
      return false;
    if (asc == 0x04)
      ov::Sleep(static_cast<uint32_t>(std::max(IntervalMs, 0)));
  } while (asc != 0);
  return true;
}
