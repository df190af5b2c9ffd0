// Drive addresses. A drive keeps the adapter and target it was given when it
// was added (the `address` key of its settings), so adding or removing other
// drives never moves it, even under a process that scanned before the change.
#include "VDrive.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace vrec {

std::string TDrive::AddressText() const {
  if (Slot < 0)
    return "";
  return std::to_string(Slot / kTargetsPerAdapter) + ":" + std::to_string(Slot % kTargetsPerAdapter) + ":0";
}

bool ParseAddress(const std::string &text, int &slot) {
  unsigned ha = 0, target = 0, lun = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u:%u:%u%c", &ha, &target, &lun, &tail) != 3 || ha >= kMaxAdapters ||
      target >= unsigned(kTargetsPerAdapter) || lun != 0)
    return false;
  slot = int(ha) * kTargetsPerAdapter + int(target);
  return true;
}

// The slots of the drives of `folder`; the caller holds the folder's lock when
// `assign` is set. Drives are taken in name order: a drive whose stored address
// is missing, invalid or already taken by an earlier drive gets the lowest free
// slot, which is written to its settings.
static std::vector<TDriveSlot> ReadSlots(const std::string &folder, bool assign, bool &complete) {
  std::vector<TDriveSlot> out;
  std::vector<std::string> unplaced;
  std::set<int> used;
  complete = true;
  for (const std::string &n : DriveNames(folder)) {
    TDrive d;
    std::string err;
    if (!LoadDrive(folder + "/" + n, d, err))
      continue;  // unreadable settings: not a usable drive
    if (d.Slot >= 0 && used.insert(d.Slot).second)
      out.push_back({n, d.Slot});
    else
      unplaced.push_back(n);
  }
  complete = unplaced.empty();
  for (const std::string &n : assign ? unplaced : std::vector<std::string>{}) {
    const int slot = FreeSlot(used);
    if (slot < 0)
      break;  // no address left: the drive stays unreachable
    const std::string dir = folder + "/" + n;
    TDriveLock lock(dir);
    TDrive d;
    std::string err;
    if (!lock.Ok() || !LoadDrive(dir, d, err))
      continue;
    d.Slot = slot;
    if (!SaveDrive(d, err))
      continue;
    used.insert(slot);
    out.push_back({n, slot});
  }
  std::sort(out.begin(), out.end(), [](const TDriveSlot &a, const TDriveSlot &b) { return a.Slot < b.Slot; });
  return out;
}

int FreeSlot(const std::set<int> &used) {
  for (int s = 0; s < kMaxAdapters * kTargetsPerAdapter; ++s)
    if (!used.count(s))
      return s;
  return -1;
}

std::vector<TDriveSlot> DriveSlotsLocked(const std::string &folder) {
  bool complete = true;
  return ReadSlots(folder, true, complete);
}

std::vector<TDriveSlot> DriveSlots(const std::string &folder) {
  bool complete = true;
  std::vector<TDriveSlot> slots = ReadSlots(folder, false, complete);
  if (complete)
    return slots;
  // Some drive has no address yet (a folder from before addresses were kept,
  // or a copied one): give it one under the folder's lock, so that two
  // processes never hand out the same slot.
  TDriveLock lock(folder);
  return ReadSlots(folder, true, complete);
}

}  // namespace vrec
