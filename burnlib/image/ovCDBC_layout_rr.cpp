// Rock Ridge attributes of the primary tree's records: modes, owners, times,
// names and link targets of the compilation's entries.
#include "ovCDBC_layout.h"

#include <cstring>
#include <functional>

namespace ovlayout {

using namespace iso::rr;

namespace {
constexpr uint16_t kDefaultFilePerms = 0444;
constexpr uint16_t kDefaultDirPerms = 0555;
constexpr uint16_t kPermMask = iso::rr::kPermissionBits;
} // namespace

TRRPass::TRRPass(const std::vector<TDEntry *> &dirs, bool keepPermissions)
    : keep_(keepPermissions), root_(dirs.empty() ? nullptr : dirs[0]) {
  subdirs_.reserve(dirs.size());
  for (size_t i = 1; i < dirs.size(); ++i)
    if (dirs[i]->Parent)
      ++subdirs_[dirs[i]->Parent];
  // Directories take the serial numbers up to their count, files those above.
  serial_ = static_cast<uint32_t>(dirs.size()) + 1;
}

// Mode, owners and times: the recorded ones when the entry carries its own
// (imported, or kept at insertion and still asked for), otherwise the
// captured permission bits, made rational unless they are to be kept.
// Access and change times are the source's where known, else the record date.
void TRRPass::FillCommon(const TRRInfo *info, uint16_t perms, uint32_t type, const uint8_t *date, uint32_t atime,
                         uint32_t ctime) {
  const bool recorded = info && info->Recorded && (keep_ || info->FromDisc);
  for (auto &d : a_.Dates) {
    if (date)
      std::memcpy(d, date, sizeof d);
    else
      std::memset(d, 0, sizeof d);
  }
  if (date && atime)
    ovrr::PutUnixDate(a_.Dates[1], atime);
  if (date && ctime)
    ovrr::PutUnixDate(a_.Dates[2], ctime);
  if (recorded) {
    const TPosixAttrs &x = info->Attrs;
    a_.Mode = type | (x.Mode & kPermMask);
    a_.Uid = x.Uid;
    a_.Gid = x.Gid;
    if (x.HasModify)
      ovrr::PutUnixDate(a_.Dates[0], x.ModifyTime);
    if (x.HasAccess)
      ovrr::PutUnixDate(a_.Dates[1], x.AccessTime);
    if (x.HasChange)
      ovrr::PutUnixDate(a_.Dates[2], x.ChangeTime);
    return;
  }
  const uint16_t bits = (perms & kPermsKnown)
                            ? static_cast<uint16_t>(perms & kPermMask)
                            : (type == kTypeDirectory ? kDefaultDirPerms : kDefaultFilePerms);
  a_.Mode = keep_ ? (type | bits) : ovrr::RationalMode(type | bits);
  a_.Uid = a_.Gid = 0;
}

void TRRPass::FillDir(const TDEntry *d, const uint8_t *date) {
  FillCommon(d->RR.get(), d->Perms, kTypeDirectory, date, d->ATime, d->CTime);
  const auto it = subdirs_.find(d);
  a_.Links = 2 + (it == subdirs_.end() ? 0 : it->second);
  a_.Serial = static_cast<uint32_t>(d->Number);
  a_.LinkTarget = nullptr;
}

const std::string &TRRPass::Dot(const TDEntry *d, bool dotdot, const uint8_t *date, ovrr::TContinuation &cont) {
  const TDEntry *x = dotdot && d->Parent ? d->Parent : d;
  FillDir(x, date);
  a_.Name = nullptr;
  a_.Root = !dotdot && d == root_;
  return su_.Place(a_, DirRecordLength(1), cont);
}

const std::string &TRRPass::Entry(const TFEntry *e, const uint8_t *date, ovrr::TContinuation &cont) {
  const TRRInfo *info;
  if (e->IsDir()) {
    FillDir(e->Dir, date);
    info = e->Dir->RR.get();
  } else {
    info = e->RR.get();
    const bool link = e->IsLink();
    FillCommon(info, e->Perms, link ? kTypeSymlink : kTypeRegular, date, e->ATime, e->CTime);
    a_.LinkTarget = link ? &info->Attrs.LinkTarget : nullptr;
    // The records of one file in several extents share its serial number,
    // and so do the names of one linked file.
    if (e != last_) {
      last_ = e;
      if (info && info->ImageLinks > 1) {
        const auto [it, added] = linkSerial_.try_emplace(info->DataOf ? info->DataOf : e, serial_ + 1);
        if (added)
          ++serial_;
        a_.Serial = it->second;
      } else {
        a_.Serial = ++serial_;
      }
    }
    a_.Links = info && info->ImageLinks > 1 ? info->ImageLinks : 1;
  }
  a_.Root = false;
  if (info && !info->Name.empty()) {
    a_.Name = &info->Name;
  } else if (!e->IsDir() && (e->Perms & kPermsDotAdded) && !e->LongName.empty()) {
    name_.assign(e->LongName, 0, e->LongName.size() - 1);
    a_.Name = &name_;
  } else {
    a_.Name = &e->LongName;
  }
  return su_.Place(a_, ISORecordLength(e), cont);
}

namespace {

// What makes two entries one object: the source's device and inode, or for
// imported files the serial number their session recorded, or their extent
// (kept apart from device numbers by the top bits). The size is part of it:
// a file that changed between two listings is not shared.
struct TObjectKey {
  uint64_t Dev, Ino;
  int64_t Size;
  bool operator==(const TObjectKey &) const = default;
};
struct TObjectKeyHash {
  size_t operator()(const TObjectKey &k) const {
    return std::hash<uint64_t>()(k.Dev * 0x9E3779B97F4A7C15ull ^ k.Ino) ^ std::hash<int64_t>()(k.Size);
  }
};

bool KeyOf(const TFEntry *e, TObjectKey &k) {
  const TRRInfo *x = e->RR.get();
  if (!x || e->IsDir() || e->IsLink())
    return false;
  if (e->Imported || x->FromDisc) {
    if (x->Attrs.Links < 2)
      return false;
    // Without a recorded serial (RRIP 1.10), names of one object share its
    // extent.
    if (x->Attrs.Serial != 0)
      k = {uint64_t{1} << 63, x->Attrs.Serial, e->Size};
    else if (e->Imported && e->Size > 0)
      k = {uint64_t{3} << 62, static_cast<uint32_t>(e->ISOAddress), e->Size};
    else
      return false;
    return true;
  }
  if (x->Ino == 0 || !e->HasSource())
    return false;
  k = {x->Dev & ~(uint64_t{3} << 62), x->Ino, e->Size};
  return true;
}

} // namespace

void LinkSharedData(const std::vector<TFEntry *> &files, bool rockRidge) {
  struct TGroup {
    TFEntry *First;
    uint32_t Count;
  };
  std::unordered_map<TObjectKey, TGroup, TObjectKeyHash> groups;
  std::vector<TFEntry *> linked;
  for (TFEntry *e : files) {
    if (!e->RR)
      continue;
    e->RR->DataOf = nullptr;
    e->RR->ImageLinks = 0;
    TObjectKey k;
    if (!rockRidge || !KeyOf(e, k))
      continue;
    const auto [it, added] = groups.try_emplace(k, TGroup{e, 0});
    ++it->second.Count;
    // (An imported file keeps the extent its session gave it: the layout
    // places no imported data.)
    if (!added)
      e->RR->DataOf = it->second.First;
    linked.push_back(e);
  }
  for (TFEntry *e : linked) {
    TObjectKey k;
    KeyOf(e, k);
    e->RR->ImageLinks = groups.find(k)->second.Count;
  }
}

} // namespace ovlayout
