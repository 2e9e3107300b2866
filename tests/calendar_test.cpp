// Calendar conversions of the real-time clock.
#include <gtest/gtest.h>

#include <cstring>

#include "../bench/calendar_reference.h"
#include "rtc/calendar.h"

namespace {

SYSTEMTIME Rec(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  SYSTEMTIME st{};
  st.wYear = WORD(y), st.wMonth = WORD(mo), st.wDay = WORD(d);
  st.wHour = WORD(h), st.wMinute = WORD(mi), st.wSecond = WORD(s);
  return st;
}

TEST(Calendar, WorkedExamplesBothWays) {
  struct {
    SYSTEMTIME st;
    RtcSeconds s;
    WORD wDow;
  } cases[] = {
      {Rec(1950, 1, 1), 0, 0},
      {Rec(1952, 2, 29, 12), 0x410D840, 5},
      {Rec(1952, 3, 1), 0x4118100, 6},
      {Rec(2000, 2, 29, 23, 59, 59), 0x5E5AFAFF, 2},
      {Rec(2008, 6, 15, 7, 30), 0x6DF36278, 0},
      {Rec(2009, 1, 1), 0x6EFAA500, 4},
      {Rec(2086, 2, 6, 6, 28, 15), 0xFFFFFFFF, 3},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_EQ(SystemTimeToRtcSeconds(&c.st), c.s);
    EXPECT_TRUE(IsValidRtcRecord(&c.st));
    SYSTEMTIME want = c.st, got;
    want.wDayOfWeek = c.wDow;
    std::memset(&got, 0xAB, sizeof got);  // every field, milliseconds too, must be written
    ASSERT_EQ(RtcSecondsToSystemTime(c.s, &got), 1);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0);
  }
}

TEST(Calendar, LeapYearRule) {
  struct {
    int year, leap;
  } cases[] = {{1950, 0}, {1952, 1}, {1900, 0}, {2000, 1}, {2100, 0}, {2400, 1},  {2086, 0},
               {0, 1},    {1, 0},    {-4, 1},   {-100, 0}, {-400, 1}, {65535, 0}, {65200, 1}};
  for (auto& c : cases) EXPECT_EQ(IsLeapYear(c.year), c.leap) << c.year;
}

TEST(Calendar, MonthTablesAgree) {
  EXPECT_EQ(g_DaysBeforeMonth[0], 0);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(g_DaysBeforeMonth[i + 1], g_DaysBeforeMonth[i] + g_DaysInMonth[i]) << i;
  EXPECT_EQ(g_DaysBeforeMonth[12], 365);
}

// Values beyond the checked range follow the loop definition: years before 1950 give the
// offset in their own year, counts wrap past 2086, fields add in linearly and wrap.
TEST(Calendar, UncheckedFieldsWrapAndEarlyYears) {
  struct {
    SYSTEMTIME st;
    RtcSeconds s;
  } cases[] = {
      {Rec(2086, 2, 6, 6, 28, 16), 0},   {Rec(2086, 2, 7, 6, 28, 15), 86399},
      {Rec(1949, 1, 1, 0, 0, 1), 1},     {Rec(1949, 12, 31, 23, 59, 59), 31535999},
      {Rec(1948, 3, 1), 5184000},     // 1948 leap
      {Rec(1900, 3, 1), 5097600},     // 1900 common
      {Rec(0, 3, 1), 5184000},        // year 0 leap
      {Rec(1950, 1, 1, 24), 86400},   // hour 24 is the next midnight
      {Rec(1950, 1, 0), 0xFFFEAE80},  // day 0 before the first count wraps
      {Rec(1951, 1, 0), 31449600},       {Rec(2000, 1, 0), 1577750400},
      {Rec(2100, 3, 1), 443727104},      {Rec(2400, 12, 31, 23, 59, 59), 1347338111},
      {Rec(1950, 1, 65535), 1367170304}, {Rec(1950, 1, 1, 65535, 65535, 65535), 239923635},
      {Rec(65535, 1, 1), 799034368},     {Rec(65535, 65535, 65535, 65535, 65535, 65535), 2437664307u},
  };
  for (auto& c : cases) {
    EXPECT_EQ(SystemTimeToRtcSeconds(&c.st), c.s) << c.st.wYear << '-' << c.st.wMonth;
    EXPECT_EQ(calref::RefSystemTimeToRtcSeconds(&c.st), c.s);
  }
  // Day 0 and day 30 of February, minute 60 land on the neighbouring real instants.
  SYSTEMTIME a = Rec(1952, 3, 0), b = Rec(1952, 2, 29), c = Rec(1952, 2, 30), d = Rec(1952, 3, 1);
  SYSTEMTIME e = Rec(1999, 12, 31, 23, 60), f = Rec(2000, 1, 1);
  EXPECT_EQ(SystemTimeToRtcSeconds(&a), SystemTimeToRtcSeconds(&b));
  EXPECT_EQ(SystemTimeToRtcSeconds(&c), SystemTimeToRtcSeconds(&d));
  EXPECT_EQ(SystemTimeToRtcSeconds(&e), SystemTimeToRtcSeconds(&f));
}

