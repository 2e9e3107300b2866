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
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "../bench/calendar_reference.h"
#include "rtc/calendar.h"

namespace {

constexpr std::uint32_t kLastDay = 0xFFFFFFFFu / 86400u;  // 2086-02-06
constexpr std::uint32_t kSampleStride = 997;
static_assert(std::endian::native == std::endian::little, "records are compared as words");

std::atomic<std::uint64_t> g_failures{0};
std::atomic<std::uint32_t> g_daysDone{0};
std::atomic<std::uint64_t> g_checked{0};  // counts walked, 2^32 when complete
std::mutex g_printLock;

void Fail(const char* what, std::uint32_t s, const SYSTEMTIME& st) {
  if (g_failures.fetch_add(1) < 20) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::printf("FAIL %s: count %u record %u-%u-%u (dow %u) %u:%u:%u.%u\n", what, s, st.wYear, st.wMonth, st.wDay,
                st.wDayOfWeek, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
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

// Converts each minute's counts in one batch and then checks the batch: the conversions of a
// batch are independent of one another and of the checks, so the processor overlaps them.
void WalkDays(std::uint32_t firstDay, std::uint32_t endDay) {
  Date date;
  for (std::uint32_t i = 0; i < firstDay; ++i) date.Next();
  std::uint64_t nextSample = (std::uint64_t(firstDay) * 86400u + kSampleStride - 1) / kSampleStride * kSampleStride;
  std::uint64_t checked = 0;
  SYSTEMTIME got[60];
  for (std::uint32_t day = firstDay; day < endDay; ++day, date.Next()) {
    // Records are compared as two 64-bit words: year, month, day of week and day, then hour,
    // minute, second and milliseconds (16 bits each, the first in the low bits).
    const std::uint64_t dateWord =
        date.year | std::uint64_t(date.month) << 16 | std::uint64_t(date.dow) << 32 | std::uint64_t(date.day) << 48;
    // The clock's last day ends at 06:28:15.
    const bool lastDay = day == kLastDay;
    for (std::uint32_t hour = 0; hour < (lastDay ? 7u : 24u); ++hour) {
      for (std::uint32_t minute = 0; minute < (lastDay && hour == 6 ? 29u : 60u); ++minute) {
        const std::uint32_t first = (day * 24u + hour) * 60u * 60u + minute * 60u;
        const std::uint32_t count = lastDay && hour == 6 && minute == 28 ? 16 : 60;
        const std::uint64_t minuteWord = hour | std::uint64_t(minute) << 16;
        checked += count;
        for (std::uint32_t i = 0; i < count; ++i) RtcSecondsToSystemTime(first + i, &got[i]);
        for (std::uint32_t i = 0; i < count; ++i) {
          const std::uint32_t s = first + i;
          const SYSTEMTIME& st = got[i];
          std::uint64_t words[2];
          std::memcpy(words, &st, sizeof words);
          if (words[0] != dateWord || words[1] != (minuteWord | std::uint64_t(i) << 32)) Fail("count to record", s, st);
          // The record is the expected one here, so converting it back is both the round trip
          // of s and the count of that record, one above the previous record's.
          if (SystemTimeToRtcSeconds(&st) != s) Fail("record to count", s, st);
          if (s == nextSample) {
            nextSample += kSampleStride;
            SYSTEMTIME ref;
            calref::RefRtcSecondsToSystemTime(s, &ref);
            if (std::memcmp(&ref, &st, sizeof ref) != 0) Fail("loop definition, count", s, ref);
            if (calref::RefSystemTimeToRtcSeconds(&st) != s) Fail("loop definition, record", s, st);
          }
        }
      }
    }
    g_daysDone.fetch_add(1, std::memory_order_relaxed);
  }
  g_checked.fetch_add(checked);
}

void CheckUncheckedFields() {
  static const WORD kMonths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 255, 65535};
  static const WORD kDays[] = {0, 1, 2, 28, 29, 30, 31, 32, 366, 65535};
  std::uint32_t yearSum = 0;  // the loop's sum of whole years from 1950 up to the year
  std::uint32_t x = 2463534242u;
  for (std::uint32_t year = 0; year <= 65535; ++year) {
    SYSTEMTIME st{};
    st.wYear = WORD(year), st.wMonth = 1, st.wDay = 1;
    if (year % 251 == 0 && calref::RefSystemTimeToRtcSeconds(&st) != yearSum) Fail("carried year sum", yearSum, st);
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
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
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
  std::printf("walk done in %.1f s, %llu counts\n", elapsed(), (unsigned long long)g_checked.load());
  if (g_checked.load() != 0x100000000ull) {
    std::printf("FAIL the walk did not cover every count once\n");
    g_failures.fetch_add(1);
  }
  CheckUncheckedFields();
  std::uint64_t failures = g_failures.load();
  std::printf("unchecked fields done; total %.1f s, %llu failure(s)\n", elapsed(), (unsigned long long)failures);
  return failures == 0 ? 0 : 1;
}
