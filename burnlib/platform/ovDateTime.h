// TDateTime (days since 1899-12-30, local time) and the format pictures.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace ov {

using TDateTime = double;

struct TDateParts {
  int Year, Month, Day, Hour, Minute, Second, MSec;
};

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec = 0);
TDateParts DecodeDateTime(TDateTime dt);
// Local time of a Unix time stamp, and back.
TDateTime UnixToDateTime(time_t t, long nsec = 0);
time_t DateTimeToUnix(TDateTime dt);
TDateTime Now();

// The standard-time offset of the local zone in minutes east of UTC
// (no daylight saving), e.g. +60 for Central Europe.
int TimeZoneOffsetMinutes();
// The offset from UTC in minutes east in effect at a local date-time,
// daylight saving included (+120 for a summer date in Central Europe).
int UtcOffsetMinutesAt(TDateTime localTime);
// The same in the 15-minute units of ISO 9660 dates, truncated toward zero.
int8_t UtcOffsetUnitsAt(TDateTime localTime);

// Date pictures: yyyy yy mm dd hh nn ss z zzz; any other character is copied.
std::string FormatDateTime(const std::string &pattern, TDateTime dt);
// Number pictures: "0" digit always shown, "#" digit when significant,
// "," thousands separators, "." decimal point; other characters copied.
// Sections separated by ";" are not supported.
std::string FormatFloat(const std::string &pattern, double value);

} // namespace ov
