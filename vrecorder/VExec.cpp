// Command dispatch of the virtual recorder: faults, unit attention, long
// operations, and the identity/capability commands.
#include "VDrive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vrec {

void Put16(std::vector<uint8_t> &v, size_t at, uint32_t x) {
  v[at] = uint8_t(x >> 8);
  v[at + 1] = uint8_t(x);
}

void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x) {
  v[at] = uint8_t(x >> 24);
  v[at + 1] = uint8_t(x >> 16);
  v[at + 2] = uint8_t(x >> 8);
  v[at + 3] = uint8_t(x);
}

void LbaToMsf(int64_t lba, uint8_t *msf) {
  int64_t f = lba + 150;
  if (f < 0)
    f += 450000;  // lead-in addresses wrap to 90:00:00 and above
  msf[0] = uint8_t(f / 4500);
  msf[1] = uint8_t((f / 75) % 60);
  msf[2] = uint8_t(f % 75);
}

uint16_t PickSpeed(const std::vector<uint16_t> &steps, uint32_t wanted) {
  if (steps.empty())
    return 0;
  if (wanted == 0)
    return steps.front();
  for (uint16_t s : steps)  // fastest first: the largest step not above the request
    if (s <= wanted)
      return s;
  return steps.back();
}

void TCmd::Reply(const std::vector<uint8_t> &data) {
  if (Buf && Len)
    std::memcpy(Buf, data.data(), std::min<size_t>(Len, data.size()));
}

void BuildSense(const TResult &r, uint8_t *sense, int len) {
  uint8_t s[18] = {};
  s[0] = 0x70;
  s[2] = r.Key;
  s[7] = 10;
  s[12] = r.Asc;
  s[13] = r.Ascq;
  if (r.Progress >= 0) {
    s[15] = 0x80;
    s[16] = uint8_t(r.Progress >> 8);
    s[17] = uint8_t(r.Progress);
  }
  std::memcpy(sense, s, std::min<size_t>(size_t(std::max(len, 0)), sizeof s));
}

void StartLongOp(TDrive &d, const std::string &op, double seconds) {
  d.Op = op;
  d.OpStart = NowSeconds();
  d.OpSeconds = seconds / ClockFactor(d);
}

// ---- identity and readiness ----

// The "not ready" qualifier of a long operation: format in progress, long
// write in progress (draining the buffer), or operation in progress.
static uint8_t OpAscq(const TDrive &d) { return d.Op == "format" ? 4 : d.Op == "flush" ? 8 : 7; }

static void CmdInquiry(TCmd &c) {
  if (c.Cdb[1] & 0x01) {  // vital product data pages are not offered
    c.Check(5, 0x24, 0);
    return;
  }
  std::vector<uint8_t> r(96, 0);
  r[0] = 0x05;  // CD/DVD device
  r[1] = 0x80;  // removable
  r[2] = 0x00;
  r[3] = 0x32;
  r[4] = 96 - 5;
  auto put = [&](size_t at, const std::string &s, size_t w) {
    for (size_t i = 0; i < w; ++i)
      r[at + i] = uint8_t(i < s.size() ? s[i] : ' ');
  };
  put(8, c.D.Vendor, 8);
  put(16, c.D.Product, 16);
  put(32, c.D.Revision, 4);
  put(36, "12/07/26  " + c.D.Vendor, 20);
  const uint32_t alloc = c.Cdb[4];
  c.Reply(std::vector<uint8_t>(r.begin(), r.begin() + std::min<size_t>(alloc, r.size())));
}

// The condition REQUEST SENSE and TEST UNIT READY report without a command error.
static bool CurrentCondition(TDrive &d, TResult &r) {
  const TMediaType *t = d.Type();
  if (!t) {
    r = TResult{2, 0, 2, 0x3A, uint8_t(d.TrayOpen ? 2 : 1)};
    return true;
  }
  if (d.TrayOpen) {
    r = TResult{2, 0, 2, 0x3A, 2};
    return true;
  }
  if (!d.CanRead(t->Name)) {
    r = TResult{2, 0, 2, 0x30, 0};
    return true;
  }
  return false;
}

