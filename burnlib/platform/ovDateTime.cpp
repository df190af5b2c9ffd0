#include "ovDateTime.h"

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace ov {

namespace {

// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixEpoch = 25569.0;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int &y, int &m, int &d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

std::string Pad(int v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, v);
  return buf;
}

} // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  const double days = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) + kUnixEpoch;
  const double frac = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / 86400000.0;
  return days + frac;
}

TDateParts DecodeDateTime(TDateTime dt) {
  // Work in whole milliseconds so that 23:59:59.9995 does not round into a
  // 60th second.
  const int64_t totalMs = static_cast<int64_t>(std::llround(dt * 86400000.0));
  int64_t days = totalMs / 86400000;
  int64_t ms = totalMs % 86400000;
  if (ms < 0) {
    ms += 86400000;
    --days;
  }
  TDateParts p{};
  CivilFromDays(days - static_cast<int64_t>(kUnixEpoch), p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.MSec = static_cast<int>(ms % 1000);
  return p;
}

TDateTime UnixToDateTime(time_t t, long nsec) {
  struct tm lt {};
  localtime_r(&t, &lt);
  return EncodeDateTime(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                        static_cast<int>(nsec / 1000000));
}

namespace {
// The local broken-down time of dt, daylight saving left for mktime to find.
struct tm LocalTm(TDateTime dt) {
  const TDateParts p = DecodeDateTime(dt);
  struct tm lt {};
  lt.tm_year = p.Year - 1900;
  lt.tm_mon = p.Month - 1;
  lt.tm_mday = p.Day;
  lt.tm_hour = p.Hour;
  lt.tm_min = p.Minute;
  lt.tm_sec = p.Second;
  lt.tm_isdst = -1;
  return lt;
}
} // namespace

time_t DateTimeToUnix(TDateTime dt) {
  struct tm lt = LocalTm(dt);
  return mktime(&lt);
}

TDateTime Now() {
  using namespace std::chrono;
  const auto now = system_clock::now().time_since_epoch();
  const auto ns = duration_cast<nanoseconds>(now).count();
  return UnixToDateTime(static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000));
}

int TimeZoneOffsetMinutes() {
  static std::once_flag once;
  std::call_once(once, [] { tzset(); });
  // `timezone` is seconds west of UTC for standard time.
  return static_cast<int>(-timezone / 60);
}

int UtcOffsetMinutesAt(TDateTime localTime) {
  struct tm lt = LocalTm(localTime);
  // mktime fills tm_gmtoff with the offset in effect at that moment.
  if (mktime(&lt) == static_cast<time_t>(-1) && lt.tm_isdst < 0) {
    const time_t now = time(nullptr);
    localtime_r(&now, &lt);
  }
  return static_cast<int>(lt.tm_gmtoff / 60);
}

int8_t UtcOffsetUnitsAt(TDateTime localTime) {
  // ISO 9660 allows -48 to +52 (UTC-12:00 to UTC+13:00); +14:00 exists too.
  const int units = UtcOffsetMinutesAt(localTime) / 15;
  return static_cast<int8_t>(units < -48 ? -48 : units > 52 ? 52 : units);
}

std::string FormatDateTime(const std::string &pattern, TDateTime dt) {
  const TDateParts p = DecodeDateTime(dt);
  std::string out;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < pattern.size() && (pattern[i + n] | 0x20) == c)
      ++n;
    return n;
  };
  while (i < pattern.size()) {
    const char c = static_cast<char>(pattern[i] | 0x20);
    size_t n = (c >= 'a' && c <= 'z') ? run(c) : 0;
    if (c == 'y' && n >= 1) {
      out += n >= 3 ? Pad(p.Year, 4) : Pad(p.Year % 100, 2);
    } else if (c == 'm' && n >= 1) {
      out += n >= 2 ? Pad(p.Month, 2) : std::to_string(p.Month);
      n = std::min<size_t>(n, 2);
    } else if (c == 'd' && n >= 1) {
      out += n >= 2 ? Pad(p.Day, 2) : std::to_string(p.Day);
      n = std::min<size_t>(n, 2);
    } else if (c == 'h' && n >= 1) {
      out += n >= 2 ? Pad(p.Hour, 2) : std::to_string(p.Hour);
      n = std::min<size_t>(n, 2);
    } else if (c == 'n' && n >= 1) {
      out += n >= 2 ? Pad(p.Minute, 2) : std::to_string(p.Minute);
      n = std::min<size_t>(n, 2);
    } else if (c == 's' && n >= 1) {
      out += n >= 2 ? Pad(p.Second, 2) : std::to_string(p.Second);
      n = std::min<size_t>(n, 2);
    } else if (c == 'z' && n >= 1) {
      out += n >= 3 ? Pad(p.MSec, 3) : std::to_string(p.MSec);
      n = std::min<size_t>(n, 3);
    } else {
      out += pattern[i];
      n = 1;
    }
    i += n;
  }
  return out;
}

std::string FormatFloat(const std::string &pattern, double value) {
  // Split the picture into the digit placeholder run and the literal text
  // around it.
  size_t first = pattern.find_first_of("0#");
  if (first == std::string::npos)
    return pattern;
  size_t last = pattern.find_last_of("0#");
  // A "," or "." right after the placeholders belongs to them only when more
  // placeholders follow; last already marks the final placeholder.
  const std::string prefix = pattern.substr(0, first);
  const std::string suffix = pattern.substr(last + 1);
  const std::string body = pattern.substr(first, last - first + 1);

  bool thousands = false;
  int intZeros = 0, fracZeros = 0, fracHashes = 0;
  bool inFrac = false;
  for (char c : body) {
    if (c == '.')
      inFrac = true;
    else if (c == ',' && !inFrac)
      thousands = true;
    else if (c == '0')
      (inFrac ? fracZeros : intZeros)++;
    else if (c == '#' && inFrac)
      fracHashes++;
  }
  const int decimals = fracZeros + fracHashes;
  // Halves round away from zero, as the pictures' users expect (2.5 -> 3).
  const double scale = std::pow(10.0, decimals);
  const double rounded = std::round(std::fabs(value) * scale) / scale;
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, rounded);
  std::string digits = buf;
  std::string intPart = digits, fracPart;
  if (const size_t dot = digits.find('.'); dot != std::string::npos) {
    intPart = digits.substr(0, dot);
    fracPart = digits.substr(dot + 1);
  }
  // Optional fraction digits drop their trailing zeros.
  while (static_cast<int>(fracPart.size()) > fracZeros && !fracPart.empty() && fracPart.back() == '0')
    fracPart.pop_back();
  if (intPart == "0" && intZeros == 0)
    intPart.clear();
  while (static_cast<int>(intPart.size()) < intZeros)
    intPart.insert(intPart.begin(), '0');

  const struct lconv *lc = std::localeconv();
  const std::string dec = (lc && lc->decimal_point && *lc->decimal_point) ? lc->decimal_point : ".";
  std::string sep = (lc && lc->thousands_sep && *lc->thousands_sep) ? lc->thousands_sep : ",";
  if (thousands && intPart.size() > 3) {
    std::string grouped;
    const size_t n = intPart.size();
    for (size_t k = 0; k < n; ++k) {
      grouped += intPart[k];
      if ((n - k - 1) % 3 == 0 && k + 1 < n)
        grouped += sep;
    }
    intPart = grouped;
  }
  std::string number = intPart;
  if (!fracPart.empty())
    number += dec + fracPart;
  const bool negative = value < 0 && number.find_first_not_of("0.,") != std::string::npos;
  return prefix + (negative ? "-" : "") + number + suffix;
}

} // namespace ov
