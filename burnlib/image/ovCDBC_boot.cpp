// El Torito: whether the session gets a boot image, and its length.
#include "ovCDBC.h"
#include "ovISOStruct.h"

#include <sys/stat.h>

void TOrvBurner::PrepareBootImage() {
  BootImageSectors = 0;
  BootCatalogAddress = BootImageAddress = 0;
  if (!Bootable)
    return;
  // The boot file is looked at once, for its size. A missing, unnamed or
  // empty file, or one that is not a regular file, turns booting off: an
  // empty image would leave the catalog pointing at the next file's data.
  struct stat st {};
  if (BootImage.empty() || stat(BootImage.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    Bootable = false;
    return;
  }
  BootImageSectors = static_cast<uint32_t>((static_cast<uint64_t>(st.st_size) + ISOSectorSize - 1) / ISOSectorSize);
}
