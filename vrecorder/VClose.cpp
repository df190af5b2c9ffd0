// Closing tracks and sessions, blanking, formatting, track reservation and
// the DVD-R time stamp of the virtual recorder.
#include "VDrive.h"

#include <algorithm>
#include <cctype>

namespace vrec {

// DVD tracks end on whole ECC blocks of 16 sectors, BD tracks on clusters of 32.
static uint32_t RoundBlock(const TDrive &d, uint32_t x) {
  const uint32_t n = d.Profile() == PROF_BDR ? 32 : 16;
  return (x + n - 1) / n * n;
}
uint32_t SessionGap(const TDrive &d) {
  const TMediaType *t = d.Type();
  if (t && t->Cd)  // lead-out 6750 (later 2250) + lead-in 4500 + pre-gap 150
    return d.ClosedSessions <= 1 ? 11400 : 6900;
  if (t && (t->Profile == PROF_DVDPR || t->Profile == PROF_DVDPR_DL))
    return 2048;
  if (t && t->Profile == PROF_BDR)
    return 0;  // a BD-R session has no border: the next starts at the next cluster
  return 16384;  // DVD-R/-RW border-out and border-in
}

// Closes a track; DVD tracks are padded to whole ECC blocks.
static void FinishTrack(TDrive &d, TTrack &t) {
  if (!d.IsCd() && !t.Reserved)
    t.Written = std::min(RoundBlock(d, t.Written), d.Capacity - t.Start);
  t.Closed = true;
  t.Damaged = false;  // closing is the repair of a track a write error left incomplete
}

static void OpenNextTrack(TDrive &d, int session, uint32_t start) {
  if (start >= d.Capacity) {
    d.Finalized = true;  // no room left: the disc is complete
    return;
  }
  TTrack t;
  t.Session = session;
  t.Start = start;
  d.Tracks.push_back(t);
}

static bool CloseTrack(TCmd &c, uint32_t number) {
  TDrive &d = c.D;
  int idx = number == 0xFF ? d.InvisibleTrack() : int(number) - 1;
  if (number == 0xFF && idx < 0) {
    for (int i = int(d.Tracks.size()) - 1; i >= 0; --i)
      if (!d.Tracks[size_t(i)].Closed) {
        idx = i;
        break;
      }
  }
  if (idx < 0 || size_t(idx) >= d.Tracks.size()) {
    c.Check(5, 0x24, 0);
    return false;
  }
  TTrack &t = d.Tracks[size_t(idx)];
  if (t.Damaged && !t.Closed && !t.Written && !t.Reserved) {
    t.Damaged = false;  // nothing was recorded: the track is empty and writable again
    c.Changed = true;
    return true;
  }
  if (t.Closed || t.Session != d.OpenSession() || (!t.Written && !t.Reserved))
    return true;  // nothing to close
  const bool wasInvisible = idx == d.InvisibleTrack();
  FinishTrack(d, t);
  // Without room for another track the session stays open until its own
  // close, as a drive with a full disc keeps it.
  const uint32_t next = d.IsCd() ? d.TrackEnd(t) + 150 : RoundBlock(d, d.TrackEnd(t));
  if (wasInvisible && next < d.Capacity)
    OpenNextTrack(d, t.Session, next);
  c.Changed = true;
  return true;
}

static bool CloseSession(TCmd &c, bool finalize) {
  TDrive &d = c.D;
  const int open = d.OpenSession();
  if (open == 0) {
    c.Check(5, 0x2C, 0);  // the disc is already complete
    return false;
  }
  bool hasData = false;
  for (const TTrack &t : d.Tracks)
    if (t.Session == open && (t.Written || t.Reserved))
      hasData = true;
  if (!hasData) {
    if (finalize && d.ClosedSessions > 0) {
      while (!d.Tracks.empty() && d.Tracks.back().Session == open)
        d.Tracks.pop_back();
      d.Finalized = true;
      c.Changed = true;
      return true;
    }
    c.Check(5, 0x2C, 0);  // command sequence error: an empty session
    return false;
  }
  while (!d.Tracks.empty() && d.Tracks.back().Session == open && !d.Tracks.back().Written &&
         !d.Tracks.back().Reserved)
    d.Tracks.pop_back();
  uint32_t end = 0;
  for (TTrack &t : d.Tracks) {
    if (t.Session == open && !t.Closed)
      FinishTrack(d, t);
    end = std::max(end, d.TrackEnd(t));
  }
  d.ClosedSessions = open;
  if (finalize)
    d.Finalized = true;
  else
    OpenNextTrack(d, open + 1, end + SessionGap(d));
  c.Changed = true;
  return true;
}

bool RecordClosedSession(TDrive &d, uint32_t start, uint32_t blocks, std::string &err) {
  const int inv = d.InvisibleTrack();
  if (inv < 0 || d.Tracks[size_t(inv)].Written) {
    err = "the disc has no empty session to record into";
    return false;
  }
  for (const TTrack &t : d.Tracks)
    if (t.Session == d.OpenSession() && (t.Written || t.Reserved)) {
      err = "the disc's open session already holds data";
      return false;
    }
  TTrack &t = d.Tracks[size_t(inv)];
  if (start < t.Start) {
    err = "a session cannot start before the next writable address " + std::to_string(t.Start);
    return false;
  }
  if (blocks == 0 || uint64_t(start) + blocks > d.Capacity) {
    err = std::to_string(blocks) + " blocks from " + std::to_string(start) + " do not fit on a disc of " +
          std::to_string(d.Capacity);
    return false;
  }
  t.Start = start;
  t.Written = blocks;
  FinishTrack(d, t);
  d.ClosedSessions = t.Session;
  OpenNextTrack(d, t.Session + 1, d.TrackEnd(t) + SessionGap(d));
  return true;
}

void CmdCloseTrackSession(TCmd &c) {
  TDrive &d = c.D;
  const bool imm = c.Cdb[1] & 0x01;
  const int fn = c.Cdb[2] & 0x07;
  const uint32_t number = c.Cdb16(4);
  const uint16_t prof = d.Profile();
  if (!d.CanWrite(d.Medium) || d.Type()->Rom) {
    c.Check(5, 0x30, 0x05);
    return;
  }
  const int multi = d.WriteParams[3] >> 6;
  BufferReset(d);  // the drive records what its buffer holds before it closes
  bool ok = true;
  double seconds = d.IsCd() ? 20 : 40;
  switch (prof) {
  case PROF_DVDPRW:
    if (fn == 3) {  // complete the (background) format
      d.Formatted = true;
      c.Changed = true;
    } else if (fn > 3) {
      ok = false;
    }
    seconds = 10;
    break;
  case PROF_BDRE:
    ok = false;  // BD-RE has no tracks or sessions to close
    break;
  case PROF_DVDRW_RO:
  case PROF_DVDRAM:
    ok = fn == 1 || fn == 2;
    seconds = 10;
    break;
  default:  // sequential media
    if (fn == 1) {
      if (!CloseTrack(c, number))
        return;
    } else if (fn == 2) {
      // CD and DVD-R/-RW close for good unless the write parameters allow a next session;
      // DVD+R keeps a closed session appendable until it is finalised.
      const bool plus = prof == PROF_DVDPR || prof == PROF_DVDPR_DL || prof == PROF_BDR;
      if (!CloseSession(c, !plus && multi != 3))
        return;
    } else if (((fn == 5 || fn == 6) && (prof == PROF_DVDPR || prof == PROF_DVDPR_DL)) ||
               (fn == 6 && prof == PROF_BDR)) {
      if (!CloseSession(c, true))
        return;
    } else {
      ok = false;
    }
    break;
  }
  if (!ok) {
    c.Check(5, 0x24, 0);
    return;
  }
  if (imm)
    StartLongOp(d, "close", seconds);
  c.Changed = true;
}

void CmdBlank(TCmd &c) {
  TDrive &d = c.D;
  const bool imm = c.Cdb[1] & 0x10;
  const int type = c.Cdb[1] & 0x07;
  const uint16_t prof = d.Profile();
  const bool cd = prof == PROF_CDRW;
  if (!d.CanWrite(d.Medium) || (prof != PROF_CDRW && prof != PROF_DVDRW_SEQ && prof != PROF_DVDRW_RO)) {
    c.Check(5, 0x30, 0x05);
    return;
  }
  if (type > 1) {
    c.Check(5, 0x24, 0);
    return;
  }
  const uint32_t cap = d.Capacity;
  const bool attention = d.UnitAttention;  // the same disc stays in: no medium change
  d.LoadMedium(*d.Type(), cap);
  d.UnitAttention = attention;
  d.DaoOnly = !cd && type == 1;  // a minimally blanked DVD-RW records disc-at-once only
  ClearData(d);
  double seconds;
  if (cd)
    seconds = type == 1 ? 40 : double(cap) * 2048 / (4234.0 * 1024);
  else
    seconds = type == 1 ? 60 : double(cap) * 2048 / (2770.0 * 1024);
  if (imm)
    StartLongOp(d, "blank", seconds);
  c.Changed = true;
}

void CmdFormatUnit(TCmd &c) {
  TDrive &d = c.D;
  const bool fmtData = c.Cdb[1] & 0x10;
  const uint16_t prof = d.Profile();
  if (!d.CanWrite(d.Medium) || (prof != PROF_DVDPRW && prof != PROF_DVDRW_SEQ && prof != PROF_DVDRW_RO &&
                                prof != PROF_DVDRAM && prof != PROF_BDR && prof != PROF_BDRE)) {
    c.Check(5, 0x30, 0x06);  // cannot format medium, incompatible medium
    return;
  }
  bool imm = false;
  uint32_t blocks = d.Capacity;
  int ftype = 0;
  if (fmtData) {
    if ((c.Cdb[1] & 0x07) != 1) {
      c.Check(5, 0x24, 0);
      return;
    }
    if (c.DataDir != 2 || c.Len < 12) {
      c.Check(5, 0x1A, 0);
      return;
    }
    const uint8_t *b = c.Buf;
    if (((b[2] << 8) | b[3]) != 8) {
      c.Check(5, 0x26, 0);
      return;
    }
    imm = b[1] & 0x02;
    blocks = (uint32_t(b[4]) << 24) | (uint32_t(b[5]) << 16) | (uint32_t(b[6]) << 8) | b[7];
    ftype = b[8] >> 2;
  } else if (prof != PROF_DVDRAM) {
    c.Check(5, 0x24, 0);
    return;
  }
  if (blocks > d.RawCapacity() && blocks != 0xFFFFFFFF) {
    c.Check(5, 0x26, 0);
    return;
  }
  double seconds = 0;
  if (prof == PROF_BDR) {
    // Spare areas (32h) on a blank BD-R only; they come off its user
    // capacity, and the user blocks asked for choose their size.
    const bool blank = d.Tracks.size() == 1 && !d.Tracks[0].Written && !d.Tracks[0].Reserved;
    const int64_t spare = BdSpareFor(d.RawCapacity(), blocks);
    if (ftype != 0x32 || d.Formatted || !blank || spare < 0) {
      c.Check(5, 0x26, 0);
      return;
    }
    seconds = 10;
    d.Formatted = true;
    d.SetSpareBlocks(uint32_t(spare));
  } else if (prof == PROF_BDRE) {
    // With spare areas (00h, 30h) or without (31h). Type 30h with subtype
    // 10b is a full format: every cluster is certified at 2x, and what the
    // disc held is gone. A quick format only rewrites the defect lists.
    // Spare areas come off the user capacity: type 00h takes the default
    // size, 30h the one that leaves the user blocks asked for, 31h none.
    const int64_t spare = ftype == 0x31 ? 0 : BdSpareFor(d.RawCapacity(), ftype == 0x00 ? 0 : blocks);
    if ((ftype != 0x00 && ftype != 0x30 && ftype != 0x31) || spare < 0) {
      c.Check(5, 0x26, 0);
      return;
    }
    const bool certify = ftype == 0x30 && (c.Buf[8] & 0x03) == 2;
    if (certify) {
      seconds = double(d.RawCapacity()) * 2048 / (8990.0 * 1000);
      ClearData(d);
      CacheForget(d);
      d.MaxWritten = 0;
    } else {
      seconds = d.Formatted ? 30 : 60;
    }
    d.Formatted = true;
    d.NoSpares = ftype == 0x31;
    d.SetSpareBlocks(uint32_t(spare));
  } else if (prof == PROF_DVDPRW) {
    if (ftype != 0x26) {
      c.Check(5, 0x26, 0);
      return;
    }
    seconds = d.Formatted ? 30 : 60;
    d.Formatted = true;
  } else if (prof == PROF_DVDRAM) {
    if (ftype != 0x00) {
      c.Check(5, 0x26, 0);
      return;
    }
    seconds = 600;
    d.Formatted = true;
    d.MaxWritten = 0;
    ClearData(d);
    CacheForget(d);
  } else {  // DVD-RW: full (00h), quick (15h) or grow (13h, restricted overwrite only)
    if (ftype == 0x13 && prof == PROF_DVDRW_RO) {
      seconds = 10;
    } else if (ftype == 0x00 || ftype == 0x15) {
      seconds = ftype == 0x00 ? 900 : 30;
      d.Formatted = true;
      d.DaoOnly = false;
      d.Finalized = false;
      d.ClosedSessions = 0;
      d.Tracks.clear();
      d.MaxWritten = 0;
      ClearData(d);
      CacheForget(d);
    } else {
      c.Check(5, 0x26, 0);
      return;
    }
  }
  if (imm)
    StartLongOp(d, "format", seconds);
  c.Changed = true;
}

void CmdReserveTrack(TCmd &c) {
  TDrive &d = c.D;
  const uint16_t prof = d.Profile();
  if (!d.CanWrite(d.Medium) || d.IsOverwritable() || d.Type()->Rom || prof == PROF_DVDPRW) {
    c.Check(5, 0x30, 0x05);
    return;
  }
  uint32_t size = c.Cdb32(5);
  const int inv = d.InvisibleTrack();
  if (inv < 0 || d.Tracks[size_t(inv)].Written) {
    c.Check(5, 0x2C, 0);  // only an empty invisible track can be reserved
    return;
  }
  if (!d.IsCd())
    size = RoundBlock(d, size);
  TTrack &t = d.Tracks[size_t(inv)];
  if (size == 0 || uint64_t(t.Start) + size > d.Capacity) {
    c.Check(5, 0x24, 0);
    return;
  }
  t.Reserved = size;
  const int session = t.Session;
  // A reservation up to the end leaves no next track; the disc is complete
  // only once its session is closed.
  if (t.Start + size < d.Capacity)
    OpenNextTrack(d, session, t.Start + size);
  c.Changed = true;
}

void CmdSendDvdStructure(TCmd &c) {
  TDrive &d = c.D;
  const int format = c.Cdb[7];
  const uint32_t n = std::min(c.Cdb16(8), c.Len);
  if (format != 0x0F || (d.Profile() != PROF_DVDR && d.Profile() != PROF_DVDRW_SEQ)) {
    c.Check(5, 0x24, 0);
    return;
  }
  if (c.DataDir != 2 || n < 22) {
    c.Check(5, 0x1A, 0);
    return;
  }
  std::string stamp(reinterpret_cast<const char *>(c.Buf + 8), 14);
  if (!std::all_of(stamp.begin(), stamp.end(), [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); })) {
    c.Check(5, 0x26, 0);
    return;
  }
  d.Timestamp = stamp;
  c.Changed = true;
}

}  // namespace vrec
