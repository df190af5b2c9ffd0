#include "CliDrive.h"

#include <algorithm>
#include <cctype>
#include <iostream>

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
    } else if (a.rfind("--drive=", 0) == 0) {
      options.Drive = a.substr(8);
    } else if (a == "--log") {
      options.Log = true;
    } else {
      rest.push_back(a);
    }
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
    const unsigned long index = std::stoul(D.substr(0, 9));
    if (index < list.size()) {
      deviceString = list[index];
      return true;
    }
    error = "no drive with index " + D + " (see `skarvo drives`)";
    return false;
  }
  for (const std::string &s : list) {
    const size_t comma = s.find(',');
    if (comma == std::string::npos)
      continue;
    // "ha:target:lun" alone.
    if (s.compare(0, comma, D) == 0 && D.size() == comma) {
      deviceString = s;
      return true;
    }
    // The drive's name: what follows the comma up to the blank before the
    // identification.
    const size_t start = comma + 1;
    if (s.size() > start + D.size() && s.compare(start, D.size(), D) == 0 && s[start + D.size()] == ' ') {
      deviceString = s;
      return true;
    }
  }
  error = "no drive matches '" + D + "' (see `skarvo drives`)";
  return false;
}

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
  dev.SelectDevice(deviceString);
  if (dev.HaId == 254) {
    Error("INVALID DEVICE ID / NOT A CD OR DVD DRIVE: " + deviceString);
    return false;
  }
  return true;
}

} // namespace skarvo_cli
