// Medium commands of the virtual recorder: disc, track and TOC information,
// capacities, reading and the write rules of each medium.
#include "VDrive.h"

#include <algorithm>

namespace vrec {

// READ TRACK INFORMATION byte 5: the Damage bit beside the track mode.
constexpr uint8_t kTrackDamage = 0x20;

// What READ TRACK INFORMATION reports for one track.
struct TTrackView {
  int Number = 1, Session = 1;
  uint32_t Start = 0, Nwa = 0, Free = 0, Size = 0, Lra = 0, Packet = 0;
  bool NwaValid = false, LraValid = false;
  bool Damaged = false;
  uint8_t Mode = 4, Flags = 0x01;
};

// DVD+RW and BD-RE: blank until formatted.
static bool UnformattedPlusRw(const TDrive &d) {
  return (d.Profile() == PROF_DVDPRW || d.Profile() == PROF_BDRE) && !d.Formatted;
}

static std::vector<TTrackView> TrackViews(const TDrive &d) {
  std::vector<TTrackView> v;
  const TMediaType *type = d.Type();
  if (!type)
    return v;
  if (type->Rom || d.IsOverwritable()) {
    TTrackView t;
    t.Size = d.Capacity;
    t.Free = type->Rom ? 0 : d.Capacity;
    if (d.Profile() == PROF_DVDRW_RO) {
      t.Flags = 0x31;  // fixed packets of one ECC block
      t.Packet = 16;
      t.Mode = 7;
    }
    const uint32_t used = type->Rom ? d.Capacity : d.MaxWritten;
    if (used) {
      t.LraValid = true;
      t.Lra = used - 1;
    }
    v.push_back(t);
    return v;
  }
  if (UnformattedPlusRw(d)) {
    TTrackView t;
    t.Flags = 0x61;
    t.NwaValid = true;
    t.Free = t.Size = d.Capacity;
    v.push_back(t);
    return v;
  }
  const int inv = d.InvisibleTrack();
  for (size_t i = 0; i < d.Tracks.size(); ++i) {
    const TTrack &tr = d.Tracks[i];
    TTrackView t;
    t.Number = int(i) + 1;
    t.Session = tr.Session;
    t.Start = tr.Start;
    const uint8_t dataMode = (d.IsCd() && tr.Written == 0) ? 0x0F : 0x01;
    if (tr.Written && !d.IsCd()) {  // the last recorded address is a DVD field
      t.LraValid = true;
      t.Lra = tr.Start + tr.Written - 1;
    }
    if (tr.Closed) {
      t.Size = d.TrackSize(tr);
      t.Flags = tr.Reserved ? 0x81 : 0x01;
    } else if (tr.Reserved) {
      t.Size = tr.Reserved;
      t.NwaValid = true;
      t.Nwa = tr.Start + tr.Written;
      t.Free = tr.Reserved - tr.Written;
      t.Flags = uint8_t(0x80 | (tr.Written ? 0 : 0x40) | 0x20 | dataMode);
    } else if (int(i) == inv) {
      t.NwaValid = true;
      t.Nwa = tr.Start + tr.Written;
      t.Free = d.Capacity > t.Nwa ? d.Capacity - t.Nwa : 0;
      t.Size = t.Free + tr.Written;
      t.Flags = uint8_t((tr.Written ? 0 : 0x40) | 0x20 | dataMode);
      if (!d.IsCd())
        t.Mode = 5;
    }
    // A track a write error left incomplete: Damage set and no valid next
    // writable address; it takes no more data until it is closed.
    if (tr.Damaged && !tr.Closed) {
      t.Damaged = true;
      t.NwaValid = false;
      t.Free = 0;
    }
    v.push_back(t);
  }
  return v;
}

void CmdReadTrackInformation(TCmd &c) {
  const TDrive &d = c.D;
  const int type = c.Cdb[1] & 0x03;
  const uint32_t addr = c.Cdb32(2);
  const std::vector<TTrackView> views = TrackViews(d);
  const TTrackView *found = nullptr;
  if (type == 1) {
    if (addr == 0xFF) {
      const int inv = d.InvisibleTrack();
      if (inv >= 0)
        found = &views[size_t(inv)];
      else if (UnformattedPlusRw(d))
        found = &views[0];
    } else if (addr >= 1 && addr <= views.size()) {
      found = &views[addr - 1];
    }
  } else if (type == 0) {
    for (const TTrackView &t : views)
      if (addr >= t.Start && addr < t.Start + std::max(t.Size, 1u))
        found = &t;
    if (!found) {
      c.Check(5, 0x21, 0);
      return;
    }
  } else if (type == 2) {
    for (const TTrackView &t : views)
      if (uint32_t(t.Session) == addr) {
        found = &t;
        break;
      }
  }
  if (!found) {
    c.Check(5, 0x24, 0);
    return;
  }
  const TTrackView &t = *found;
  std::vector<uint8_t> r(36, 0);
  Put16(r, 0, 34);
  r[2] = uint8_t(t.Number);
  r[3] = uint8_t(t.Session);
  r[5] = uint8_t((t.Damaged ? kTrackDamage : 0) | t.Mode);
  r[6] = t.Flags;
  r[7] = uint8_t((t.LraValid ? 2 : 0) | (t.NwaValid ? 1 : 0));
  Put32(r, 8, t.Start);
  Put32(r, 12, t.NwaValid ? t.Nwa : 0);
  Put32(r, 16, t.Free);
  Put32(r, 20, t.Packet);
  Put32(r, 24, t.Size);
  Put32(r, 28, t.LraValid ? t.Lra : 0);
  r[32] = uint8_t(t.Number >> 8);
  r[33] = uint8_t(t.Session >> 8);
  c.Reply(r);
}

// ATIP lead-in start of the simulated media (CD-R 97:15:17, CD-RW 97:15:35).
static int64_t AtipLeadIn(const TDrive &d) { return d.Profile() == PROF_CDRW ? -12490 : -12508; }
static int64_t AtipLeadOut(const TDrive &d) { return int64_t(d.Capacity) + 2; }

TDiscState DiscState(const TDrive &d) {
  TDiscState s;
  const TMediaType *type = d.Type();
  if (!type || d.Profile() == PROF_NONE) {
    s.Sessions = 0;
    return s;
  }
  if (type->Rom) {
    s.Status = 2, s.LastState = 3;
  } else if (d.IsOverwritable()) {
    s.Status = d.Profile() == PROF_DVDRAM ? 3 : 2;
    s.LastState = 3;
  } else if (UnformattedPlusRw(d)) {
    s.Status = 0, s.LastState = 0;
  } else {
    bool any = d.ClosedSessions > 0;
    bool openData = false;
    for (const TTrack &t : d.Tracks) {
      if (t.Written || t.Reserved)
        any = true;
      if (t.Session == d.OpenSession() && (t.Written || t.Reserved))
        openData = true;
    }
    s.Status = d.Finalized ? 2 : any ? 1 : 0;
    s.LastState = d.Finalized ? 3 : openData ? 1 : 0;
    s.Sessions = d.Finalized ? d.ClosedSessions : d.ClosedSessions + 1;
  }
  return s;
}

int TDiscState::Recorded() const { return Status == 0 ? 0 : Sessions - (LastState == 0 && Sessions > 0 ? 1 : 0); }

void CmdReadDiscInformation(TCmd &c) {
  const TDrive &d = c.D;
  const TMediaType *type = d.Type();
  std::vector<uint8_t> r(34, 0);
  Put16(r, 0, 32);
  const TDiscState st = DiscState(d);
  const int status = st.Status, last = st.LastState, sessions = st.Sessions;
  int firstInLast = 1, lastTrack = 1;
  if (!type->Rom && !d.IsOverwritable() && !UnformattedPlusRw(d)) {
    lastTrack = int(d.Tracks.size());
    firstInLast = lastTrack;
    for (size_t i = 0; i < d.Tracks.size(); ++i)
      if (d.Tracks[i].Session == sessions) {
        firstInLast = int(i) + 1;
        break;
      }
    if (lastTrack == 0)
      lastTrack = firstInLast = 1;
  }
  r[2] = uint8_t((type->Erasable ? 0x10 : 0) | (last << 2) | status);
  r[3] = 1;
  r[4] = uint8_t(sessions);
  r[5] = uint8_t(firstInLast);
  r[6] = uint8_t(lastTrack);
  if (d.Profile() == PROF_DVDPRW)
    r[7] = uint8_t(!d.Formatted ? 0 : d.Op == "format" ? 2 : 3);
  r[8] = 0x00;
  r[9] = uint8_t(sessions >> 8);
  r[10] = uint8_t(firstInLast >> 8);
  r[11] = uint8_t(lastTrack >> 8);
  if (status == 2 && !d.IsOverwritable()) {
    Put32(r, 16, 0xFFFFFFFF);
    Put32(r, 20, 0xFFFFFFFF);
  } else if (d.IsCd()) {
    const int inv = d.InvisibleTrack();
    const int64_t leadIn = d.ClosedSessions == 0 || inv < 0 ? AtipLeadIn(d) : int64_t(d.Tracks[size_t(inv)].Start) - 4650;
    LbaToMsf(leadIn, &r[17]);
    LbaToMsf(AtipLeadOut(d), &r[21]);
  } else if (!type->Rom) {
    const int inv = d.InvisibleTrack();
    Put32(r, 16, inv >= 0 ? d.Tracks[size_t(inv)].Start : 0);
    Put32(r, 20, d.Capacity);
  }
  c.Reply(r);
}

// Tracks visible in the table of contents: those of closed sessions, or the
// single track of pressed and overwritable media.
static std::vector<TTrackView> TocTracks(const TDrive &d, uint32_t &leadOut) {
  std::vector<TTrackView> all = TrackViews(d), toc;
  const TMediaType *type = d.Type();
  if (type->Rom || d.IsOverwritable()) {
    leadOut = d.Capacity;
    return all;
  }
  leadOut = 0;
  for (size_t i = 0; i < all.size() && i < d.Tracks.size(); ++i) {
    if (d.Tracks[i].Session <= d.ClosedSessions) {
      toc.push_back(all[i]);
      leadOut = std::max(leadOut, d.TrackEnd(d.Tracks[i]));
    }
  }
  return toc;
}

static void PutAddr(std::vector<uint8_t> &r, size_t at, uint32_t lba, bool msf) {
  if (msf) {
    r[at] = 0;
    LbaToMsf(lba, &r[at + 1]);
  } else {
    Put32(r, at, lba);
  }
}

void CmdReadToc(TCmd &c) {
  const TDrive &d = c.D;
  const bool msf = c.Cdb[1] & 0x02;
  int format = c.Cdb[2] & 0x0F;
  if (format == 0 && (c.Cdb[9] >> 6))  // old-style format field in the control byte
    format = c.Cdb[9] >> 6;
  const int start = c.Cdb[6];
  std::vector<uint8_t> r(4, 0);
  if (format == 4) {
    if (d.Profile() != PROF_CDR && d.Profile() != PROF_CDRW) {
      c.Check(5, 0x24, 0);
      return;
    }
    r.resize(28, 0);
    r[4] = 0x80 | 0x05;  // indicative writing power, reference speed
    r[6] = uint8_t(d.Profile() == PROF_CDRW ? 0xC0 : 0x80);
    LbaToMsf(AtipLeadIn(d), &r[8]);
    LbaToMsf(AtipLeadOut(d), &r[12]);
    Put16(r, 0, uint32_t(r.size() - 2));
    c.Reply(r);
    return;
  }
  uint32_t leadOut = 0;
  const std::vector<TTrackView> toc = TocTracks(d, leadOut);
  if (toc.empty() || (format != 0 && format != 1)) {
    c.Check(5, 0x24, 0);  // no complete session yet, or a format not offered
    return;
  }
  if (format == 1) {
    const int lastSession = toc.back().Session;
    const TTrackView *first = nullptr;
    for (const TTrackView &t : toc)
      if (t.Session == lastSession) {
        first = &t;
        break;
      }
    r.resize(12, 0);
    r[2] = 1;
    r[3] = uint8_t(lastSession);
    r[5] = 0x14;
    r[6] = uint8_t(first->Number);
    PutAddr(r, 8, first->Start, msf);
    Put16(r, 0, 10);
    c.Reply(r);
    return;
  }
  const int lastNo = toc.back().Number;
  if (start > lastNo && start != 0xAA) {
    c.Check(5, 0x24, 0);
    return;
  }
  r[2] = uint8_t(toc.front().Number);
  r[3] = uint8_t(lastNo);
  auto add = [&](int no, uint32_t lba) {
    const size_t at = r.size();
    r.resize(at + 8, 0);
    r[at + 1] = 0x14;
    r[at + 2] = uint8_t(no);
    PutAddr(r, at + 4, lba, msf);
  };
  for (const TTrackView &t : toc)
    if (start != 0xAA && t.Number >= start)
      add(t.Number, t.Start);
  add(0xAA, leadOut);
  Put16(r, 0, uint32_t(r.size() - 2));
  c.Reply(r);
}

void CmdReadCapacity(TCmd &c) {
  const TDrive &d = c.D;
  uint32_t last = 0;
  if (d.Type()->Rom || d.IsOverwritable())
    last = d.Capacity ? d.Capacity - 1 : 0;
  else if (d.RecordedEnd())
    last = d.RecordedEnd() - 1;
  std::vector<uint8_t> r(8, 0);
  Put32(r, 0, last);
  Put32(r, 4, 2048);
  c.Reply(r);
}

void CmdReadFormatCapacities(TCmd &c) {
  const TDrive &d = c.D;
  const uint16_t prof = d.Profile();
  std::vector<uint8_t> r(4, 0);
  auto add = [&](uint32_t blocks, uint8_t typeByte, uint32_t param) {
    const size_t at = r.size();
    r.resize(at + 8, 0);
    Put32(r, at, blocks);
    r[at + 4] = typeByte;
    r[at + 5] = uint8_t(param >> 16);
    r[at + 6] = uint8_t(param >> 8);
    r[at + 7] = uint8_t(param);
  };
  switch (prof) {
  case PROF_DVDPRW:
    add(d.Capacity, d.Formatted ? 2 : 1, 2048);
    add(d.Capacity, 0x26 << 2, 0);
    break;
  case PROF_DVDRW_SEQ:
  case PROF_DVDRW_RO:
    add(d.Capacity, prof == PROF_DVDRW_RO ? 2 : 1, 2048);
    add(d.Capacity, 0x00 << 2, 16);
    if (prof == PROF_DVDRW_RO)
      add(d.Capacity, 0x13 << 2, 16);
    add(d.Capacity, 0x15 << 2, 16);
    break;
  case PROF_DVDRAM:
    add(d.Capacity, d.Formatted ? 2 : 1, 2048);
    add(d.Capacity, 0x00 << 2, 2048);
    break;
  case PROF_CDROM:
  case PROF_DVDROM:
  case PROF_BDROM:
    add(d.Capacity, 2, 2048);
    break;
  case PROF_BDR:
  case PROF_BDRE: {
    // The current size (the user capacity once formatted, spare areas
    // off), then the formats of the whole disc: the default spare areas,
    // the smallest (inner zones only) and none.
    const uint32_t raw = d.RawCapacity();
    const TBdSpares spares = BdSpares(raw);
    if (d.Formatted)
      add(d.Capacity, 2, 2048);
    else
      add(raw, 1, 2048);
    const uint32_t clusters = spares.Default / 32;  // type-dependent parameter: spare clusters
    add(raw - spares.Default, 0x00 << 2, clusters);
    if (prof == PROF_BDR) {
      add(raw - spares.Default, 0x32 << 2, 0);
      add(raw - spares.Min, 0x32 << 2, 0);
    } else {
      add(raw - spares.Default, 0x30 << 2, clusters);
      add(raw, 0x31 << 2, 0);
    }
    break;
  }
  default:  // write-once media: the capacity, formatting does not apply
    add(d.Capacity, 3, 2048);
    break;
  }
  r[3] = uint8_t(r.size() - 4);
  c.Reply(r);
}

// ---- reading and writing ----

// READ(10)/READ(12) byte 1: Force Unit Access, the data comes from the medium.
constexpr uint8_t kCdbFua = 0x08;

void CmdRead10(TCmd &c) {
  const TDrive &d = c.D;
  const bool read12 = c.Cdb[0] == 0xA8;
  const uint32_t lba = c.Cdb32(2), n = read12 ? c.Cdb32(6) : c.Cdb16(7);
  const bool fua = c.Cdb[1] & kCdbFua;
  if (n == 0)
    return;
  if (c.DataDir != 1 || uint64_t(c.Len) < uint64_t(n) * 2048u) {
    c.R.HaStat = 0x12;  // data overrun/underrun: the buffer does not hold the blocks
    return;
  }
  const uint64_t end = uint64_t(lba) + n;
  bool readable = false;
  if (d.Type()->Rom || d.IsOverwritable()) {
    readable = end <= d.Capacity;
  } else if (!UnformattedPlusRw(d)) {
    for (const TTrack &t : d.Tracks)
      if (lba >= t.Start && end <= uint64_t(t.Start) + t.Written)
        readable = true;
  }
  if (!readable) {
    c.Check(5, 0x21, 0);  // logical block address out of range
    return;
  }
  if (!ReadBlocks(d, lba, n, c.Buf)) {
    c.Check(3, 0x11, 0);  // unrecovered read error
    return;
  }
  // Without FUA the drive answers from its cache what it holds of these
  // blocks: what was sent, whatever the medium recorded.
  if (!fua)
    CacheRead(d, lba, n, c.Buf);
}

void CmdWrite10(TCmd &c) {
  TDrive &d = c.D;
  const bool write12 = c.Cdb[0] == 0xAA;
  const uint32_t lba = c.Cdb32(2), n = write12 ? c.Cdb32(6) : c.Cdb16(7);
  // A BD-RE with spare areas verifies what it writes and replaces bad
  // clusters, at half the speed; the streaming bit of WRITE(12) skips that.
  const bool streaming = write12 && (c.Cdb[10] & 0x80);
  const double cost = d.Profile() == PROF_BDRE && d.Formatted && !d.NoSpares && !streaming ? 2.0 : 1.0;
  if (!d.CanWrite(d.Medium) || d.Type()->Rom) {
    c.Check(5, 0x30, 0x05);  // cannot write medium, incompatible format
    return;
  }
  if (c.DataDir != 2 || uint64_t(c.Len) < uint64_t(n) * 2048) {
    c.R.HaStat = 0x12;
    return;
  }
  if (n == 0)
    return;
  const uint64_t end = uint64_t(lba) + n;
  const uint8_t *wp = d.WriteParams.data();
  const int wt = wp[2] & 0x0F;
  const bool test = (wp[2] & 0x10) && d.TestWriteCap;
  if (UnformattedPlusRw(d)) {
    c.Check(5, 0x30, 0x10);  // medium not formatted
    return;
  }
  if (d.IsOverwritable()) {
    if (end > d.Capacity) {
      c.Check(5, 0x21, 0);
      return;
    }
    if (d.Profile() == PROF_DVDRW_RO && ((lba % 16) || (n % 16))) {
      c.Check(5, 0x21, 0x02);  // restricted overwrite takes whole ECC blocks only
      return;
    }
    if (!BufferAccept(d, double(n) * 2048 * cost)) {
      c.Check(2, 0x04, 0x08);
      return;
    }
    c.Changed = true;
    if (!WriteBlocks(d, lba, n, c.Buf)) {
      c.Check(3, 0x0C, 0);
      return;
    }
    d.MaxWritten = std::max<uint32_t>(d.MaxWritten, uint32_t(end));
    CacheWritten(d, lba, n);
    CorruptRecorded(c, lba, n);
    return;
  }
  // Sequential media take data only at the next writable address of an open track.
  if (d.Finalized) {
    c.Check(5, 0x21, 0x02);
    return;
  }
  if (d.IsCd() && wt != 1 && wt != 0) {
    c.Check(5, 0x2C, 0);  // session-at-once and raw need a cue sheet first
    return;
  }
  TTrack *target = nullptr;
  for (TTrack &t : d.Tracks) {
    if (t.Closed || t.Damaged || t.Session != d.OpenSession())
      continue;
    if (t.Start + t.Written == lba || (test && d.TestNwa == int64_t(lba) && lba >= t.Start &&
                                       (!t.Reserved || lba < t.Start + t.Reserved)))
      target = &t;
  }
  if (!target) {
    c.Check(5, 0x21, 0x02);  // invalid address for write
    return;
  }
  if (wt == 2 && !d.IsCd() && !target->Reserved && d.Profile() != PROF_DVDPR && d.Profile() != PROF_DVDPR_DL &&
      d.Profile() != PROF_BDR) {
    c.Check(5, 0x2C, 0);  // disc-at-once needs a reserved track
    return;
  }
  if (d.DaoOnly && (wt != 2 || !target->Reserved)) {
    c.Check(5, 0x2C, 0);  // after a minimal blank only disc-at-once into a reserved track
    return;
  }
  const uint64_t limit = target->Reserved ? uint64_t(target->Start) + target->Reserved : d.Capacity;
  if (end > limit) {
    c.Check(5, 0x21, 0);
    return;
  }
  if (!BufferAccept(d, double(n) * 2048)) {
    c.Check(2, 0x04, 0x08);  // long write in progress: the buffer is full
    return;
  }
  c.Changed = true;
  if (test) {
    d.TestNwa = int64_t(end);  // a test write records nothing
    return;
  }
  if (!WriteBlocks(d, lba, n, c.Buf)) {
    c.Check(3, 0x0C, 0);
    return;
  }
  target->Written += n;
  d.TestNwa = -1;
  CacheWritten(d, lba, n);
  CorruptRecorded(c, lba, n);
}

}  // namespace vrec
