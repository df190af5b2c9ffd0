// Date conversion and the format pictures.
#include "ovDateTime.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

using namespace ov;

TEST(DateTime, EncodeDecodeRoundTrip) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1, 12, 0, 0), 2.5);
  const TDateTime t = EncodeDateTime(2024, 2, 29, 23, 59, 58, 573);
  const TDateParts p = DecodeDateTime(t);
  EXPECT_EQ(p.Year, 2024);
  EXPECT_EQ(p.Month, 2);
  EXPECT_EQ(p.Day, 29);
  EXPECT_EQ(p.Hour, 23);
  EXPECT_EQ(p.Minute, 59);
  EXPECT_EQ(p.Second, 58);
  EXPECT_EQ(p.MSec, 573);
  const time_t now = time(nullptr);
  EXPECT_EQ(DateTimeToUnix(UnixToDateTime(now)), now);
}

TEST(DateTime, DatePictures) {
  const TDateTime t = EncodeDateTime(2007, 3, 4, 5, 6, 7, 89);
  EXPECT_EQ(FormatDateTime("yyyymmddhhnnss", t), "20070304050607");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss.zzz", t), "04.03.2007 05:06:07.089");
  EXPECT_EQ(FormatDateTime("yy-m-d", t), "07-3-4");
}

TEST(DateTime, NumberPictures) {
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(FormatFloat("#,##0.00", 1234567.891), "1,234,567.89");
  EXPECT_EQ(FormatFloat("#,##0.00", 0.5), "0.50");
  EXPECT_EQ(FormatFloat("#,##0.00", 999.999), "1,000.00");
  EXPECT_EQ(FormatFloat("0.0X ", 4), "4.0X ");
  EXPECT_EQ(FormatFloat("0.0X ", 2.25), "2.3X ");
  EXPECT_EQ(FormatFloat("(#,##0 KB/s)", 1385.4), "(1,385 KB/s)");
  EXPECT_EQ(FormatFloat("(#,##0 KB/s)", 0), "(0 KB/s)");
  EXPECT_EQ(FormatFloat("#,##0.00", -2048.5), "-2,048.50");
}

TEST(DateTime, TimeZoneOffsetIsStandardTime) {
  tzset();
  EXPECT_EQ(TimeZoneOffsetMinutes(), static_cast<int>(-timezone / 60));
  EXPECT_LE(std::abs(TimeZoneOffsetMinutes()), 14 * 60);
}

TEST(DateTime, UtcOffsetIsTheOneInEffectAtEachDate) {
  {
    testenv::TScopedTimeZone tz("Asia/Kolkata");
    EXPECT_EQ(UtcOffsetMinutesAt(EncodeDateTime(2024, 1, 15, 12, 0, 0)), 330);
    EXPECT_EQ(UtcOffsetUnitsAt(EncodeDateTime(2024, 7, 15, 12, 0, 0)), 22);
  }
  {
    // Daylight saving: the summer offset in summer, also around the change
    // on 2024-03-31 at 02:00 local time.
    testenv::TScopedTimeZone tz("Europe/Berlin");
    EXPECT_EQ(UtcOffsetUnitsAt(EncodeDateTime(2024, 1, 15, 12, 0, 0)), 4);
    EXPECT_EQ(UtcOffsetUnitsAt(EncodeDateTime(2024, 7, 15, 12, 0, 0)), 8);
    EXPECT_EQ(UtcOffsetMinutesAt(EncodeDateTime(2024, 3, 31, 1, 59, 0)), 60);
    EXPECT_EQ(UtcOffsetMinutesAt(EncodeDateTime(2024, 3, 31, 3, 30, 0)), 120);
    // A file written in summer, read back as a date, keeps its offset.
    EXPECT_EQ(UtcOffsetMinutesAt(UnixToDateTime(1720000000)), 120);
  }
  {
    // West of UTC and not whole hours: -3:30, -2:30 in summer.
    testenv::TScopedTimeZone tz("America/St_Johns");
    EXPECT_EQ(UtcOffsetUnitsAt(EncodeDateTime(2023, 12, 1, 8, 0, 0)), -14);
    EXPECT_EQ(UtcOffsetUnitsAt(EncodeDateTime(2023, 6, 1, 8, 0, 0)), -10);
  }
  testenv::TScopedTimeZone utc("UTC");
  EXPECT_EQ(UtcOffsetUnitsAt(EncodeDateTime(2024, 7, 15, 12, 0, 0)), 0);
}