static void CmdRequestSense(TCmd &c) {
  TResult cond;
  if (c.D.UnitAttention) {  // reported once, here or by the next command
    cond = TResult{2, 0, 6, 0x28, 0};
    c.D.UnitAttention = false;
    c.Changed = true;
  } else if (!c.D.Op.empty()) {
    const double done = (NowSeconds() - c.D.OpStart) / std::max(c.D.OpSeconds, 1e-6);
    cond = TResult{2, 0, 2, 4, OpAscq(c.D)};
    cond.Progress = std::clamp(int(done * 65536), 0, 65535);
  } else if (!CurrentCondition(c.D, cond)) {
    cond = TResult{};
  }
  uint8_t s[18];
  BuildSense(cond, s, 18);
  c.Reply(std::vector<uint8_t>(s, s + std::min<size_t>(18, c.Cdb[4])));
}

// ---- speeds and capabilities ----

uint16_t CurrentWriteSpeed(const TDrive &d) { return PickSpeed(d.WriteSpeedsForMedium(), d.WriteSpeed); }

uint16_t CurrentReadSpeed(const TDrive &d) {
  const uint16_t mx = d.MaxReadSpeed();
  return d.ReadSpeed && d.ReadSpeed < mx ? d.ReadSpeed : mx;
}

static std::vector<uint8_t> Page2A(const TDrive &d, int pc) {
  const std::vector<uint16_t> speeds = d.WriteSpeedsForMedium();
  const bool writer = !d.Writes.empty();
  const size_t n = speeds.size();
  size_t len = 32 + 4 * n;
  if (writer)
    len = std::max<size_t>(len, 76);  // real writers pad the page to a fixed size
  std::vector<uint8_t> p(len, 0);
  p[0] = 0x2A;
  p[1] = uint8_t(len - 2);
  if (pc == 1)
    return p;  // nothing in this page can be changed
  auto reads = [&](const char *m) { return d.CanRead(m); };
  auto writes = [&](const char *m) { return d.CanWrite(m); };
  p[2] = uint8_t((reads("CD-R") ? 0x01 : 0) | (reads("CD-RW") ? 0x02 : 0) | 0x04 | (reads("DVD-ROM") ? 0x08 : 0) |
                 (reads("DVD-R") ? 0x10 : 0) | (reads("DVD-RAM") ? 0x20 : 0));
  p[3] = uint8_t((writes("CD-R") ? 0x01 : 0) | (writes("CD-RW") ? 0x02 : 0) | (d.TestWriteCap ? 0x04 : 0) |
                 (writes("DVD-R") ? 0x10 : 0) | (writes("DVD-RAM") ? 0x20 : 0));
  p[4] = uint8_t((d.Underrun ? 0x80 : 0) | 0x71);
  p[5] = 0x73;
  p[6] = uint8_t(0x29 | (d.Prevent ? 0x02 : 0));
  p[7] = writer ? 0x23 : 0x00;
  const bool defaults = pc == 2;
  const uint16_t maxRead = d.MaxReadSpeed();
  const uint16_t maxWrite = speeds.empty() ? 0 : speeds.front();
  const uint16_t curWrite = defaults ? maxWrite : CurrentWriteSpeed(d);
  Put16(p, 8, maxRead);
  Put16(p, 10, 0x0100);
  Put16(p, 12, d.BufferKb > 0xFFFF ? 0xFFFF : d.BufferKb);
  Put16(p, 14, defaults ? maxRead : CurrentReadSpeed(d));
  Put16(p, 18, maxWrite);
  Put16(p, 20, curWrite);
  Put16(p, 22, 0x0001);
  Put16(p, 28, curWrite);
  Put16(p, 30, uint32_t(n));
  for (size_t i = 0; i < n; ++i)
    Put16(p, 32 + 4 * i + 2, speeds[i]);
  return p;
}

