// Rock Ridge attributes of the primary tree's records: modes, owners, times,
// names and link targets of the compilation's entries.
#include "ovCDBC_layout.h"

#include <cstring>

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
void TRRPass::FillCommon(const TRRInfo *info, uint16_t perms, uint32_t type, const uint8_t *date) {
  const bool recorded = info && info->Recorded && (keep_ || info->FromDisc);
  for (auto &d : a_.Dates) {
    if (date)
      std::memcpy(d, date, sizeof d);
    else
      std::memset(d, 0, sizeof d);
  }
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
  FillCommon(d->RR.get(), d->Perms, kTypeDirectory, date);
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
    FillCommon(info, e->Perms, link ? kTypeSymlink : kTypeRegular, date);
    a_.Links = 1;
    a_.LinkTarget = link ? &info->Attrs.LinkTarget : nullptr;
    // The records of one file in several extents share its serial number.
    if (e != last_)
      ++serial_;
    last_ = e;
    a_.Serial = serial_;
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

} // namespace ovlayout
