// El Torito: whether the session gets a boot image, and its length.
#include "ovCDBC.h"
#include "ovISOStruct.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kMbrSize = 512;
constexpr size_t kMbrPartitions = 446;   // four 16-byte entries
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMbrEntryStatus = 0, kMbrEntryType = 4;
constexpr size_t kMbrSignature = 510;    // 0x55 0xAA

// True when the file starts with a master boot record holding at least one
// partition: what hard-disk emulation boots.
bool HasPartitionTable(const std::string &path) {
  uint8_t mbr[kMbrSize];
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const ssize_t n = ::pread(fd, mbr, sizeof mbr, 0);
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof mbr) || mbr[kMbrSignature] != 0x55 || mbr[kMbrSignature + 1] != 0xAA)
    return false;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t *e = mbr + kMbrPartitions + i * kMbrEntrySize;
    if ((e[kMbrEntryStatus] == 0x00 || e[kMbrEntryStatus] == 0x80) && e[kMbrEntryType] != 0)
      return true;
  }
  return false;
}

} // namespace

void TOrvBurner::PrepareBootImage() {
  BootImageSectors = 0;
  BootCatalogAddress = BootImageAddress = 0;
  BootImageNote.clear();
  if (!Bootable)
    return;
  // The boot file is looked at once, for its size. A missing, unnamed or
  // empty file, or one that is not a regular file, turns booting off: an
  // empty image would leave the catalog pointing at the next file's data.
  struct stat st {};
  if (BootImage.empty())
    BootImageNote = "no boot image named";
  else if (stat(BootImage.c_str(), &st) != 0)
    BootImageNote = errno == ENOENT ? "not found" : std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    BootImageNote = "not a regular file";
  else if (st.st_size <= 0)
    BootImageNote = "the file is empty";
  if (!BootImageNote.empty()) {
    Bootable = false;
    return;
  }
  BootImageSectors = static_cast<uint32_t>((static_cast<uint64_t>(st.st_size) + ISOSectorSize - 1) / ISOSectorSize);
  // Only the three floppy sizes get floppy emulation; anything else boots
  // as a hard disk, which the BIOS expects to start with a partition table.
  if (BootMediaType(BootImageSectors) == 4 && !HasPartitionTable(BootImage))
    BootImageNote = "neither a 1.2, 1.44 or 2.88 MB floppy image nor a hard-disk image with a partition table: "
                    "assumed to be a hard disk (hard-disk emulation)";
}
