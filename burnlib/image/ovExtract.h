// Copies a file's data from a sector source to a local file, safely: every
// read and write is checked, the data goes to an unnamed file in the same
// folder (or a temporary name where the file system has none) and takes its
// real name only when complete, so an error or an interrupt leaves no
// partial file (and an older file of that name intact).
#pragma once

#include "ovSessionTree.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace iso {

// Called after each piece with the bytes copied so far; false stops the copy.
using TCopyProgress = std::function<bool(uint64_t BytesDone)>;

// What to do when the local name is taken.
enum class TExisting { Replace, Keep };

// Writes Size bytes read from Extents (in order) to Name, a file name in the
// folder DirFd (or a path, with AT_FDCWD). The data is written to an
// unnamed file that gets its name only when complete. An existing Name is
// replaced, or with TExisting::Keep left alone (false, *Exists set); a
// final component that is a symbolic link is never followed. Date
// (TDateTime, local; NaN for none) becomes the file's modification time.
// Mode (permission bits), when not negative, is given to the file before it
// gets its name; else it has 0644 less the umask.
// False with Error (naming the sector or the local failure) when anything
// fails or Progress says stop; nothing is then left behind.
bool ExtractToFile(TSectorSource &Source, const std::vector<TExtent> &Extents, uint64_t Size, int DirFd,
                   const std::string &Name, double Date, const TCopyProgress &Progress, std::string &Error,
                   TExisting Existing = TExisting::Replace, bool *Exists = nullptr, int Mode = -1);

// Makes the symbolic link Name (in the folder DirFd) to Target, never
// following anything: an existing Name is replaced (the link itself, when it
// is one), or with TExisting::Keep left alone (false, *Exists set). Date
// (TDateTime, local; NaN for none) becomes the link's own time.
bool ExtractSymlink(int DirFd, const std::string &Name, const std::string &Target, double Date, std::string &Error,
                    TExisting Existing = TExisting::Replace, bool *Exists = nullptr);

// The permission bits a stored mode gives an extracted file or folder, as
// tar gives them without -p: read, write and execute bits less the umask;
// set-id and sticky bits are not given.
uint32_t ExtractedMode(uint32_t StoredMode, uint32_t Umask);

// Sets the modification (and access) time of an open file or folder; NaN
// leaves it alone.
void SetFileDate(int Fd, double Date);

} // namespace iso
