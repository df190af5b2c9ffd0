// The drive's read cache. A real recorder keeps the blocks it was sent last
// and answers a read of them from memory unless the read carries the Force
// Unit Access bit; what reached the medium is then never looked at. The
// cache holds a buffer's worth of the latest writes. What was sent equals
// the medium except where a `corrupt` fault altered the recorded block, so
// only those blocks are noted (their medium copy is inverted) and a cached
// read inverts them back.
#include "VDrive.h"

#include <algorithm>

namespace vrec {

namespace {

constexpr size_t kMaxRanges = 16;

uint32_t CacheCapacity(const TDrive &d) { return std::max<uint32_t>(d.BufferKb / 2, 16); }

bool InRanges(const std::vector<TCacheRange> &v, uint32_t lba) {
  for (const TCacheRange &r : v)
    if (lba >= r.Start && lba - r.Start < r.Blocks)
      return true;
  return false;
}

// Removes [lba, lba + n) from the ranges (it is about to be sent anew).
void Cut(std::vector<TCacheRange> &v, uint32_t lba, uint32_t n) {
  const uint64_t end = uint64_t(lba) + n;
  std::vector<TCacheRange> out;
  out.reserve(v.size() + 1);
  for (const TCacheRange &r : v) {
    const uint64_t rEnd = uint64_t(r.Start) + r.Blocks;
    if (rEnd <= lba || r.Start >= end) {
      out.push_back(r);
      continue;
    }
    if (r.Start < lba)
      out.push_back({r.Start, lba - r.Start});
    if (rEnd > end)
      out.push_back({uint32_t(end), uint32_t(rEnd - end)});
  }
  v.swap(out);
}

}  // namespace

bool CacheHolds(const TDrive &d, uint32_t lba) { return InRanges(d.Cache, lba); }

void CacheWritten(TDrive &d, uint32_t lba, uint32_t n) {
  if (n == 0)
    return;
  std::vector<TCacheRange> &v = d.Cache;
  // The common case, a sequential burn: the write continues the newest range.
  if (!v.empty() && uint64_t(v.back().Start) + v.back().Blocks == lba && v.size() == 1) {
    v.back().Blocks += n;
  } else {
    Cut(v, lba, n);
    if (!v.empty() && uint64_t(v.back().Start) + v.back().Blocks == lba)
      v.back().Blocks += n;
    else
      v.push_back({lba, n});
  }
  // Blocks sent anew replace what a fault altered.
  auto &alt = d.CacheAltered;
  if (!alt.empty())
    alt.erase(std::remove_if(alt.begin(), alt.end(), [&](uint32_t b) { return b >= lba && b - lba < n; }), alt.end());
  // Keep a buffer's worth, dropping the oldest blocks first.
  uint64_t total = 0;
  for (const TCacheRange &r : v)
    total += r.Blocks;
  const uint32_t cap = CacheCapacity(d);
  while (!v.empty() && (v.size() > kMaxRanges || total > cap)) {
    TCacheRange &r = v.front();
    const uint64_t over = total > cap ? total - cap : 0;
    if (v.size() <= kMaxRanges && over < r.Blocks) {
      r.Start += uint32_t(over);
      r.Blocks -= uint32_t(over);
      break;
    }
    total -= r.Blocks;
    v.erase(v.begin());
  }
  if (!alt.empty())
    alt.erase(std::remove_if(alt.begin(), alt.end(), [&](uint32_t b) { return !InRanges(v, b); }), alt.end());
}

void CacheAlter(TDrive &d, uint32_t lba) {
  if (!InRanges(d.Cache, lba))
    return;
  auto &alt = d.CacheAltered;
  const auto at = std::lower_bound(alt.begin(), alt.end(), lba);
  if (at == alt.end() || *at != lba)
    alt.insert(at, lba);
}

void CacheRead(const TDrive &d, uint32_t lba, uint32_t n, uint8_t *buf) {
  const uint64_t end = uint64_t(lba) + n;
  for (auto it = std::lower_bound(d.CacheAltered.begin(), d.CacheAltered.end(), lba);
       it != d.CacheAltered.end() && *it < end; ++it) {
    uint8_t *block = buf + size_t(*it - lba) * 2048;
    for (size_t i = 0; i < 2048; ++i)
      block[i] = uint8_t(~block[i]);
  }
}

void CacheForget(TDrive &d) {
  d.Cache.clear();
  d.CacheAltered.clear();
}

}  // namespace vrec
