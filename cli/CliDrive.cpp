#include "CliDrive.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace skarvo_cli {

bool TakeDriveOptions(TArgs &args, TDriveOptions &options) {
  TArgs rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--drive") {
      if (i + 1 >= args.size()) {
        Error("--drive needs a value (a device string, an index, or a device name)");
        return false;
      }
      options.Drive = args[++i];
      options.DriveGiven = true;
    } else if (a.rfind("--drive=", 0) == 0) {
      options.Drive = a.substr(8);
      options.DriveGiven = true;
    } else if (a == "--log") {
      options.Log = true;
    } else {
      rest.push_back(a);
    }
  }
  if (options.DriveGiven && options.Drive.empty()) {
    // An empty value is a mistake, never a request for the first drive.
    Error("--drive needs a value (a device string, an index, or a device name)");
    return false;
  }
  args.swap(rest);
  return true;
}

bool InitDevices(TSCSIDevice &dev) {
  if (dev.ASPIInitialized() && !dev.DeviceList.empty())
    return true;
  if (!dev.InitializeASPI(true, "")) {
    Error("Error initializing ASPI Layer.");
    return false;
  }
  return true;
}

static bool AllDigits(const std::string &s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The drive's name in a device string: what follows the comma up to the
// blank before the identification.
static std::string NameOf(const std::string &deviceString) {
  const size_t comma = deviceString.find(',');
  if (comma == std::string::npos)
    return {};
  const size_t end = deviceString.find(' ', comma + 1);
  return deviceString.substr(comma + 1, end == std::string::npos ? std::string::npos : end - comma - 1);
}

bool ResolveDrive(const std::vector<std::string> &list, const std::string &D, std::string &deviceString,
                  std::string &error) {
  if (list.empty()) {
    error = "no CD or DVD drive found";
    return false;
  }
  if (D.empty()) {
    deviceString = list.front();
    return true;
  }
  for (const std::string &s : list)
    if (s == D) {
      deviceString = s;
      return true;
    }
  if (AllDigits(D)) {
    // Drive names begin with a letter, so digits are an index; a drive named
    // with digits alone (made by hand) would make it ambiguous.
    for (const std::string &s : list)
      if (NameOf(s) == D) {
        error = "'" + D + "' is both a drive name and an index: give the device string (see `skarvo drives`)";
        return false;
      }
    const unsigned long index = D.size() > 9 ? list.size() : std::stoul(D);
    if (index < list.size()) {
      deviceString = list[index];
      return true;
    }
    error = "no drive with index " + D + " (see `skarvo drives`)";
    return false;
  }
  for (const std::string &s : list) {
    const size_t comma = s.find(',');
    // "ha:target:lun" alone, or the drive's name.
    if ((comma != std::string::npos && s.compare(0, comma, D) == 0 && D.size() == comma) || NameOf(s) == D) {
      deviceString = s;
      return true;
    }
  }
  error = "no drive matches '" + D + "' (see `skarvo drives`)";
  return false;
}

std::string DriveName(const std::string &deviceString) { return NameOf(deviceString); }

bool OpenDrive(TSCSIDevice &dev, const TDriveOptions &options) {
  if (options.Log) {
    dev.DoDebug = true;
    dev.OnDebugMessage = [](TObject *, const std::string &message, uint8_t) { std::cerr << message << std::endl; };
  }
  if (!InitDevices(dev))
    return false;
  std::string deviceString, error;
  if (!ResolveDrive(dev.DeviceList, options.Drive, deviceString, error)) {
    Error(error);
    return false;
  }
  // A drive that stops answering ends the command within one time-out.
  dev.StopAfterTimeout = true;
  dev.SelectDevice(deviceString);
  if (dev.TimedOut()) {
    Error("the drive " + NameOf(deviceString) + " does not answer (COMMAND TIMEOUT)");
    return false;
  }
  if (dev.HaId == 254) {
    Error("INVALID DEVICE ID / NOT A CD OR DVD DRIVE: " + deviceString);
    return false;
  }
  return true;
}

bool MediumLoaded(TSCSIDevice &dev) {
  if (dev.TestUnitReady(5000))
    return true;
  if (dev.LastAction == TSenseAction::Retry && dev.TestUnitReady(5000))
    return true;
  return !dev.MediumAbsent();
}

bool Confirm(const std::string &question) {
  if (!isatty(STDIN_FILENO))
    return false;
  std::printf("%s [y/N] ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer))
    return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

} // namespace skarvo_cli
