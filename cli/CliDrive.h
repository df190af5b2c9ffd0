// The `--drive D` option shared by the commands that talk to a recorder.
#pragma once

#include "SkarvoCli.h"
#include "ovDrvLib.h"

#include <string>

namespace skarvo_cli {

// Options every drive command accepts.
struct TDriveOptions {
  std::string Drive;         // empty: the first drive
  bool DriveGiven = false;   // --drive was on the command line
  bool Log = false;          // print the library's debug messages on stderr
};

// Takes "--drive D", "--drive=D" and "--log" out of args. Returns false
// (after printing why) when --drive has no value.
bool TakeDriveOptions(TArgs &args, TDriveOptions &options);

// Brings the transport up and fills dev.DeviceList. Prints
// "Error initializing ASPI Layer." when no transport is available.
bool InitDevices(TSCSIDevice &dev);

// Finds the device string D stands for: a device string from the list; D made
// of digits is its index in the list (0 = first, as `skarvo drives` prints
// them), since drive names begin with a letter (a drive named with digits
// alone makes D ambiguous and is refused); otherwise a device node or drive
// name ("/dev/sr0", a virtual drive's name) or an address "ha:target:lun".
// Empty D is the first drive.
bool ResolveDrive(const std::vector<std::string> &deviceList, const std::string &D,
                  std::string &deviceString, std::string &error);

// The drive's name ("/dev/sr0", a virtual drive's name) in a device string.
std::string DriveName(const std::string &deviceString);

// InitDevices + ResolveDrive + SelectDevice; prints the reason on failure.
// Commands of the opened drive stop after the first time-out.
bool OpenDrive(TSCSIDevice &dev, const TDriveOptions &options);

// True when a medium is loaded; a unit attention after a medium change is
// read once before the answer counts.
bool MediumLoaded(TSCSIDevice &dev);

// Asks QUESTION + " [y/N]" on the terminal; false without a terminal on
// stdin or for any answer but yes.
bool Confirm(const std::string &question);

} // namespace skarvo_cli
