// Calendar arithmetic of the handset's real-time clock: conversions between the clock's
// second count and calendar records, in constant time.
#include "rtc/calendar.h"

const INT g_DaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const INT g_DaysBeforeMonth[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

#define RTC_FIRST_YEAR      1950u
#define RTC_LAST_YEAR       2086u
#define RTC_SECONDS_PER_DAY 86400u

// The stretch from 1900-03-01 to 2100-02-28 in which every fourth year is a leap year
// (2000 is one, 1900 and 2100 are outside). The clock's range, 1950-01-01 to 2086-02-06, lies
// inside it, and counting years from 1 March, so that the leap day closes each year, every
// 1461-day block from 1948-03-01 is four years with the leap day last.
#define RTC_STRETCH_LAST_YEAR 2099u
#define RTC_MARCH_BASE_YEAR   1948u
// Days from 1948-03-01 to 1950-01-01: 365 to 1949-03-01, then 306 to the new year.
#define RTC_DAYS_FROM_MARCH_BASE 671u
// Days from 1 March of year 0 to 1950-01-01 counting a leap day every fourth year:
// 1461 * 1948 / 4 = 711507 to 1 March 1948, then 671. The Gregorian rule drops
// centuries - centuries / 4 of those leap days, 15 both here and for any March-based year from
// 1900 to 2099, so there the two cancel; for other years DaysToMonth adds the difference.
#define RTC_MARCH_DAYS_TO_FIRST_DAY 712178u

// The last instant the clock holds, 2086-02-06 06:28:15, as month, day, hour, minute, second.
static const DWORD s_rgdwLastInstant[5] = {2, 6, 6, 28, 15};

int IsLeapYear(int year)
{
    if (year % 4 != 0)
        return 0;
    if (year % 100 != 0)
        return 1;
    return (year % 400 == 0) ? 1 : 0;
}

// Days from 1950-01-01 to the first of month dwMonth (1..13, 13 being January of the next
// year) of dwYear, for years from 1950 on. fGregorian 0 leaves out the correction for
// centuries, which is right for years up to 2099 and saves a division.
//
// Years are counted from 1 March so that the leap day closes the year: January and February
// become months 13 and 14 of the year before. Up to 1 March of that year come 365 days a year
// plus a leap day every fourth year, less the centuries, plus every fourth century; from
// 1 March to the first of a month (3..14), months follow 153 days per five, which
// (979 * month - 2919) / 32 reproduces exactly.
static inline DWORD DaysToMonth(DWORD dwYear, DWORD dwMonth, BOOL fGregorian)
{
    DWORD dwJanFeb = (DWORD)(dwMonth <= 2u);
    DWORD dwMarchYear = dwYear - dwJanFeb;
    DWORD dwMarchMonth = dwMonth + 12u * dwJanFeb;
    DWORD dwDays = 1461u * dwMarchYear / 4u + (979u * dwMarchMonth - 2919u) / 32u -
                   RTC_MARCH_DAYS_TO_FIRST_DAY;
    if (fGregorian) {
        DWORD dwCenturies = dwMarchYear / 100u;
        dwDays += 15u - dwCenturies + dwCenturies / 4u;
    }
    return dwDays;
}

// Seconds from dwDays days after 1950-01-01, plus the record's day, hour, minute and second.
// These add in linearly; every step wraps modulo 2^32, which keeps the result equal to adding
// whole years and the offset within the year separately.
static inline RtcSeconds AddDayAndTime(DWORD dwDays, const SYSTEMTIME *pst)
{
    dwDays += (DWORD)pst->wDay - 1u;
    DWORD dwTimeOfDay = (DWORD)pst->wHour * 3600u + (DWORD)pst->wMinute * 60u + (DWORD)pst->wSecond;
    return dwDays * RTC_SECONDS_PER_DAY + dwTimeOfDay;
}

// SystemTimeToRtcSeconds for a year before 1950 or a month outside 1..12, still without
// loops. A bad month is taken as 1 (month 0) or 13 (above 12), the 13th month being the whole
// year gone by, so it gives a defined count. Before 1950 whole years add nothing and the days
// count from 1 January of the record's own year; as the calendar repeats every 400 years,
// that offset is taken 2000 years later, where DaysToMonth applies. Years after 2099 take
// the full Gregorian rule.
static RtcSeconds UnusualRecordToRtcSeconds(const SYSTEMTIME *pst)
{
    DWORD dwYear = pst->wYear;
    DWORD dwMonth = pst->wMonth;
    if (dwMonth == 0u)
        dwMonth = 1u;
    else if (dwMonth > 13u)
        dwMonth = 13u;

    DWORD dwDays;
    if (dwYear >= RTC_FIRST_YEAR)
        dwDays = DaysToMonth(dwYear, dwMonth, 1);
    else
        dwDays = DaysToMonth(dwYear + 2000u, dwMonth, 1) - DaysToMonth(dwYear + 2000u, 1u, 1);
    return AddDayAndTime(dwDays, pst);
}

RtcSeconds SystemTimeToRtcSeconds(const SYSTEMTIME *pst)
{
    if (pst == 0)
        return 0;
    // Years 1950 to 2099 with months 1..12, which covers every count the clock holds.
    if ((DWORD)pst->wYear - RTC_FIRST_YEAR > RTC_STRETCH_LAST_YEAR - RTC_FIRST_YEAR ||
        (DWORD)pst->wMonth - 1u >= 12u) [[unlikely]]
        return UnusualRecordToRtcSeconds(pst);
    return AddDayAndTime(DaysToMonth(pst->wYear, pst->wMonth, 0), pst);
}

BOOL RtcSecondsToSystemTime(RtcSeconds s, SYSTEMTIME *pst)
{
    if (pst == 0)
        return 0;

    // Divisions of the small quotients below are multiplications by a rounded-up reciprocal
    // and a shift, exact over the range each operand can reach (noted with each). They fit
    // 32 bits, where the compiler's general forms need 64-bit products or correction steps.
    DWORD dwDays = s / RTC_SECONDS_PER_DAY; // 0..49710
    DWORD dwSecondOfDay = s - dwDays * RTC_SECONDS_PER_DAY;
    DWORD dwHour = (dwSecondOfDay * 37283u) >> 27; // / 3600, exact below 125,203
    DWORD dwSecondOfHour = dwSecondOfDay - dwHour * 3600u;
    DWORD dwMinute = (dwSecondOfHour * 2185u) >> 17; // / 60, exact below 4,681
    DWORD dwSecond = dwSecondOfHour - dwMinute * 60u;
    DWORD dwWeeks = (dwDays * 74899u) >> 19;   // / 7, exact below 104,857
    DWORD dwDayOfWeek = dwDays - dwWeeks * 7u; // day 0, 1950-01-01, a Sunday

    // Year: four-year blocks from 1948-03-01. Scaling the day count by 4 and adding 3 turns the
    // uneven 365/365/365/366 split into a plain division by 1461, and the remainder over 4 is
    // the day within the March-based year (0 = 1 March). The division is a 64-bit product by
    // 2939745, 2^32 / 1461 rounded up, which is exact while dwScaled stays under 2^32 / 149;
    // it reaches 201,527.
    DWORD dwScaled = 4u * (dwDays + RTC_DAYS_FROM_MARCH_BASE) + 3u;
    DWORD dwYearsFromBase = (DWORD)(((unsigned long long)dwScaled * 2939745u) >> 32);
    DWORD dwDayOfYear = (dwScaled - dwYearsFromBase * 1461u) >> 2;

    // Month and day: from March on, month lengths follow 153 days per five months; the linear
    // map 2141 * day + 197913 puts the month (3..14) in the high half-word and the day, times
    // 2141, in the low half-word.
    DWORD dwMonthDay = 2141u * dwDayOfYear + 197913u;
    DWORD dwMonth = dwMonthDay >> 16;
    DWORD dwDay = (((dwMonthDay & 0xFFFFu) * 62690u) >> 27) + 1u; // / 2141, exact below 85,926

    // Months 13 and 14, January and February, close the March-based year and belong to the
    // next calendar year.
    DWORD dwNextYear = (DWORD)(dwMonth > 12u);
    DWORD dwYear = RTC_MARCH_BASE_YEAR + dwYearsFromBase + dwNextYear;
    if (dwNextYear)
        dwMonth -= 12u;

    pst->wYear = (WORD)dwYear;
    pst->wMonth = (WORD)dwMonth;
    pst->wDayOfWeek = (WORD)dwDayOfWeek;
    pst->wDay = (WORD)dwDay;
    pst->wHour = (WORD)dwHour;
    pst->wMinute = (WORD)dwMinute;
    pst->wSecond = (WORD)dwSecond;
    pst->wMilliseconds = 0;
    return 1;
}

BOOL IsValidRtcRecord(const SYSTEMTIME *pst)
{
    if (pst == 0)
        return 0;

    DWORD dwYear = pst->wYear;
    DWORD dwMonth = pst->wMonth;
    if (dwYear < RTC_FIRST_YEAR || dwYear > RTC_LAST_YEAR)
        return 0;
    if (dwMonth < 1u || dwMonth > 12u)
        return 0;

    DWORD dwDaysInMonth = (DWORD)g_DaysInMonth[dwMonth - 1u];
    if (dwMonth == 2u && IsLeapYear((int)dwYear))
        dwDaysInMonth++;
    if (pst->wDay < 1u || pst->wDay > dwDaysInMonth)
        return 0;
    if (pst->wHour >= 24u || pst->wMinute >= 60u || pst->wSecond >= 60u)
        return 0;

    if (dwYear == RTC_LAST_YEAR) {
        // Compare month, day, hour, minute, second in turn with the last instant.
        DWORD rgdwFields[5] = {dwMonth, pst->wDay, pst->wHour, pst->wMinute, pst->wSecond};
        for (int i = 0; i < 5; i++) {
            if (rgdwFields[i] != s_rgdwLastInstant[i])
                return (rgdwFields[i] < s_rgdwLastInstant[i]) ? 1 : 0;
        }
    }
    return 1;
}
