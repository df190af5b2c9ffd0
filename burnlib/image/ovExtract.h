// Copies a file's data from a sector source to a local file, safely: every
// read and write is checked, the data goes to a temporary name in the same
// folder and takes its real name only when complete, so an error or an
// interrupt leaves no partial file (and an older file of that name intact).
#pragma once

#include "ovSessionTree.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace iso {

// Called after each piece with the bytes copied so far; false stops the copy.
using TCopyProgress = std::function<bool(uint64_t BytesDone)>;

// Writes Size bytes read from Extents (in order) to Name, a file name in the
// folder DirFd (or a path, with AT_FDCWD). A final component that is a
// symbolic link is replaced, never followed. Date (TDateTime, local; NaN
// for none) becomes the file's modification time. False with Error (naming
// the sector or the local failure) when anything fails or Progress says
// stop; the temporary file is then removed.
bool ExtractToFile(TSectorSource &Source, const std::vector<TExtent> &Extents, uint64_t Size, int DirFd,
                   const std::string &Name, double Date, const TCopyProgress &Progress, std::string &Error);

// Sets the modification (and access) time of an open file or folder; NaN
// leaves it alone.
void SetFileDate(int Fd, double Date);

} // namespace iso