static std::vector<uint8_t> Page05(const TDrive &d, int pc) {
  if (pc == 2)
    return DefaultWriteParams();
  std::vector<uint8_t> p = d.WriteParams;
  if (pc == 1) {  // changeable fields
    std::fill(p.begin() + 2, p.end(), 0);
    p[2] = 0x7F;
    p[3] = 0xFF;
    p[4] = 0x0F;
    p[5] = 0xFF;
    p[7] = 0xFF;
    p[8] = 0xFF;
    for (int i = 10; i <= 15; ++i)
      p[i] = 0xFF;
  }
  p[0] = 0x05;
  return p;
}

void CmdModeSense(TCmd &c) {
  const int pc = c.Cdb[2] >> 6;
  const int page = c.Cdb[2] & 0x3F;
  if (pc == 3) {
    c.Check(5, 0x39, 0);  // saving parameters not supported
    return;
  }
  const bool writer = !c.D.Writes.empty();
  std::vector<uint8_t> r(8, 0);
  auto add = [&](const std::vector<uint8_t> &p) { r.insert(r.end(), p.begin(), p.end()); };
  if (page == 0x05 && writer)
    add(Page05(c.D, pc));
  else if (page == 0x2A)
    add(Page2A(c.D, pc));
  else if (page == 0x3F) {
    if (writer)
      add(Page05(c.D, pc));
    add(Page2A(c.D, pc));
  } else {
    c.Check(5, 0x24, 0);
    return;
  }
  Put16(r, 0, uint32_t(r.size() - 2));
  c.Reply(r);
}

// Whether page 05h can be used with the loaded medium.
static bool WriteParamsAcceptable(const TDrive &d, const uint8_t *p) {
  const int wt = p[2] & 0x0F;
  const bool test = p[2] & 0x10;
  const int multi = p[3] >> 6;
  const int dbt = p[4] & 0x0F;
  if (wt > 3 || multi == 2)
    return false;
  if (test && !d.TestWriteCap)
    return false;
  const uint16_t prof = d.Profile();
  const bool cd = prof == PROF_CDR || prof == PROF_CDRW;
  switch (prof) {
  case PROF_CDR:
  case PROF_CDRW:
    break;
  case PROF_DVDR:
  case PROF_DVDRW_SEQ:
    if (wt != 0 && wt != 2)
      return false;
    if (wt == 0 && d.DaoOnly)
      return false;  // incremental recording is not current after a minimal blank
    break;
  case PROF_DVDRW_RO:
    if (wt != 0 || test)
      return false;
    break;
  case PROF_DVDPR:
  case PROF_DVDPR_DL:
  case PROF_DVDPRW:
  case PROF_DVDRAM:
  case PROF_BDR:
  case PROF_BDRE:
    if (wt > 2 || test)
      return false;  // no simulation on these media
    break;
  default:
    break;  // no medium or a pressed disc: nothing to check against yet
  }
  if (cd) {
    if (dbt != 8 && dbt != 10 && dbt != 12 && dbt != 13 && dbt > 3)
      return false;
    if (wt == 0 && (p[3] & 0x20) && p[10] == 0 && p[11] == 0 && p[12] == 0 && p[13] == 0)
      return false;  // fixed packets of size 0
  } else if (prof != PROF_NONE && prof != PROF_CDROM && prof != PROF_DVDROM && dbt != 8) {
    return false;  // DVD media take 2048-byte mode 1 blocks only
  }
  return true;
}

void CmdModeSelect(TCmd &c) {
  if (c.DataDir != 2) {
    c.Check(5, 0x24, 0);
    return;
  }
  const uint32_t n = std::min(c.Cdb16(7), c.Len);
  if (n < 8) {
    c.Check(5, 0x1A, 0);  // parameter list length error
    return;
  }
  const uint8_t *b = c.Buf;
  const uint32_t bdl = (uint32_t(b[6]) << 8) | b[7];
  uint32_t at = 8 + bdl;
  if (at > n) {
    c.Check(5, 0x1A, 0);
    return;
  }
  while (at + 2 <= n) {
    const int page = b[at] & 0x3F;
    const uint32_t plen = b[at + 1];
    if (at + 2 + plen > n) {
      c.Check(5, 0x1A, 0);
      return;
    }
    if (page != 0x05 || c.D.Writes.empty() || plen != 0x32 || !WriteParamsAcceptable(c.D, b + at)) {
      c.Check(5, 0x26, 0);  // invalid field in parameter list
      return;
    }
    c.D.WriteParams.assign(b + at, b + at + 52);
    c.D.WriteParams[0] = 0x05;
    c.Changed = true;
    at += 2 + plen;
  }
}

