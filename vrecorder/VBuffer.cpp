// The drive buffer of the virtual recorder and the commands that wait on it:
// WRITE(10) data fills the buffer at once and it drains to the disc at the
// current write speed on the drive's clock. READ BUFFER CAPACITY reports the
// fill, a write that does not fit is answered "long write in progress", and
// SYNCHRONIZE CACHE waits for the drain. Also the time OPC takes and the
// `corrupt` fault, which alters recorded data behind a successful write.
#include "VDrive.h"

#include <algorithm>
#include <cmath>

namespace vrec {

namespace {

constexpr double kOpcSeconds = 1.5;      // power calibration at clock 1
constexpr uint16_t kFallbackSpeed = 1385; // KB/s, when the medium lists no speed

double BufferBytes(const TDrive &d) { return double(d.BufferKb) * 1024; }

// Bytes per second leaving the buffer.
double DrainRate(const TDrive &d) {
  const uint16_t kbs = CurrentWriteSpeed(d);
  return double(kbs ? kbs : kFallbackSpeed) * 1000 * ClockFactor(d);  // MMC speeds count kB of 1000 bytes
}

// Seconds until the buffer is empty.
double DrainSeconds(const TDrive &d, double now) {
  const double fill = BufferFill(d, now);
  return fill > 0 ? fill / DrainRate(d) : 0;
}

}  // namespace

double BufferFill(const TDrive &d, double now) {
  if (d.BufFill <= 0)
    return 0;
  const double rate = DrainRate(d);
  if (std::isinf(rate))
    return 0;
  return std::max(0.0, d.BufFill - rate * std::max(0.0, now - d.BufTime));
}

bool BufferAccept(TDrive &d, double bytes) {
  const double now = NowSeconds();
  const double fill = BufferFill(d, now);
  if (fill > 0 && fill + bytes > BufferBytes(d))
    return false;
  if (d.BufFill > 0 && fill <= 0) {  // it ran dry before this write came
    const double emptySince = d.BufTime + d.BufFill / DrainRate(d);
    ++d.Underruns;
    d.UnderrunSeconds += std::max(0.0, now - emptySince);
  }
  d.RecordedSpeed = CurrentWriteSpeed(d);
  d.BufFill = std::isinf(DrainRate(d)) ? 0 : std::min(BufferBytes(d), fill + bytes);
  d.BufTime = now;
  return true;
}

void BufferReset(TDrive &d) { d.BufFill = d.BufTime = 0; }

void CmdReadBufferCapacity(TCmd &c) {
  std::vector<uint8_t> r(12, 0);
  Put16(r, 0, 10);
  const double size = BufferBytes(c.D);
  const double free = std::max(0.0, size - BufferFill(c.D, NowSeconds()));
  if (c.Cdb[1] & 0x01) {  // block mode: the free space in blocks
    r[3] = 1;
    Put32(r, 8, uint32_t(free / 2048));
  } else {
    Put32(r, 4, uint32_t(size));
    Put32(r, 8, uint32_t(free));
  }
  c.Reply(r);
}

void CmdSynchronizeCache(TCmd &c) {
  const double now = NowSeconds();
  const double wait = DrainSeconds(c.D, now);
  if (wait <= 0) {
    if (c.D.BufFill > 0) {
      BufferReset(c.D);
      c.Changed = true;
    }
    return;
  }
  if (c.Cdb[1] & 0x02) {  // IMMED: the drive reports a long write until drained
    c.D.Op = "flush";
    c.D.OpStart = now;
    c.D.OpSeconds = wait;
  } else {
    c.R.Delay = wait;
  }
  BufferReset(c.D);
  c.Changed = true;
}

void CmdSendOpc(TCmd &c) {
  if (!c.D.CanWrite(c.D.Medium)) {
    c.Check(5, 0x30, 0x05);
    return;
  }
  if (c.Cdb[1] & 0x01)  // DoOpc: the calibration takes a moment
    c.R.Delay = kOpcSeconds / ClockFactor(c.D);
}

bool FaultFires(TDrive &d, size_t i) {
  TFault &f = d.Faults[i];
  if (f.Skip > 0) {
    --f.Skip;
    return false;
  }
  if (f.Count > 0 && --f.Count == 0)
    d.Faults.erase(d.Faults.begin() + long(i));
  return true;
}

void CorruptRecorded(TCmd &c, uint32_t lba, uint32_t n) {
  TDrive &d = c.D;
  for (size_t i = 0; i < d.Faults.size();) {
    const TFault f = d.Faults[i];
    const bool covers = f.Kind == "corrupt" && f.Lba >= int64_t(lba) && f.Lba < int64_t(lba) + n &&
                        (f.Op < 0 || f.Op == c.Cdb[0]);
    if (!covers) {
      ++i;
      continue;
    }
    c.Changed = true;
    const size_t before = d.Faults.size();
    if (FaultFires(d, i)) {
      // The block reads back with every byte inverted: no write error is reported.
      std::vector<uint8_t> block(c.Buf + size_t(f.Lba - lba) * 2048, c.Buf + size_t(f.Lba - lba + 1) * 2048);
      for (uint8_t &b : block)
        b = uint8_t(~b);
      WriteBlocks(d, uint32_t(f.Lba), 1, block.data());
      CacheAlter(d, uint32_t(f.Lba));
    }
    if (d.Faults.size() == before)
      ++i;
  }
}

}  // namespace vrec