// Month 0 counts as January, months above 12 as the whole year gone by (January of the next
// year, from 1950 on); none reads outside the tables (checked under AddressSanitizer).
TEST(Calendar, BadMonthsAreDefined) {
  struct {
    SYSTEMTIME bad, same;
  } cases[] = {
      {Rec(1952, 0, 15, 1), Rec(1952, 1, 15, 1)}, {Rec(1950, 0, 1), Rec(1950, 1, 1)},
      {Rec(1951, 13, 1), Rec(1952, 1, 1)},        {Rec(1952, 13, 1), Rec(1953, 1, 1)},
      {Rec(2000, 14, 2), Rec(2001, 1, 2)},        {Rec(2000, 255, 31), Rec(2001, 1, 31)},
      {Rec(1950, 65535, 1), Rec(1951, 1, 1)},     {Rec(2085, 65535, 10), Rec(2086, 1, 10)},
  };
  for (auto& c : cases) {
    EXPECT_EQ(SystemTimeToRtcSeconds(&c.bad), SystemTimeToRtcSeconds(&c.same)) << c.bad.wMonth;
    EXPECT_EQ(SystemTimeToRtcSeconds(&c.bad), calref::RefSystemTimeToRtcSeconds(&c.bad));
    EXPECT_FALSE(IsValidRtcRecord(&c.bad));
  }
}

TEST(Calendar, NullRecords) {
  EXPECT_EQ(RtcSecondsToSystemTime(12345, nullptr), 0);
  EXPECT_EQ(SystemTimeToRtcSeconds(nullptr), 0u);
  EXPECT_EQ(IsValidRtcRecord(nullptr), 0);
}

TEST(Calendar, ValidRecords) {
  SYSTEMTIME odd = Rec(2000, 6, 1);
  odd.wDayOfWeek = 9, odd.wMilliseconds = 65535;  // not looked at
  struct {
    SYSTEMTIME st;
    BOOL valid;
  } cases[] = {
      {Rec(1950, 1, 1), 1},
      {Rec(1949, 12, 31, 23, 59, 59), 0},
      {Rec(2086, 2, 6, 6, 28, 15), 1},
      {Rec(2086, 2, 6, 6, 28, 16), 0},
      {Rec(2086, 2, 6, 6, 29, 0), 0},
      {Rec(2086, 2, 6, 7, 0, 0), 0},
      {Rec(2086, 2, 7), 0},
      {Rec(2086, 3, 1), 0},
      {Rec(2086, 1, 31, 23, 59, 59), 1},
      {Rec(2087, 1, 1), 0},
      {Rec(1952, 2, 29), 1},
      {Rec(1950, 2, 29), 0},
      {Rec(2000, 2, 29), 1},
      {Rec(2001, 2, 29), 0},
      {Rec(2000, 4, 30), 1},
      {Rec(2000, 4, 31), 0},
      {Rec(2000, 12, 31), 1},
      {Rec(2000, 12, 32), 0},
      {Rec(2000, 1, 0), 0},
      {Rec(2000, 0, 1), 0},
      {Rec(2000, 13, 1), 0},
      {Rec(2000, 1, 1, 24), 0},
      {Rec(2000, 1, 1, 23, 60), 0},
      {Rec(2000, 1, 1, 23, 59, 60), 0},
      {odd, 1},
  };
  for (auto& c : cases)
    EXPECT_EQ(IsValidRtcRecord(&c.st), c.valid) << c.st.wYear << '-' << c.st.wMonth << '-' << c.st.wDay << ' '
                                                << c.st.wHour << ':' << c.st.wMinute << ':' << c.st.wSecond;
}

// A sample across the whole count range agrees with the loop definitions both ways; the
// exhaustive check covers every count.
TEST(Calendar, SampledCountsMatchLoops) {
  for (std::uint64_t u = 7; u <= 0xFFFFFFFFu; u += 0x3FFFF) {
    RtcSeconds s = RtcSeconds(u);
    SYSTEMTIME got, want;
    ASSERT_EQ(RtcSecondsToSystemTime(s, &got), 1);
    calref::RefRtcSecondsToSystemTime(s, &want);
    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << s;
    ASSERT_TRUE(IsValidRtcRecord(&got)) << s;
    ASSERT_EQ(SystemTimeToRtcSeconds(&got), s);
  }
}

}  // namespace
