// Rock Ridge system use fields: the entries of one record and their
// placement in the record and its continuation areas.
#include "ovRockRidgeWrite.h"

#include "ovBytes.h"
#include "ovISOStruct.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace ovrr {

using namespace iso::rr;

namespace {

constexpr size_t kSectorBytes = ISOSectorSize;
constexpr size_t kMaxRecord = 255;   // a directory record's length byte
constexpr size_t kMaxEntry = 255;    // a system use entry's length byte
constexpr size_t kNameChunk = kMaxEntry - kEntryHeader - 1;  // NM/SL: header and flags byte
constexpr size_t kDateBytes = 7;
constexpr size_t kTFLength = kEntryHeader + 1 + 3 * kDateBytes;

void PutCE(uint8_t *p, uint32_t block, uint32_t offset, uint32_t length) {
  p[0] = static_cast<uint8_t>(kCE[0]);
  p[1] = static_cast<uint8_t>(kCE[1]);
  p[2] = kCELength;
  p[3] = kEntryVersion;
  ov::PutBoth32(p + 4, block);
  ov::PutBoth32(p + 12, offset);
  ov::PutBoth32(p + 20, length);
}

} // namespace

bool TContinuation::Reserve(size_t n, uint32_t &block, uint32_t &offset) {
  if (n > kSectorBytes || failed_) {
    failed_ = true;
    return false;
  }
  if (used_ + n > kSectorBytes) {
    ++sector_;
    used_ = 0;
  }
  if ((static_cast<size_t>(sector_) + 1) * kSectorBytes > capacity_) {
    failed_ = true;
    return false;
  }
  begun_ = true;
  block = start_ + sector_;
  offset = static_cast<uint32_t>(used_);
  used_ += n;
  return true;
}

void TContinuation::Put(uint32_t block, uint32_t offset, const void *bytes, size_t n) {
  if (image_)
    std::memcpy(image_ + static_cast<size_t>(block - start_) * kSectorBytes + offset, bytes, n);
}

void TSystemUse::Add(const char sig[2], const uint8_t *body, size_t n) {
  entries_.push_back(sig[0]);
  entries_.push_back(sig[1]);
  entries_.push_back(static_cast<char>(kEntryHeader + n));
  entries_.push_back(static_cast<char>(kEntryVersion));
  entries_.append(reinterpret_cast<const char *>(body), n);
  ends_.push_back(entries_.size());
}

// NM: the name in pieces, each but the last flagged as continued.
void TSystemUse::AddSplit(const char sig[2], uint8_t flags, const std::string &bytes) {
  uint8_t body[kMaxEntry];
  size_t at = 0;
  do {
    const size_t n = std::min(kNameChunk, bytes.size() - at);
    body[0] = static_cast<uint8_t>(flags | (at + n < bytes.size() ? kNameContinue : 0));
    std::memcpy(body + 1, bytes.data() + at, n);
    Add(sig, body, n + 1);
    at += n;
  } while (at < bytes.size());
}

// SL: the target as components ("/" at the start, ".", "..", names), packed
// into as many entries as needed; a name longer than an entry is split into
// continued pieces.
void TSystemUse::AddLink(const std::string &target) {
  constexpr size_t kComponentsMax = kNameChunk;        // bytes of components in one SL entry
  constexpr size_t kPieceMax = kComponentsMax - 2;     // text of one component record
  uint8_t body[kMaxEntry];
  size_t used = 1;  // the SL flags byte
  const auto flush = [&](bool more) {
    body[0] = more ? kNameContinue : 0;
    Add(kSL, body, used);
    used = 1;
  };
  const auto component = [&](uint8_t flags, const char *text, size_t n) {
    if (used + 2 + n > kComponentsMax + 1)
      flush(true);
    body[used] = flags;
    body[used + 1] = static_cast<uint8_t>(n);
    if (n)
      std::memcpy(body + used + 2, text, n);
    used += 2 + n;
  };
  size_t at = 0;
  if (!target.empty() && target[0] == '/')
    component(kNameRoot, nullptr, 0);
  while (at < target.size()) {
    size_t slash = target.find('/', at);
    if (slash == std::string::npos)
      slash = target.size();
    const size_t n = slash - at;
    const char *text = target.data() + at;
    if (n == 1 && text[0] == '.') {
      component(kNameCurrent, nullptr, 0);
    } else if (n == 2 && text[0] == '.' && text[1] == '.') {
      component(kNameParent, nullptr, 0);
    } else {
      for (size_t k = 0; k < n; k += kPieceMax) {
        const size_t piece = std::min(kPieceMax, n - k);
        component(static_cast<uint8_t>(k + piece < n ? kNameContinue : 0), text + k, piece);
      }
    }
    at = slash + 1;
  }
  flush(false);
}

