// The `--drive D` option shared by the commands that talk to a recorder.
#pragma once

#include "SkarvoCli.h"
#include "ovDrvLib.h"

#include <string>

namespace skarvo_cli {

// Options every drive command accepts.
struct TDriveOptions {
  std::string Drive;  // empty: the first drive
  bool Log = false;   // print the library's debug messages on stderr
};

// Takes "--drive D", "--drive=D" and "--log" out of args. Returns false
// (after printing why) when --drive has no value.
bool TakeDriveOptions(TArgs &args, TDriveOptions &options);

// Brings the transport up and fills dev.DeviceList. Prints
// "Error initializing ASPI Layer." when no transport is available.
bool InitDevices(TSCSIDevice &dev);

// Finds the device string D stands for: a device string from the list, its
// index in the list (0 = first, as `skarvo drives` prints them), a device
// node or drive name ("/dev/sr0", a virtual drive's name), or an address
// "ha:target:lun". Empty D is the first drive.
bool ResolveDrive(const std::vector<std::string> &deviceList, const std::string &D,
                  std::string &deviceString, std::string &error);

// InitDevices + ResolveDrive + SelectDevice; prints the reason on failure.
bool OpenDrive(TSCSIDevice &dev, const TDriveOptions &options);

} // namespace skarvo_cli
