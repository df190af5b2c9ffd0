// Write speeds of a recorder as the tool offers them: the list the drive
// accepts for the loaded medium, and the --speed option that picks one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TSCSIDevice;

namespace skarvo_cli {

struct TSpeedEntry {
  std::string Text;   // "48X (8,467 KB/s)", "4.0X (5,540 KB/s)"
  uint16_t KBps = 0;  // what the drive reported for it
};

// Steps down from the drive's maximum write speed, sets each step and keeps
// the speed the drive then reports, once each ("1X" is 176.4 KB/s on a CD,
// 1,385 KB/s otherwise). Empty when the capabilities page cannot be read.
// The drive keeps the last speed set until a write sets its own.
std::vector<TSpeedEntry> WriteSpeedList(TSCSIDevice &dev, uint8_t discType);

// "max", "Max" and "" are 0 (the drive's maximum).
// Otherwise SPEED names an entry of the list: by its factor ("48x", "48X",
// "4.0x", "4x"), by its KB/s ("8467", "8467KB/s", "8,467 KB/s") or by its
// whole text. The factor of the entry gives the speed the writer asks for
// (x 177 on a CD, x 1,385 otherwise, rounded), a KB/s value is taken as it
// stands. False when SPEED names no entry, with error listing the valid ones.
bool SpeedFromOption(const std::string &speed, const std::vector<TSpeedEntry> &list, uint8_t discType,
                     uint16_t &kbps, std::string &error);

// "max, 48x, 40x, ..." for messages and the capabilities listing.
std::string SpeedChoices(const std::vector<TSpeedEntry> &list);

} // namespace skarvo_cli
