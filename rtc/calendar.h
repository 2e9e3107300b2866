// Calendar arithmetic of the handset's real-time clock.
//
// The clock counts seconds since 1950-01-01 00:00:00 local time in an unsigned 32-bit
// register: no time zone, no leap seconds. The count 0xFFFFFFFF is 2086-02-06 06:28:15,
// and arithmetic on counts wraps modulo 2^32.
#pragma once

#include "platform/platform.h"

typedef DWORD RtcSeconds;

// Days of each month of a common year, January first.
extern const INT g_DaysInMonth[12];
// Days of a common year before the first of each month; the 13th entry is the whole year.
extern const INT g_DaysBeforeMonth[13];

// 1 when year is a Gregorian leap year (divisible by 4, and not by 100 unless by 400), else 0.
int IsLeapYear(int year);

// Seconds since 1950-01-01 00:00:00 of the calendar record pst.
//
// Reads year, month, day, hour, minute and second; day of week and milliseconds are ignored.
// Day, hour, minute and second are not range-checked but add in linearly (hour 24 is the next
// day's midnight, day 0 the last day of the month before). Each whole year from 1950 up to the
// record's year adds its length; a year of 1950 or earlier adds nothing, so an earlier year
// yields the offset within that year under that year's leap rule. All arithmetic wraps modulo
// 2^32. A month of 0 counts like January and a month above 12 as if the whole year had gone
// by (for years from 1950 on, January of the following year), so no month reads outside the
// tables. A null pst gives 0.
// Runs in constant time.
RtcSeconds SystemTimeToRtcSeconds(const SYSTEMTIME *pst);

// Fills all eight fields of pst with the instant s: day of week from 0 = Sunday (1950-01-01
// was a Sunday), milliseconds 0. Returns 1, or 0 with nothing written when pst is null.
// Runs in constant time.
BOOL RtcSecondsToSystemTime(RtcSeconds s, SYSTEMTIME *pst);

// 1 when pst names a real instant the clock can hold, from 1950-01-01 00:00:00 to
// 2086-02-06 06:28:15 inclusive: month 1..12, day within that month (29 February in leap
// years), hour below 24, minute and second below 60. Day of week and milliseconds are not
// looked at, as the conversion ignores them. 0 otherwise, and for a null pst.
// Alarm records are refused unless they pass this check.
BOOL IsValidRtcRecord(const SYSTEMTIME *pst);
