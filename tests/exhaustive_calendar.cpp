// Exhaustive check of the clock's calendar conversions.
//
// 1. Walks every instant from 1950-01-01 00:00:00 to 2086-02-06 06:28:15 in date order, which
//    is every 32-bit count: the record built by counting fields up by hand must be what the
//    count converts to, and converting that record back must give a count exactly one above
//    the previous. So every count survives the round trip and every valid record converts to
//    seconds and back unchanged. Every 997th count is also compared with the loop definitions.
// 2. Converts records with every year 0..65535 and out-of-range months, days and times, and
//    compares with the loop definition (its year sum carried from one year to the next).
// Prints progress and the elapsed time; exits non-zero on any mismatch.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../bench/calendar_reference.h"
#include "rtc/calendar.h"

namespace {

constexpr std::uint32_t kLastDay = 0xFFFFFFFFu / 86400u;  // 2086-02-06
constexpr std::uint32_t kSampleStride = 997;

std::atomic<std::uint64_t> g_failures{0};
std::atomic<std::uint32_t> g_daysDone{0};
std::mutex g_printLock;

void Fail(const char* what, std::uint32_t s, const SYSTEMTIME& st) {
  if (g_failures.fetch_add(1) < 20) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::printf("FAIL %s: count %u record %u-%u-%u (dow %u) %u:%u:%u.%u\n", what, s, st.wYear,
                st.wMonth, st.wDay, st.wDayOfWeek, st.wHour, st.wMinute, st.wSecond,
                st.wMilliseconds);
  }
}

struct Date {
  std::uint32_t year = 1950, month = 1, day = 1, dow = 0;  // 1950-01-01, a Sunday
  void Next() {
    dow = (dow + 1) % 7;
    if (++day > calref::kDaysInMonth[month - 1] + (month == 2 ? calref::Leap(year) : 0u)) {
      day = 1;
      if (++month > 12) month = 1, ++year;
    }
  }
};

// Field by field: a record just written field by field is read back the same way, which the
// processor forwards from its store buffer (a wide read of narrow stores would stall).
inline bool SameRecord(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return ((a.wYear ^ b.wYear) | (a.wMonth ^ b.wMonth) | (a.wDayOfWeek ^ b.wDayOfWeek) |
          (a.wDay ^ b.wDay) | (a.wHour ^ b.wHour) | (a.wMinute ^ b.wMinute) |
          (a.wSecond ^ b.wSecond) | (a.wMilliseconds ^ b.wMilliseconds)) == 0;
}

void WalkDays(std::uint32_t firstDay, std::uint32_t endDay) {
  Date date;
  for (std::uint32_t i = 0; i < firstDay; ++i) date.Next();
  std::uint32_t prev = firstDay * 86400u - 1u;
  std::uint64_t nextSample = (std::uint64_t(firstDay) * 86400u + kSampleStride - 1) /
                             kSampleStride * kSampleStride;
  for (std::uint32_t day = firstDay; day < endDay; ++day, date.Next()) {
    std::uint64_t base = std::uint64_t(day) * 86400u;
    std::uint32_t secondsToday = day == kLastDay ? std::uint32_t(0x100000000ull - base) : 86400u;
    SYSTEMTIME want{};
    want.wYear = WORD(date.year), want.wMonth = WORD(date.month), want.wDay = WORD(date.day);
    want.wDayOfWeek = WORD(date.dow);
    for (std::uint32_t sod = 0; sod < secondsToday; ++sod) {
      std::uint32_t s = std::uint32_t(base) + sod;
      SYSTEMTIME got;
      if (RtcSecondsToSystemTime(s, &got) != 1 || !SameRecord(got, want))
        Fail("count to record", s, got);
      // got equals want here, so this is the round trip of s and the count of the record.
      std::uint32_t back = SystemTimeToRtcSeconds(&want);
      if (back != prev + 1u) Fail("record to count", s, want);
      prev = back;
      if (s == nextSample) {
        nextSample += kSampleStride;
        SYSTEMTIME ref;
        calref::RefRtcSecondsToSystemTime(s, &ref);
        if (!SameRecord(ref, want)) Fail("loop definition, count", s, ref);
        if (calref::RefSystemTimeToRtcSeconds(&want) != s) Fail("loop definition, record", s, want);
      }
      if (++want.wSecond == 60) {
        want.wSecond = 0;
        if (++want.wMinute == 60) want.wMinute = 0, ++want.wHour;
      }
    }
    g_daysDone.fetch_add(1, std::memory_order_relaxed);
  }
}

void CheckUncheckedFields() {
  static const WORD kMonths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 255, 65535};
  static const WORD kDays[] = {0, 1, 2, 28, 29, 30, 31, 32, 366, 65535};
  std::uint32_t yearSum = 0;  // the loop's sum of whole years from 1950 up to the year
  std::uint32_t x = 2463534242u;
  for (std::uint32_t year = 0; year <= 65535; ++year) {
    SYSTEMTIME st{};
    st.wYear = WORD(year), st.wMonth = 1, st.wDay = 1;
    if (year % 251 == 0 && calref::RefSystemTimeToRtcSeconds(&st) != yearSum)
      Fail("carried year sum", yearSum, st);
    for (WORD month : kMonths)
      for (WORD day : kDays) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        st.wMonth = month, st.wDay = day;
        // Time fields: small ones half of the time, any 16-bit value otherwise.
        std::uint32_t r = (x & 1) ? x >> 1 : (x >> 1) % 97u;
        st.wHour = WORD(r), st.wMinute = WORD(r >> 7), st.wSecond = WORD(x >> 16);
        st.wDayOfWeek = WORD(x), st.wMilliseconds = WORD(x >> 3);
        std::uint32_t want = yearSum + calref::OffsetInYear(st);
        if (SystemTimeToRtcSeconds(&st) != want) Fail("unchecked fields", want, st);
      }
    if (year >= 1950) yearSum += calref::YearSeconds(year);
  }
}

}  // namespace

int main() {
  auto t0 = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  const std::uint32_t days = kLastDay + 1, half = days / 2;
  std::printf("walking %u days (every 32-bit count) on 2 threads\n", days);
  std::fflush(stdout);
  std::thread second(WalkDays, half, days);
  std::thread first(WalkDays, 0u, half);
  for (int tick = 1; g_daysDone.load() < days; ++tick) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (tick % 40 == 0) {
      std::printf("  %5.1f%% of days  %6.1f s\n", 100.0 * g_daysDone.load() / days, elapsed());
      std::fflush(stdout);
    }
  }
  first.join();
  second.join();
  std::printf("walk done in %.1f s\n", elapsed());
  CheckUncheckedFields();
  std::uint64_t failures = g_failures.load();
  std::printf("unchecked fields done; total %.1f s, %llu failure(s)\n", elapsed(),
              (unsigned long long)failures);
  return failures == 0 ? 0 : 1;
}