void CmdSetCdSpeed(TCmd &c) {
  const uint32_t rd = c.Cdb16(2), wr = c.Cdb16(4);
  c.D.ReadSpeed = rd == 0xFFFF ? 0 : uint16_t(rd);
  c.D.WriteSpeed = wr == 0xFFFF ? 0 : uint16_t(wr);
  c.Changed = true;
}

void CmdSetStreaming(TCmd &c) {
  if (c.Cdb[8] != 0) {
    c.Check(5, 0x24, 0);
    return;
  }
  const uint32_t n = std::min(c.Cdb16(9), c.Len);
  if (c.DataDir != 2 || n < 28) {
    c.Check(5, 0x1A, 0);
    return;
  }
  const uint8_t *p = c.Buf;
  auto g32 = [&](int at) {
    return (uint32_t(p[at]) << 24) | (uint32_t(p[at + 1]) << 16) | (uint32_t(p[at + 2]) << 8) | p[at + 3];
  };
  if (p[0] & 0x04) {  // RDD: back to the defaults
    c.D.ReadSpeed = c.D.WriteSpeed = 0;
  } else {
    const uint32_t rs = g32(12), rt = g32(16), ws = g32(20), wt = g32(24);
    if (rt)
      c.D.ReadSpeed = uint16_t(std::min<uint64_t>(0xFFFE, uint64_t(rs) * 1000 / rt));
    if (wt)
      c.D.WriteSpeed = uint16_t(std::min<uint64_t>(0xFFFE, uint64_t(ws) * 1000 / wt));
  }
  c.Changed = true;
}

// ---- GET CONFIGURATION ----

struct TFeature {
  uint16_t Code;
  uint8_t Version;
  bool Persistent, Current;
  std::vector<uint8_t> Data;
};

