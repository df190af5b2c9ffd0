// Rock Ridge entries of a directory record, continuation areas followed
// within bounds.
#include "ovRockRidgeRead.h"

#include "ovBytes.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace iso::rr {

namespace {

// Field offsets inside the entries read here (after the 4-byte header).
constexpr size_t kSPCheck = 4, kSPSkip = 6;
constexpr size_t kCEBlock = 4, kCEOffset = 12, kCELengthField = 20;
constexpr size_t kERIdLength = 4, kERDescLength = 5, kERSourceLength = 6, kERHeader = 8;
constexpr size_t kPXMode = 4, kPXLinks = 12, kPXUid = 20, kPXGid = 28, kPXSerial = 36;
constexpr size_t kFlags = 4;            // NM, SL, TF: one byte of flags
constexpr size_t kNMText = 5, kSLComponents = 5, kTFStamps = 5;
constexpr size_t kLinkLocation = 4;     // CL, PL: both-endian 32
constexpr size_t kLinkEntryLength = 12;
constexpr size_t kShortStamp = 7, kLongStamp = 17;

bool Is(const uint8_t *p, const char sig[2]) { return p[0] == static_cast<uint8_t>(sig[0]) && p[1] == static_cast<uint8_t>(sig[1]); }

std::string Sig(const uint8_t *p) {
  std::string s;
  for (int i = 0; i < 2; ++i)
    s += p[i] >= 0x20 && p[i] < 0x7F ? std::string(1, static_cast<char>(p[i])) : "?";
  return s;
}

int Digits(const uint8_t *p, size_t n) {
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9')
      return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

} // namespace

bool StampSeconds(const uint8_t *p, bool LongForm, int64_t &Seconds) {
  int year, month, day, hour, minute, second, offset;
  if (LongForm) {
    year = Digits(p, 4);
    month = Digits(p + 4, 2);
    day = Digits(p + 6, 2);
    hour = Digits(p + 8, 2);
    minute = Digits(p + 10, 2);
    second = Digits(p + 12, 2);
    offset = static_cast<int8_t>(p[16]);
    if (year < 1)
      return false;
  } else {
    year = 1900 + p[0];
    month = p[1];
    day = p[2];
    hour = p[3];
    minute = p[4];
    second = p[5];
    offset = static_cast<int8_t>(p[6]);
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59)
    return false;
  if (offset < -48 || offset > 52)
    offset = 0;
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  Seconds = static_cast<int64_t>(timegm(&t)) - int64_t{offset} * 15 * 60;
  return true;
}

bool ReadDotRecords(TSectorSource &Source, uint32_t Extent, TDirRecord &Dot, TDirRecord *DotDot) {
  uint8_t s[kSectorSize];
  std::string err;
  if (Extent >= Source.SectorCount() || !Source.ReadSectors(Extent, 1, s, err))
    return false;
  if (!ParseDirRecord(s, kSectorSize, Dot, err) || !Dot.IsDot())
    return false;
  Dot.At = {Extent, 0};
  if (!DotDot)
    return true;
  if (!ParseDirRecord(s + Dot.Length, kSectorSize - Dot.Length, *DotDot, err) || !DotDot->IsDotDot())
    return false;
  DotDot->At = {Extent, Dot.Length};
  return true;
}

bool TReader::Detect(uint32_t RootExtent, TRecordInfo &Root, std::vector<TProblem> *Problems) {
  Root = TRecordInfo();
  Skip = 0;
  TDirRecord dot;
  if (RootExtent >= end_ || !ReadDotRecords(src_, RootExtent, dot))
    return false;
  const auto *su = reinterpret_cast<const uint8_t *>(dot.SystemUse.data());
  // SP is the first entry of the root's "." record, and only there.
  if (dot.SystemUse.size() < kSPLength || !Is(su, kSP) || su[2] < kSPLength || su[kSPCheck] != kSPCheck1 ||
      su[kSPCheck + 1] != kSPCheck2)
    return false;
  Parse(dot, Root, Problems);
  Skip = Root.Skip;
  return Root.SharingProtocol;
}

bool TReader::ReadArea(const TContinuation &c, std::string &bytes, std::string &why) {
  if (c.Length == 0) {
    why = "a continuation area of 0 bytes";
    return false;
  }
  if (c.Offset >= kSectorSize || c.Length > kSectorSize - c.Offset) {
    why = "a continuation area of " + std::to_string(c.Length) + " bytes at byte " + std::to_string(c.Offset) +
          " crosses the end of its sector";
    return false;
  }
  if (c.Block >= end_) {
    why = "a continuation area at sector " + std::to_string(c.Block) + " lies outside the volume (" +
          std::to_string(end_) + " sectors)";
    return false;
  }
  if (cachedLba_ != c.Block) {
    cache_.resize(kSectorSize);
    cachedLba_ = ~uint64_t{0};
    if (!src_.ReadSectors(c.Block, 1, cache_.data(), why))
      return false;
    cachedLba_ = c.Block;
  }
  bytes.assign(reinterpret_cast<const char *>(cache_.data()) + c.Offset, c.Length);
  return true;
}

void TReader::Parse(const TDirRecord &Record, TRecordInfo &Info, std::vector<TProblem> *Problems) {
  Info = TRecordInfo();
  nameOpen_ = linkOpen_ = linkComponentOpen_ = linkRoot_ = false;
  linkParts_.clear();
  const auto problem = [&](const TWhere &at, const std::string &text) {
    if (Problems)
      Problems->push_back({at, text});
  };
  const std::string &su = Record.SystemUse;
  TContinuation next;
  bool hasNext = false;
  if (Skip < su.size())
    Entries(reinterpret_cast<const uint8_t *>(su.data()) + Skip, su.size() - Skip, Record.At, Info, Problems, next,
            hasNext);
  // The continuation chain: each area read once, within the bounds.
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  uint32_t bytes = 0;
  std::string area, why;
  while (hasNext) {
    hasNext = false;
    const TWhere at{next.Block, next.Offset};
    if (seen.size() >= kMaxContinuations || bytes + next.Length > kMaxEntryBytes) {
      problem(at, "the chain of continuation areas is longer than " + std::to_string(kMaxContinuations) +
                      " areas or " + std::to_string(kMaxEntryBytes) + " bytes: the rest is not read");
      break;
    }
    if (areasRead_ >= kMaxAreasRead) {
      if (!budgetReported_)
        problem(at, "this tree has led to " + std::to_string(kMaxAreasRead) +
                        " continuation areas: no more are read");
      budgetReported_ = true;
      break;
    }
    ++areasRead_;
    const std::pair<uint32_t, uint32_t> key{next.Block, next.Offset};
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      problem(at, "the chain of continuation areas loops back to sector " + std::to_string(next.Block) +
                      " byte " + std::to_string(next.Offset));
      break;
    }
    seen.push_back(key);
    if (!ReadArea(next, area, why)) {
      problem(at, why);
      break;
    }
    bytes += next.Length;
    if (keepAreas_)
      areas_.push_back(next);
    Entries(reinterpret_cast<const uint8_t *>(area.data()), area.size(), at, Info, Problems, next, hasNext);
  }
  if (nameOpen_)
    problem(Record.At, "the last NM entry says the name continues, and no NM entry follows");
  if (linkOpen_)
    problem(Record.At, "the last SL entry says the link continues, and no SL entry follows");
  if (Info.HasLink) {
    std::string target = linkRoot_ ? "/" : "";
    for (size_t i = linkRoot_ ? 1 : 0; i < linkParts_.size(); ++i) {
      if (i > (linkRoot_ ? 1u : 0u))
        target += '/';
      target += linkParts_[i];
    }
    Info.Attrs.LinkTarget = std::move(target);
    if (Info.Attrs.LinkTarget.empty()) {
      problem(Record.At, "an SL entry without a target");
      Info.HasLink = false;
    }
  }
  linkParts_.clear();
}