const std::string &TSystemUse::Entries(const TRecordAttrs &a) {
  entries_.clear();
  ends_.clear();
  uint8_t body[kMaxEntry];
  if (a.Root) {
    body[0] = kSPCheck1;
    body[1] = kSPCheck2;
    body[2] = 0;  // no bytes skipped before the entries
    Add(kSP, body, kSPLength - kEntryHeader);
  }
  ov::PutBoth32(body, a.Mode);
  ov::PutBoth32(body + 8, a.Links);
  ov::PutBoth32(body + 16, a.Uid);
  ov::PutBoth32(body + 24, a.Gid);
  ov::PutBoth32(body + 32, a.Serial);
  Add(kPX, body, kPXLength112 - kEntryHeader);
  body[0] = kTFModify | kTFAccess | kTFAttributes;
  for (size_t k = 0; k < 3; ++k)
    std::memcpy(body + 1 + k * kDateBytes, a.Dates[k], kDateBytes);
  Add(kTF, body, kTFLength - kEntryHeader);
  if (a.Name && !a.Name->empty())
    AddSplit(kNM, 0, *a.Name);
  if (a.LinkTarget)
    AddLink(*a.LinkTarget);
  if (a.Root) {
    const size_t id = std::strlen(kERIdentifier), des = std::strlen(kERDescriptor), src = std::strlen(kERSource);
    body[0] = static_cast<uint8_t>(id);
    body[1] = static_cast<uint8_t>(des);
    body[2] = static_cast<uint8_t>(src);
    body[3] = kERVersion;
    std::memcpy(body + 4, kERIdentifier, id);
    std::memcpy(body + 4 + id, kERDescriptor, des);
    std::memcpy(body + 4 + id + des, kERSource, src);
    Add(kER, body, 4 + id + des + src);
  }
  return entries_;
}

const std::string &TSystemUse::Place(const TRecordAttrs &a, size_t base, TContinuation &cont) {
  Entries(a);
  inline_.clear();
  // An even budget: the record is padded to an even length.
  const size_t budget = base + 1 < kMaxRecord ? (kMaxRecord - 1) - base : 0;
  const auto start = [&](size_t i) { return i == 0 ? size_t{0} : ends_[i - 1]; };
  const size_t count = ends_.size();
  size_t i = 0;
  if (entries_.size() <= budget) {
    i = count;
  } else {
    while (i < count && ends_[i] + kCELength <= budget)
      ++i;
    if (start(i) + kCELength > budget)
      return inline_;
  }
  inline_.assign(entries_, 0, start(i));
  if (i < count) {
    // Areas from entry i on, each ending with a CE to the next while entries
    // remain. Every area is reserved before any is written, so that the CE
    // before it can name it.
    areas_.clear();
    size_t k = i;
    while (k < count) {
      const size_t first = k;
      size_t used = 0;
      while (k < count) {
        if (used + (entries_.size() - start(k)) <= kSectorBytes) {
          k = count;
          break;
        }
        const size_t len = ends_[k] - start(k);
        if (used + len + kCELength > kSectorBytes)
          break;
        used += len;
        ++k;
      }
      TArea area;
      area.First = first;
      area.End = k;
      area.Size = static_cast<uint32_t>(start(k) - start(first) + (k < count ? kCELength : 0));
      if (!cont.Reserve(area.Size, area.Block, area.Offset)) {
        inline_.clear();
        return inline_;
      }
      areas_.push_back(area);
    }
    uint8_t ce[kCELength];
    PutCE(ce, areas_[0].Block, areas_[0].Offset, areas_[0].Size);
    inline_.append(reinterpret_cast<const char *>(ce), kCELength);
    for (size_t j = 0; j < areas_.size(); ++j) {
      const TArea &x = areas_[j];
      area_.assign(entries_, start(x.First), start(x.End) - start(x.First));
      if (j + 1 < areas_.size()) {
        PutCE(ce, areas_[j + 1].Block, areas_[j + 1].Offset, areas_[j + 1].Size);
        area_.append(reinterpret_cast<const char *>(ce), kCELength);
      }
      cont.Put(x.Block, x.Offset, area_.data(), area_.size());
    }
  }
  if (inline_.size() % 2)
    inline_.push_back('\0');
  return inline_;
}

uint32_t RationalMode(uint32_t mode) {
  const uint32_t type = mode & kTypeMask;
  uint32_t perms = (mode & kPermissionBits & ~(kWriteBits | kSetIdBits)) | kReadBits;
  if ((perms & kExecBits) || type == kTypeDirectory)
    perms |= kExecBits;
  return type | perms;
}

void PutUnixDate(uint8_t *p, int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  if (!gmtime_r(&t, &tm)) {
    std::memset(p, 0, kDateBytes);
    return;
  }
  p[0] = static_cast<uint8_t>(std::clamp(tm.tm_year, 0, 255));
  p[1] = static_cast<uint8_t>(tm.tm_mon + 1);
  p[2] = static_cast<uint8_t>(tm.tm_mday);
  p[3] = static_cast<uint8_t>(tm.tm_hour);
  p[4] = static_cast<uint8_t>(tm.tm_min);
  p[5] = static_cast<uint8_t>(tm.tm_sec);
  p[6] = 0;
}

} // namespace ovrr
