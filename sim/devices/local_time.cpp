#include "sim/devices/local_time.h"

#include <cstdio>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

// Civil-date conversions by era (400-year cycles), exact for every proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilTime CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.day = doy - (153 * mp + 2) / 5 + 1;
  t.month = mp < 10 ? mp + 3 : mp - 9;
  t.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (t.month <= 2));
  // 1970-01-01 was a Thursday.
  t.day_of_week = static_cast<unsigned>(((z - 719468) % 7 + 7 + 4) % 7);
  return t;
}

CivilTime CivilFromEpochSeconds(std::int64_t epoch_days, std::uint64_t seconds) {
  CivilTime t = CivilFromDays(epoch_days + static_cast<std::int64_t>(seconds / 86400));
  const std::uint64_t rest = seconds % 86400;
  t.hour = static_cast<unsigned>(rest / 3600);
  t.minute = static_cast<unsigned>(rest % 3600 / 60);
  t.second = static_cast<unsigned>(rest % 60);
  return t;
}

bool ParseCivil(const std::string& text, CivilTime& out) {
  int y = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%d-%u-%u %u:%u:%u%c", &y, &mo, &d, &h, &mi, &s, &tail);
  if (n != 5 && n != 6) return false;
  if (y < 1601 || y > 9999 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59) return false;
  const CivilTime check = CivilFromDays(DaysFromCivil(y, mo, d));
  if (check.month != mo || check.day != d) return false;
  out = check;
  out.hour = h;
  out.minute = mi;
  out.second = s;
  return true;
}

void LocalClock::Configure(const Section& root) {
  CivilTime start;
  ParseCivil("2008-06-15 06:58:00", start);
  if (auto clock = root.Table("clock")) {
    const std::string text = clock->String("start", "2008-06-15 06:58:00");
    if (!ParseCivil(text, start)) clock->Fail("start", "expected a date and time as \"YYYY-MM-DD hh:mm:ss\"");
    uptime_ms_ = clock->U32("uptime_ms", 0);
    clock->CheckNoUnknownKeys();
  }
  start_days_ = DaysFromCivil(start.year, start.month, start.day);
  start_ms_of_day_ = (start.hour * 3600ull + start.minute * 60ull + start.second) * 1000ull;
}

CivilTime LocalClock::CivilAt(Micros now) const {
  const std::uint64_t ms = start_ms_of_day_ + now / kMicrosPerMs;
  CivilTime t = CivilFromDays(start_days_ + static_cast<std::int64_t>(ms / 86400000));
  const std::uint64_t rest = ms % 86400000;
  t.hour = static_cast<unsigned>(rest / 3600000);
  t.minute = static_cast<unsigned>(rest / 60000 % 60);
  t.second = static_cast<unsigned>(rest / 1000 % 60);
  t.millisecond = static_cast<unsigned>(rest % 1000);
  return t;
}

std::string LocalClock::StartText() const {
  const CivilTime t = CivilAt(0);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

}  // namespace sim

using namespace sim;

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  Call c("GetLocalTime");
  if (lpSystemTime == nullptr) {
    c.Misuse("GetLocalTime without a record");
    c.Done();
    return;
  }
  const CivilTime t = Dev().clock.CivilAt(Dev().kernel.Now());
  lpSystemTime->wYear = static_cast<WORD>(t.year);
  lpSystemTime->wMonth = static_cast<WORD>(t.month);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(t.day_of_week);
  lpSystemTime->wDay = static_cast<WORD>(t.day);
  lpSystemTime->wHour = static_cast<WORD>(t.hour);
  lpSystemTime->wMinute = static_cast<WORD>(t.minute);
  lpSystemTime->wSecond = static_cast<WORD>(t.second);
  lpSystemTime->wMilliseconds = static_cast<WORD>(t.millisecond);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  c.Arg("time", buf);
  c.Done();
}
