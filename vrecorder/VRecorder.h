// Management of the virtual recorders: the drives that libwnaspi32.so exposes.
// Used by `skarvo vdrive` and by tests. Every operation takes the drive's lock,
// so it is safe while another process sends commands to the same drive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vrec {

struct TDriveSummary {
  std::string Name;
  int Slot = -1;             // adapter * 8 + target; -1 when the settings cannot be read
  std::string Address;       // "adapter:target:lun" as the device layer's scan shows it
  std::string Model, Vendor, Product, Revision;
  std::string Medium;        // "none", "CD-R", ... ("DVD-RW" restricted overwrite: Formatted)
  bool TrayOpen = false;
  bool Formatted = false;
  std::string DiscStatus;    // "empty", "appendable", "complete", "none"
  uint32_t Capacity = 0;     // blocks of 2048 bytes
  uint32_t Recorded = 0;     // end of the recorded area in blocks
  int Sessions = 0;          // sessions holding data (what a host counts)
  int Tracks = 0;            // tracks including the invisible (next writable) one
  std::string Operation;     // long operation in progress ("blank", "format", "close") or empty
  std::vector<std::string> Faults;
};

// The folder of the drives: $SKARVO_VDRIVES, else $XDG_DATA_HOME/skarvo/vdrives,
// else ~/.local/share/skarvo/vdrives.
std::string DrivesFolder();
// Creates the folder with its default drive when it does not exist.
bool PrepareDrivesFolder(std::string &err);

std::vector<std::string> ModelNames();
std::vector<std::string> MediaNames();

// The drives by address.
bool ListDrives(std::vector<TDriveSummary> &out, std::string &err);
// Folders of the drive folder that look like drives but whose name does not
// begin with a letter: they are not used.
std::vector<std::string> IgnoredFolders();
bool GetDrive(const std::string &name, TDriveSummary &out, std::string &err);
// Adds a drive of a model at the lowest free address, which it keeps. The name
// begins with a letter (then letters, digits, '.', '_', '-'). vendor, product
// and revision override the model's identity when not empty.
bool AddDrive(const std::string &name, const std::string &model, const std::string &vendor,
              const std::string &product, const std::string &revision, std::string &err);
bool RemoveDrive(const std::string &name, std::string &err);
// Loads a medium. capacity 0 = the medium's usual size. image: the content of a
// CD-ROM/DVD-ROM, or a first closed session (sequential media) / the data at
// block 0 (overwritable media). formatted: DVD+RW formatted, DVD-RW restricted overwrite.
bool InsertMedium(const std::string &name, const std::string &media, uint32_t capacity, const std::string &image,
                  bool formatted, std::string &err);
// Takes the medium out. A drive whose tray is locked (PREVENT ALLOW MEDIUM
// REMOVAL) refuses unless `force`, which stands for pulling the disc out.
bool EjectMedium(const std::string &name, std::string &err, bool force = true);
// Records an image file as a further closed session of the recordable disc in
// the drive, starting at `at` (the next writable address when negative; never
// before it), as if it had been burned there. The disc stays appendable.
bool AppendSession(const std::string &name, const std::string &image, int64_t at, std::string &err);
// Writes the recorded blocks from block 0 to the end of the disc (or of session
// `session` when > 0) to `file` as a sparse image.
bool ExportMedium(const std::string &name, const std::string &file, int session, std::string &err);
// Adds a fault ("KIND [count=N] [skip=N] [op=HEX] [lba=N] [ascq=N]") or clears them all.
bool AddFault(const std::string &name, const std::string &spec, std::string &err);
bool ClearFaults(const std::string &name, std::string &err);
// The command log text; clear empties it.
bool ReadLog(const std::string &name, std::string &text, std::string &err);
bool ClearLog(const std::string &name, std::string &err);
// Sets a settings key (as in the settings file) after checking the result loads.
bool SetSetting(const std::string &name, const std::string &key, const std::string &value, std::string &err);

}  // namespace vrec