static std::vector<uint16_t> ProfilesOf(const TDrive &d) {
  std::vector<uint16_t> v;
  for (const std::string &m : d.Reads) {
    const TMediaType *t = FindMediaType(m);
    if (!t)
      continue;
    v.push_back(t->Profile);
    if (t->Profile == PROF_DVDRW_SEQ)
      v.push_back(PROF_DVDRW_RO);
  }
  std::sort(v.rbegin(), v.rend());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

static std::vector<TFeature> Features(const TDrive &d) {
  const uint16_t prof = d.Profile();
  const bool cd = prof == PROF_CDROM || prof == PROF_CDR || prof == PROF_CDRW;
  const bool dvd = prof >= PROF_DVDROM;
  std::vector<TFeature> f;
  std::vector<uint8_t> plist;
  for (uint16_t p : ProfilesOf(d)) {
    plist.push_back(uint8_t(p >> 8));
    plist.push_back(uint8_t(p));
    plist.push_back(p == prof ? 1 : 0);
    plist.push_back(0);
  }
  f.push_back({0x0000, 0, true, true, plist});
  f.push_back({0x0001, 2, true, true, {0, 0, 0, 2, 1, 0, 0, 0}});
  f.push_back({0x0002, 1, true, true, {0x02, 0, 0, 0}});
  f.push_back({0x0003, 0, true, true, {0x29, 0, 0, 0}});
  f.push_back({0x0010, 0, false, prof != PROF_NONE, {0, 0, 0x08, 0, 0, 16, 1, 0}});
  f.push_back({0x001D, 0, false, cd, {}});
  f.push_back({0x001E, 1, false, cd, {0, 0, 0, 0}});
  if (d.CanRead("DVD-ROM"))
    f.push_back({0x001F, 0, false, dvd, {0, 0, 0, 0}});
  const bool w = !d.Writes.empty();
  if (d.CanWrite("DVD-RAM")) {
    std::vector<uint8_t> rw = {0, 0, 0, 0, 0, 0, 0x08, 0, 0, 16, 1, 0};
    if (prof == PROF_DVDRAM)
      rw[0] = uint8_t((d.Capacity - 1) >> 24), rw[1] = uint8_t((d.Capacity - 1) >> 16),
      rw[2] = uint8_t((d.Capacity - 1) >> 8), rw[3] = uint8_t(d.Capacity - 1);
    f.push_back({0x0020, 0, false, prof == PROF_DVDRAM, rw});
  }
  if (w) {
    const bool inc = prof == PROF_CDR || prof == PROF_CDRW || prof == PROF_DVDR ||
                     (prof == PROF_DVDRW_SEQ && !d.DaoOnly);
    f.push_back({0x0021, 1, false, inc, {0x01, 0x00, uint8_t(d.Underrun ? 1 : 0), 1, 16, 0, 0, 0}});
  }
  if (d.CanWrite("DVD+RW") || d.CanWrite("DVD-RW") || d.CanWrite("DVD-RAM"))
    f.push_back({0x0023, 0, false, prof == PROF_DVDPRW || prof == PROF_DVDRW_RO || prof == PROF_DVDRW_SEQ ||
                                       prof == PROF_DVDRAM,
                 {0, 0, 0, 0}});
  if (d.CanWrite("DVD-RAM"))
    f.push_back({0x0024, 0, true, prof == PROF_DVDRAM, {0x80, 0, 0, 0}});
  if (d.CanWrite("DVD-RW"))
    f.push_back({0x0026, 0, false, prof == PROF_DVDRW_RO, {}});
  if (d.CanRead("DVD+RW"))
    f.push_back({0x002A, 0, false, prof == PROF_DVDPRW, {uint8_t(d.CanWrite("DVD+RW") ? 1 : 0), 0, 0, 0}});
  if (d.CanRead("DVD+R"))
    f.push_back({0x002B, 0, false, prof == PROF_DVDPR, {uint8_t(d.CanWrite("DVD+R") ? 1 : 0), 0, 0, 0}});
  if (d.CanWrite("CD-R")) {
    const uint8_t flags = uint8_t((d.Underrun ? 0x40 : 0) | (d.TestWriteCap ? 0x04 : 0) | (d.CanWrite("CD-RW") ? 0x02 : 0));
    f.push_back({0x002D, 2, false, prof == PROF_CDR || prof == PROF_CDRW, {flags, 0, 0x00, 0x0F}});
    f.push_back({0x002E, 1, false, prof == PROF_CDR || prof == PROF_CDRW, {uint8_t(flags | 0x18), 0, 0x0F, 0xFF}});
  }
  if (d.CanWrite("DVD-R")) {
    const uint8_t flags =
        uint8_t((d.Underrun ? 0x40 : 0) | (d.TestWriteCap ? 0x04 : 0) | (d.CanWrite("DVD-RW") ? 0x02 : 0));
    f.push_back({0x002F, 1, false, prof == PROF_DVDR || prof == PROF_DVDRW_SEQ, {flags, 0, 0, 0}});
  }
  if (d.CanRead("DVD+R-DL"))
    f.push_back({0x003B, 0, false, prof == PROF_DVDPR_DL, {uint8_t(d.CanWrite("DVD+R-DL") ? 1 : 0), 0, 0, 0}});
  // BD Read and BD Write: the class 0 version bitmaps (bit N: version N) of
  // BD-RE, BD-R and BD-ROM; BD-RE version 2, the others version 1. The
  // layout follows MMC; no raw capture of these bytes was at hand.
  const bool bd = prof == PROF_BDROM || prof == PROF_BDR || prof == PROF_BDRE;
  if (d.CanRead("BD-ROM")) {
    std::vector<uint8_t> rd(28, 0);
    rd[0] = 0x01;  // BCA readable
    rd[4 + 1] = 0x04;   // BD-RE class 0: version 2
    rd[12 + 1] = 0x02;  // BD-R class 0: version 1
    rd[20 + 1] = 0x02;  // BD-ROM class 0: version 1
    f.push_back({0x0040, 0, false, bd, rd});
  }
  if (d.CanWrite("BD-R") || d.CanWrite("BD-RE")) {
    std::vector<uint8_t> wr(20, 0);
    wr[0] = 0x01;  // SVNR: writes without verify are supported
    wr[4 + 1] = d.CanWrite("BD-RE") ? 0x04 : 0;
    wr[12 + 1] = d.CanWrite("BD-R") ? 0x02 : 0;
    f.push_back({0x0041, 0, false, prof == PROF_BDR || prof == PROF_BDRE, wr});
  }
  // Real-Time Streaming: SET STREAMING, SET CD SPEED, READ BUFFER CAPACITY
  // in blocks and GET PERFORMANCE; a writer lists its write speeds in page
  // 2Ah (MP2A) and as GET PERFORMANCE type 03h descriptors (WSPD).
  constexpr uint8_t kStreamWriting = 0x01, kWriteSpeedPerf = 0x02, kPage2ASpeeds = 0x04, kSetCdSpeed = 0x08,
                    kBufferBlocks = 0x10;
  const uint8_t rts = uint8_t(kSetCdSpeed | kBufferBlocks | (w ? kStreamWriting | kWriteSpeedPerf | kPage2ASpeeds : 0));
  f.push_back({0x0107, 4, false, prof != PROF_NONE, {rts, 0, 0, 0}});
  return f;
}

void CmdGetConfiguration(TCmd &c) {
  const int rt = c.Cdb[1] & 0x03;
  const uint16_t start = uint16_t(c.Cdb16(2));
  if (rt == 3) {
    c.Check(5, 0x24, 0);
    return;
  }
  std::vector<uint8_t> r(8, 0);
  Put16(r, 6, c.D.Profile());
  for (const TFeature &f : Features(c.D)) {
    if (rt == 2 ? f.Code != start : f.Code < start)
      continue;
    if (rt == 1 && !f.Current)
      continue;
    r.push_back(uint8_t(f.Code >> 8));
    r.push_back(uint8_t(f.Code));
    r.push_back(uint8_t((f.Version << 2) | (f.Persistent ? 2 : 0) | (f.Current ? 1 : 0)));
    r.push_back(uint8_t(f.Data.size()));
    r.insert(r.end(), f.Data.begin(), f.Data.end());
  }
  Put32(r, 0, uint32_t(r.size() - 4));
  c.Reply(r);
}

// ---- mechanism ----

static void CmdStartStop(TCmd &c) {
  const bool loej = c.Cdb[4] & 0x02, start = c.Cdb[4] & 0x01;
  if (!loej)
    return;
  if (!start) {
    if (c.D.Prevent) {
      c.Check(5, 0x53, 0x02);  // medium removal prevented
      return;
    }
    c.D.TrayOpen = true;
    c.D.ResetRuntime();
  } else {
    // Closing the tray on a disc makes the drive ready with a medium that may have changed.
    if (c.D.TrayOpen && c.D.Medium != "none")
      c.D.UnitAttention = true;
    c.D.TrayOpen = false;
  }
  c.Changed = true;
}

// ---- dispatch ----

const char *CommandName(uint8_t op) {
  switch (op) {
  case 0x00: return "TEST-UNIT-READY";
  case 0x01: return "REZERO-UNIT";
  case 0x03: return "REQUEST-SENSE";
  case 0x04: return "FORMAT-UNIT";
  case 0x12: return "INQUIRY";
  case 0x1B: return "START-STOP-UNIT";
  case 0x1E: return "PREVENT-ALLOW-REMOVAL";
  case 0x23: return "READ-FORMAT-CAPACITIES";
  case 0x25: return "READ-CAPACITY";
  case 0x28: return "READ(10)";
  case 0x2A: return "WRITE(10)";
  case 0x35: return "SYNCHRONIZE-CACHE";
  case 0x43: return "READ-TOC";
  case 0x46: return "GET-CONFIGURATION";
  case 0x51: return "READ-DISC-INFORMATION";
  case 0x52: return "READ-TRACK-INFORMATION";
  case 0x53: return "RESERVE-TRACK";
  case 0x54: return "SEND-OPC-INFORMATION";
  case 0x55: return "MODE-SELECT(10)";
  case 0x5A: return "MODE-SENSE(10)";
  case 0x5B: return "CLOSE-TRACK-SESSION";
  case 0x5C: return "READ-BUFFER-CAPACITY";
  case 0xA1: return "BLANK";
  case 0xA8: return "READ(12)";
  case 0xAC: return "GET-PERFORMANCE";
  case 0xAA: return "WRITE(12)";
  case 0xB6: return "SET-STREAMING";
  case 0xBB: return "SET-CD-SPEED";
  case 0xBF: return "SEND-DVD-STRUCTURE";
  default: return "UNKNOWN";
  }
}

// Commands a drive without a ready medium still answers.
static bool NeedsNoMedium(uint8_t op) {
  return op == 0x12 || op == 0x03 || op == 0x46 || op == 0x5A || op == 0x55 || op == 0x1B || op == 0x1E ||
         op == 0xBB || op == 0xB6 || op == 0x5C;
}

static bool IsWriteCommand(uint8_t op) {
  return op == 0x2A || op == 0xAA || op == 0x5B || op == 0xA1 || op == 0x04 || op == 0x53 || op == 0x54 || op == 0xBF;
}

// The host adapter status of the `transport` fault: the command was lost on
// the way (unexpected bus free), and no sense data exists.
constexpr uint8_t kTransportFailure = 0x13;

// A write error at `lba` leaves the open track it was written to
// incomplete, as a real recorder does: damaged, without a next writable address.
static void DamageOpenTrack(TDrive &d, uint32_t lba) {
  const TMediaType *t = d.Type();
  if (!t || !t->Sequential || d.IsOverwritable())
    return;
  for (TTrack &tr : d.Tracks)
    if (!tr.Closed && tr.Session == d.OpenSession() && tr.Start + tr.Written == lba)
      tr.Damaged = true;
}

// Applies the first injected fault matching this command; true when it decided the result.
static bool ApplyFault(TCmd &c) {
  const uint8_t op = c.Cdb[0];
  for (size_t i = 0; i < c.D.Faults.size(); ++i) {
    TFault &f = c.D.Faults[i];
    int want = f.Op;
    if (want < 0) {
      if (f.Kind == "writeerror" || f.Kind == "unformatted" || f.Kind == "corrupt")
        want = 0x2A;
      else if (f.Kind == "opc")
        want = 0x54;
    }
    // A fault on WRITE(10) also meets WRITE(12).
    const bool matches = op == want || (want == 0x2A && op == 0xAA);
    if (want >= 0 ? !matches : (op == 0x12 || op == 0x03))
      continue;
    if (f.Kind == "writeerror") {
      const uint32_t lba = c.Cdb32(2), n = op == 0xAA ? c.Cdb32(6) : c.Cdb16(7);
      if (uint64_t(f.Lba) < lba || uint64_t(f.Lba) >= uint64_t(lba) + n)
        continue;
    }
    if (f.Kind == "corrupt")
      continue;  // acts on the recorded data, after the write (CorruptRecorded)
    c.Changed = true;
    const TFault hit = f;
    if (!FaultFires(c.D, i))
      continue;
    if (hit.Kind == "busy") {
      c.R.TargStat = 8;
    } else if (hit.Kind == "notready") {
      c.Check(2, 0x04, uint8_t(hit.Ascq >= 0 ? hit.Ascq : 1));
    } else if (hit.Kind == "nomedium") {
      c.Check(2, 0x3A, 0);
    } else if (hit.Kind == "writeerror") {
      c.Check(3, 0x0C, 0);
      DamageOpenTrack(c.D, c.Cdb32(2));
    } else if (hit.Kind == "transport") {
      c.R.HaStat = kTransportFailure;
    } else if (hit.Kind == "unformatted") {
      c.Check(5, 0x30, 0x10);
    } else if (hit.Kind == "opc") {
      c.Check(3, 0x73, 0x03);
    } else if (hit.Kind == "pending") {
      c.R.Pending = true;
    }
    return true;
  }
  return false;
}

void Dispatch(TCmd &c) {
  TDrive &d = c.D;
  const uint8_t op = c.Cdb[0];
  const bool known = std::string(CommandName(op)) != "UNKNOWN";
  if (!known || (d.Writes.empty() && IsWriteCommand(op))) {
    c.Check(5, 0x20, 0);  // invalid command operation code
    return;
  }
  // Answers never exceed the allocation length of the CDB.
  switch (op) {
  case 0x23: case 0x43: case 0x46: case 0x51: case 0x52: case 0x5A: case 0x5C:
    c.Len = std::min(c.Len, c.Cdb16(7));
    break;
  case 0x25:
    c.Len = std::min<uint32_t>(c.Len, 8);
    break;
  case 0xAC:
    c.Len = std::min(c.Len, GetPerformanceLength(c.Cdb));
    break;
  default:
    break;
  }
  // Faults act first, so that they can be injected during a long operation too.
  if (op != 0x03 && ApplyFault(c))
    return;
  // A medium change is reported once, to the first command that is not exempt.
  if (d.UnitAttention && op != 0x12 && op != 0x03 && op != 0x46) {
    d.UnitAttention = false;
    c.Changed = true;
    c.Check(6, 0x28, 0);
    return;
  }
  // A long operation (blank, format, close, flush) keeps the drive busy until
  // its time is up; identity, capabilities and the tray lock still answer, and
  // the buffer's fill while it drains.
  if (!d.Op.empty()) {
    if (NowSeconds() >= d.OpStart + d.OpSeconds) {
      d.Op.clear();
      d.OpStart = d.OpSeconds = 0;
      c.Changed = true;
    } else if (op != 0x12 && op != 0x03 && op != 0x46 && op != 0x5A && op != 0x1E &&
               !(op == 0x5C && d.Op == "flush")) {
      const double done = (NowSeconds() - d.OpStart) / std::max(d.OpSeconds, 1e-6);
      c.Check(2, 4, OpAscq(d));
      c.R.Progress = std::clamp(int(done * 65536), 0, 65535);
      return;
    }
  }
  if (!NeedsNoMedium(op)) {
    TResult cond;
    if (CurrentCondition(d, cond)) {
      c.R = cond;
      return;
    }
  }
  switch (op) {
  case 0x00:  // TEST UNIT READY
  case 0x01:  // REZERO UNIT
    break;
  case 0x35: CmdSynchronizeCache(c); break;
  case 0x03: CmdRequestSense(c); break;
  case 0x04: CmdFormatUnit(c); break;
  case 0x12: CmdInquiry(c); break;
  case 0x1B: CmdStartStop(c); break;
  case 0x1E:
    d.Prevent = c.Cdb[4] & 0x01;
    c.Changed = true;
    break;
  case 0x23: CmdReadFormatCapacities(c); break;
  case 0x25: CmdReadCapacity(c); break;
  case 0x28: CmdRead10(c); break;
  case 0x2A: CmdWrite10(c); break;
  case 0x43: CmdReadToc(c); break;
  case 0x46: CmdGetConfiguration(c); break;
  case 0x51: CmdReadDiscInformation(c); break;
  case 0x52: CmdReadTrackInformation(c); break;
  case 0x53: CmdReserveTrack(c); break;
  case 0x54: CmdSendOpc(c); break;
  case 0x55: CmdModeSelect(c); break;
  case 0x5A: CmdModeSense(c); break;
  case 0x5B: CmdCloseTrackSession(c); break;
  case 0x5C: CmdReadBufferCapacity(c); break;
  case 0xA1: CmdBlank(c); break;
  case 0xA8: CmdRead10(c); break;
  case 0xAA: CmdWrite10(c); break;
  case 0xAC: CmdGetPerformance(c); break;
  case 0xB6: CmdSetStreaming(c); break;
  case 0xBB: CmdSetCdSpeed(c); break;
  case 0xBF: CmdSendDvdStructure(c); break;
  default: c.Check(5, 0x20, 0); break;
  }
}

}  // namespace vrec
