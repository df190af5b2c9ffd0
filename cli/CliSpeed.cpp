// Write speed list and the --speed option (see CliSpeed.h).
#include "CliSpeed.h"

#include "ovDateTime.h"
#include "ovDrvLib.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace skarvo_cli {

namespace {

bool IsCD(uint8_t discType) { return discType < dtDVDROM; }

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The text before the first "X" of an entry ("48", "4.0").
std::string FactorText(const std::string &entry) { return entry.substr(0, entry.find('X')); }

// A decimal number with nothing after it; false for anything else.
bool ParseNumber(const std::string &s, double &out) {
  if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.'))
    return false;
  char *end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return end && *end == '\0' && std::isfinite(out);
}

// Blanks and thousands separators out, lower case.
std::string Compact(const std::string &s) {
  std::string out;
  for (char c : Lower(s))
    if (c != ' ' && c != ',')
      out += c;
  return out;
}

} // namespace

std::vector<TSpeedEntry> WriteSpeedList(TSCSIDevice &dev, uint8_t discType) {
  const bool cd = IsCD(discType);
  const double unit = SpeedUnit(discType);
  const int step = cd ? 176 : IsBD(discType) ? kBDSpeed1x / 2 : 700;
  const char *format = cd ? "0X " : "0.0X ";
  std::vector<TSpeedEntry> list;
  const auto add = [&](uint16_t kbs) {
    const std::string text = ov::FormatFloat(format, kbs / unit) + ov::FormatFloat("(#,##0 KB/s)", kbs);
    if (std::none_of(list.begin(), list.end(), [&](const TSpeedEntry &e) { return e.Text == text; }))
      list.push_back({text, kbs});
  };
  // The medium's own list when the drive gives one; otherwise each step the
  // drive settles on when asked for ever lower speeds.
  for (uint16_t kbs : dev.MediumWriteSpeeds())
    add(kbs);
  if (!list.empty())
    return list;
  const uint16_t before = dev.GetCurrentWriteSpeed();
  for (int speed = dev.GetMaxWriteSpeed(); speed > 0; speed -= step) {
    dev.SetWriteSpeed(static_cast<uint16_t>(speed));
    add(dev.GetCurrentWriteSpeed());
  }
  // Listing the speeds leaves the drive as it found it.
  if (!list.empty())
    dev.SetWriteSpeed(before);
  return list;
}

std::string SpeedChoices(const std::vector<TSpeedEntry> &list) {
  std::string s = "max";
  for (const TSpeedEntry &e : list)
    s += ", " + Lower(FactorText(e.Text)) + "x (" + std::to_string(e.KBps) + " KB/s)";
  return s;
}

bool SpeedFromOption(const std::string &speed, const std::vector<TSpeedEntry> &list, uint8_t discType,
                     uint16_t &kbps, std::string &error) {
  const std::string s = Compact(speed);
  if (s.empty() || s == "max") {
    kbps = 0;
    return true;
  }
  double value = 0;
  const bool factor = !s.empty() && s.back() == 'x' && ParseNumber(s.substr(0, s.size() - 1), value);
  std::string kbText = s;
  if (kbText.size() > 4 && kbText.compare(kbText.size() - 4, 4, "kb/s") == 0)
    kbText.resize(kbText.size() - 4);
  double kb = 0;
  const bool kbGiven = !factor && ParseNumber(kbText, kb);
  for (const TSpeedEntry &e : list) {
    double entryFactor = 0;
    ParseNumber(FactorText(e.Text), entryFactor);
    const bool byFactor = factor && std::fabs(entryFactor - value) < 1e-6;
    const bool byText = Compact(e.Text) == s;
    if (byFactor || byText) {
      // As the speed list of the window: the factor times the medium's unit.
      kbps = static_cast<uint16_t>(std::lround(entryFactor * (IsCD(discType) ? 177 : SpeedUnit(discType))));
      return true;
    }
    if (kbGiven && std::fabs(kb - e.KBps) < 0.5) {
      kbps = e.KBps;
      return true;
    }
  }
  error = "the drive offers no write speed \"" + speed + "\" for this medium; valid speeds: " + SpeedChoices(list);
  return false;
}

} // namespace skarvo_cli