void TReader::Entries(const uint8_t *p, size_t n, const TWhere &at, TRecordInfo &info,
                      std::vector<TProblem> *problems, TContinuation &next, bool &hasNext) {
  const auto problem = [&](size_t off, const std::string &text) {
    if (problems)
      problems->push_back({{at.Lba, static_cast<uint32_t>(at.Offset + off)}, text});
  };
  size_t off = 0;
  while (off + kEntryHeader <= n) {
    const uint8_t *e = p + off;
    const size_t len = e[2];
    if (e[0] == 0 && e[1] == 0 && len == 0)
      break;  // zero fill after the last entry
    if (len < kEntryHeader || len > n - off) {
      problem(off, "a system use entry \"" + Sig(e) + "\" of length " + std::to_string(len) + " does not fit the " +
                       std::to_string(n - off) + " bytes left in its area");
      break;
    }
    const auto tooShort = [&](size_t need) {
      if (len >= need)
        return false;
      problem(off, "a " + Sig(e) + " entry of " + std::to_string(len) + " bytes, shorter than its fields (" +
                       std::to_string(need) + ")");
      return true;
    };
    off += len;
    if (Is(e, kST))
      break;
    if (Is(e, kSP)) {
      if (!tooShort(kSPLength)) {
        info.SharingProtocol = e[kSPCheck] == kSPCheck1 && e[kSPCheck + 1] == kSPCheck2;
        info.Skip = e[kSPSkip];
      }
    } else if (Is(e, kCE)) {
      if (!tooShort(kCELength)) {
        next = {ov::GetLE32(e + kCEBlock), ov::GetLE32(e + kCEOffset), ov::GetLE32(e + kCELengthField)};
        hasNext = true;
      }
    } else if (Is(e, kER)) {
      if (!tooShort(kERHeader)) {
        const size_t id = e[kERIdLength], all = kERHeader + id + e[kERDescLength] + e[kERSourceLength];
        if (all > len)
          problem(off - len, "an ER entry whose texts (" + std::to_string(all) + " bytes) run past its length (" +
                                 std::to_string(len) + ")");
        else
          info.Extensions.emplace_back(reinterpret_cast<const char *>(e + kERHeader), id);
      }
    } else if (Is(e, kPX)) {
      info.Any = true;
      if (len != kPXLength110 && len != kPXLength112)
        problem(off - len, "a PX entry of " + std::to_string(len) + " bytes (RRIP gives it " +
                               std::to_string(kPXLength110) + " or " + std::to_string(kPXLength112) + ")");
      if (!tooShort(kPXLength110)) {
        info.HasAttrs = true;
        info.PXLength = static_cast<uint8_t>(len);
        info.Attrs.Mode = ov::GetLE32(e + kPXMode);
        info.Attrs.Links = ov::GetLE32(e + kPXLinks);
        info.Attrs.Uid = ov::GetLE32(e + kPXUid);
        info.Attrs.Gid = ov::GetLE32(e + kPXGid);
        if (len >= kPXLength112)
          info.Attrs.Serial = ov::GetLE32(e + kPXSerial);
      }
    } else if (Is(e, kNM)) {
      info.Any = true;
      if (tooShort(kNMText))
        continue;
      const uint8_t flags = e[kFlags];
      if (flags & (kNameCurrent | kNameParent)) {
        info.Name = flags & kNameCurrent ? "." : "..";
      } else if (info.Name.size() + (len - kNMText) > kMaxName) {
        problem(off - len, "an NM name longer than " + std::to_string(kMaxName) + " bytes: cut");
      } else {
        if (info.HasName && !nameOpen_)
          info.Name.clear();  // a second name replaces the first
        info.Name.append(reinterpret_cast<const char *>(e + kNMText), len - kNMText);
      }
      info.HasName = true;
      nameOpen_ = (flags & kNameContinue) != 0;
    } else if (Is(e, kSL)) {
      info.Any = true;
      if (tooShort(kSLComponents))
        continue;
      info.HasLink = true;
      size_t c = kSLComponents, total = 0;
      for (const std::string &part : linkParts_)
        total += part.size() + 1;
      while (c + 2 <= len) {
        const uint8_t flags = e[c], clen = e[c + 1];
        if (c + 2 + clen > len) {
          problem(off - len, "an SL component of " + std::to_string(clen) + " bytes runs past its entry");
          break;
        }
        std::string text;
        if (flags & kNameRoot)
          text = "";
        else if (flags & kNameCurrent)
          text = ".";
        else if (flags & kNameParent)
          text = "..";
        else
          text.assign(reinterpret_cast<const char *>(e + c + 2), clen);
        total += text.size() + 1;
        if (total > kMaxLinkTarget) {
          problem(off - len, "an SL target longer than " + std::to_string(kMaxLinkTarget) + " bytes: cut");
          break;
        }
        if (flags & kNameRoot) {
          if (linkParts_.empty())
            linkRoot_ = true;
          linkParts_.emplace_back();
        } else if (linkComponentOpen_ && !linkParts_.empty()) {
          linkParts_.back() += text;
        } else {
          linkParts_.push_back(std::move(text));
        }
        linkComponentOpen_ = (flags & kNameContinue) != 0;
        c += 2 + size_t{clen};
      }
      linkOpen_ = (e[kFlags] & kNameContinue) != 0;
    } else if (Is(e, kTF)) {
      info.Any = true;
      if (tooShort(kTFStamps))
        continue;
      const uint8_t flags = e[kFlags];
      const size_t size = flags & kTFLongForm ? kLongStamp : kShortStamp;
      size_t s = kTFStamps;
      for (uint8_t bit = kTFCreation; bit <= kTFEffective; bit = static_cast<uint8_t>(bit << 1)) {
        if (!(flags & bit))
          continue;
        if (s + size > len) {
          problem(off - len, "a TF entry of " + std::to_string(len) + " bytes is too short for the stamps its "
                                                                       "flags name");
          break;
        }
        int64_t secs = 0;
        const bool ok = StampSeconds(e + s, size == kLongStamp, secs);
        s += size;
        if (!ok)
          continue;
        if (bit == kTFModify) {
          info.Attrs.ModifyTime = secs;
          info.Attrs.HasModify = true;
        } else if (bit == kTFAccess) {
          info.Attrs.AccessTime = secs;
          info.Attrs.HasAccess = true;
        } else if (bit == kTFAttributes) {
          info.Attrs.ChangeTime = secs;
          info.Attrs.HasChange = true;
        }
      }
    } else if (Is(e, kCL) || Is(e, kPL)) {
      info.Any = true;
      if (tooShort(kLinkEntryLength))
        continue;
      (Is(e, kCL) ? info.HasChildLink : info.HasParentLink) = true;
      (Is(e, kCL) ? info.ChildLink : info.ParentLink) = ov::GetLE32(e + kLinkLocation);
    } else if (Is(e, kRE)) {
      info.Any = true;
      info.Relocated = true;
    } else if (Is(e, kRR) || Is(e, kPN) || Is(e, kSF)) {
      info.Any = true;  // RRIP 1.09 flags, device numbers, sparse files: nothing to take
    }
  }
}

} // namespace iso::rr
