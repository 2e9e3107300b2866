// Reference conversions for the real-time clock's calendar, used only to check and time the
// program's constant-time ones.
//
// RefSystemTimeToRtcSeconds / RefRtcSecondsToSystemTime are the slow loop forms that define
// the conversions: whole years are added (or taken off) one at a time, then months. They keep
// their own tables and leap rule so that a fault in the program's cannot hide in both. The
// month index is clamped to 0..12 exactly as the program does for bad months.
//
// The Eaf* and Chrono* routines convert through a general Euclidean-affine civil-date
// algorithm (Neri and Schneider, 2022, 32-bit form) and through std::chrono; they serve as
// speed comparisons and, for valid records, as further independent answers.
#pragma once

#include <chrono>
#include <cstdint>

#include "rtc/calendar.h"

namespace calref {

inline const std::uint32_t kDaysBeforeMonth[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
inline const std::uint32_t kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

inline std::uint32_t Leap(std::uint32_t y) { return (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 1 : 0; }

// Seconds of one whole year y, as the loop adds it.
inline std::uint32_t YearSeconds(std::uint32_t y) { return 31536000u + (Leap(y) ? 86400u : 0u); }

// Offset of the record within its own year, all in unsigned 32-bit arithmetic.
inline std::uint32_t OffsetInYear(const SYSTEMTIME& st) {
  std::uint32_t m = st.wMonth;
  std::uint32_t idx = m == 0 ? 0 : (m > 13 ? 12 : m - 1);
  std::uint32_t doy = kDaysBeforeMonth[idx] + st.wDay - 1u + ((Leap(st.wYear) && m > 2) ? 1u : 0u);
  return ((doy * 24u + st.wHour) * 60u + st.wMinute) * 60u + st.wSecond;
}

inline RtcSeconds RefSystemTimeToRtcSeconds(const SYSTEMTIME* pst) {
  if (pst == nullptr) return 0;
  std::uint32_t years = 0;
  for (std::uint32_t y = 1950; y < pst->wYear; ++y) years += YearSeconds(y);
  return years + OffsetInYear(*pst);
}

// Hour, minute, second, day of week and milliseconds of s; shared by every reference below so
// that they differ only in the civil-date step.
inline std::uint32_t FillTimeOfDay(RtcSeconds s, SYSTEMTIME* pst) {
  std::uint32_t days = s / 86400u, sod = s % 86400u;
  pst->wDayOfWeek = static_cast<WORD>(days % 7u);
  pst->wHour = static_cast<WORD>(sod / 3600u);
  pst->wMinute = static_cast<WORD>(sod / 60u % 60u);
  pst->wSecond = static_cast<WORD>(sod % 60u);
  pst->wMilliseconds = 0;
  return days;
}

inline BOOL RefRtcSecondsToSystemTime(RtcSeconds s, SYSTEMTIME* pst) {
  if (pst == nullptr) return 0;
  std::uint32_t days = FillTimeOfDay(s, pst);
  std::uint32_t y = 1950;
  while (days >= 365u + Leap(y)) days -= 365u + Leap(y++);
  std::uint32_t m = 0;
  for (;;) {
    std::uint32_t len = kDaysInMonth[m] + (m == 1 ? Leap(y) : 0u);
    if (days < len) break;
    days -= len;
    ++m;
  }
  pst->wYear = static_cast<WORD>(y);
  pst->wMonth = static_cast<WORD>(m + 1);
  pst->wDay = static_cast<WORD>(days + 1);
  return 1;
}

// ---- Euclidean-affine civil dates, 32-bit, days counted from 1970-01-01 ----
namespace eaf {
constexpr std::uint32_t kShift = 82;  // 400-year cycles added to keep values unsigned
constexpr std::uint32_t K = 719468 + 146097 * kShift;
constexpr std::uint32_t L = 400 * kShift;

struct Date {
  std::int32_t year;
  std::uint32_t month, day;
};

inline Date ToDate(std::int32_t n_u) {
  const std::uint32_t n = static_cast<std::uint32_t>(n_u) + K;
  // Century.
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t c = n1 / 146097;
  const std::uint32_t nc = n1 % 146097 / 4;
  // Year.
  const std::uint32_t n2 = 4 * nc + 3;
  const std::uint64_t p2 = std::uint64_t(2939745) * n2;
  const std::uint32_t z = static_cast<std::uint32_t>(p2 / 4294967296);
  const std::uint32_t ny = static_cast<std::uint32_t>(p2 % 4294967296) / 2939745 / 4;
  const std::uint32_t y = 100 * c + z;
  // Month and day.
  const std::uint32_t n3 = 2141 * ny + 197913;
  const std::uint32_t m = n3 / 65536;
  const std::uint32_t d = n3 % 65536 / 2141;
  // Map from the March-based year.
  const std::uint32_t j = ny >= 306;
  return {static_cast<std::int32_t>(y - L) + static_cast<std::int32_t>(j), j ? m - 12 : m, d + 1};
}

inline std::int32_t ToRataDie(std::int32_t y_g, std::uint32_t m_g, std::uint32_t d_g) {
  const std::uint32_t j = m_g <= 2;
  const std::uint32_t y = (static_cast<std::uint32_t>(y_g) + L) - j;
  const std::uint32_t m = j ? m_g + 12 : m_g;
  const std::uint32_t d = d_g - 1;
  const std::uint32_t c = y / 100;
  const std::uint32_t y_star = 1461 * y / 4 - c + c / 4;
  const std::uint32_t m_star = (979 * m - 2919) / 32;
  return static_cast<std::int32_t>(y_star + m_star + d - K);
}
}  // namespace eaf

constexpr std::int32_t kDay0From1970 = -7305;  // 1950-01-01 counted from 1970-01-01

inline std::uint32_t TimeOfDaySeconds(const SYSTEMTIME* pst) {
  return (std::uint32_t(pst->wHour) * 60u + pst->wMinute) * 60u + pst->wSecond;
}

// Valid records only.
inline RtcSeconds EafSystemTimeToRtcSeconds(const SYSTEMTIME* pst) {
  std::int32_t rd = eaf::ToRataDie(pst->wYear, pst->wMonth, pst->wDay);
  return std::uint32_t(rd - kDay0From1970) * 86400u + TimeOfDaySeconds(pst);
}

inline BOOL EafRtcSecondsToSystemTime(RtcSeconds s, SYSTEMTIME* pst) {
  std::uint32_t days = FillTimeOfDay(s, pst);
  eaf::Date d = eaf::ToDate(static_cast<std::int32_t>(days) + kDay0From1970);
  pst->wYear = static_cast<WORD>(d.year);
  pst->wMonth = static_cast<WORD>(d.month);
  pst->wDay = static_cast<WORD>(d.day);
  return 1;
}

// Valid records only.
inline RtcSeconds ChronoSystemTimeToRtcSeconds(const SYSTEMTIME* pst) {
  using namespace std::chrono;
  sys_days sd = year_month_day{year{pst->wYear}, month{pst->wMonth}, day{pst->wDay}};
  return std::uint32_t(sd.time_since_epoch().count() - kDay0From1970) * 86400u + TimeOfDaySeconds(pst);
}

inline BOOL ChronoRtcSecondsToSystemTime(RtcSeconds s, SYSTEMTIME* pst) {
  using namespace std::chrono;
  std::uint32_t days = FillTimeOfDay(s, pst);
  year_month_day ymd{sys_days{std::chrono::days{static_cast<int>(days) + kDay0From1970}}};
  pst->wYear = static_cast<WORD>(static_cast<int>(ymd.year()));
  pst->wMonth = static_cast<WORD>(static_cast<unsigned>(ymd.month()));
  pst->wDay = static_cast<WORD>(static_cast<unsigned>(ymd.day()));
  return 1;
}

}  // namespace calref
