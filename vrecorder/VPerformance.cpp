// GET PERFORMANCE (ACh): the nominal read and write performance of the
// loaded medium (type 00h) and the write speeds it can be recorded at
// (type 03h, one descriptor per step, fastest first, as page 2Ah lists them).
// Speeds are kB/s of 1000 bytes; a descriptor covers the medium up to its
// last user block, so spare areas show in its end address.
#include "VDrive.h"

#include <algorithm>

namespace vrec {

namespace {

// CDB fields.
constexpr int kCdbDataType = 1;        // type 00h: Tolerance, Write, Except
constexpr uint8_t kDataTypeWrite = 0x04;
constexpr uint8_t kDataTypeExcept = 0x03;
constexpr int kCdbMaxDescriptors = 8;  // 16 bits
constexpr int kCdbType = 10;
constexpr uint8_t kTypePerformance = 0x00;
constexpr uint8_t kTypeWriteSpeed = 0x03;

// The reply: an 8-byte header, then 16-byte descriptors.
constexpr size_t kHeaderBytes = 8;
constexpr size_t kHeaderFlags = 4;  // Write 02h, Except 01h
constexpr size_t kDescriptorBytes = 16;
// Type 00h descriptor.
constexpr size_t kPerfStartLba = 0, kPerfStart = 4, kPerfEndLba = 8, kPerfEnd = 12;
// Type 03h descriptor.
constexpr size_t kWsdFlags = 0, kWsdEndLba = 4, kWsdReadSpeed = 8, kWsdWriteSpeed = 12;

}  // namespace

uint32_t GetPerformanceLength(const uint8_t *cdb) {
  const uint32_t max = (uint32_t(cdb[kCdbMaxDescriptors]) << 8) | cdb[kCdbMaxDescriptors + 1];
  return uint32_t(kHeaderBytes + kDescriptorBytes * max);
}

void CmdGetPerformance(TCmd &c) {
  const TDrive &d = c.D;
  const uint8_t type = c.Cdb[kCdbType];
  const uint32_t lastLba = d.Capacity ? d.Capacity - 1 : 0;
  std::vector<uint8_t> r(kHeaderBytes, 0);
  auto descriptor = [&r] {
    r.resize(r.size() + kDescriptorBytes, 0);
    return r.size() - kDescriptorBytes;
  };
  if (type == kTypePerformance) {
    const uint8_t dataType = c.Cdb[kCdbDataType];
    const bool write = dataType & kDataTypeWrite;
    const uint8_t except = dataType & kDataTypeExcept;
    if (except == 3) {
      c.Check(5, 0x24, 0);  // invalid field in CDB
      return;
    }
    r[kHeaderFlags] = uint8_t((write ? 0x02 : 0) | (except ? 0x01 : 0));
    // Nominal performance: one zone over the whole medium at the speed in
    // effect. There are no exceptions to list.
    const uint32_t speed = write ? (d.CanWrite(d.Medium) ? CurrentWriteSpeed(d) : 0) : CurrentReadSpeed(d);
    if (except == 0 && speed) {
      const size_t at = descriptor();
      Put32(r, at + kPerfStartLba, 0);
      Put32(r, at + kPerfStart, speed);
      Put32(r, at + kPerfEndLba, lastLba);
      Put32(r, at + kPerfEnd, speed);
    }
  } else if (type == kTypeWriteSpeed) {
    const uint16_t read = d.MaxReadSpeed();
    for (uint16_t speed : d.WriteSpeedsForMedium()) {
      const size_t at = descriptor();
      r[at + kWsdFlags] = 0;  // default rotation control, speed not exact
      Put32(r, at + kWsdEndLba, lastLba);
      Put32(r, at + kWsdReadSpeed, read);
      Put32(r, at + kWsdWriteSpeed, speed);
    }
  } else {
    c.Check(5, 0x24, 0);
    return;
  }
  // The length counts every descriptor there is; the reply holds as many as
  // the CDB allows (Dispatch cut the allocation to that).
  Put32(r, 0, uint32_t(r.size() - 4));
  c.Reply(r);
}

}  // namespace vrec
