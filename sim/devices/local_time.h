// The handset's local time: the scenario's start date and time plus the virtual clock, and the
// civil-date arithmetic the simulator needs to show instants as dates.
#pragma once

#include <cstdint>
#include <string>

#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct CivilTime {
  int year = 1950;
  unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
  unsigned day_of_week = 0;  // 0 = Sunday
};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian), and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
CivilTime CivilFromDays(std::int64_t days);
inline constexpr std::int64_t kEpoch1950 = -7305;  // 1950-01-01 in days from 1970-01-01
// The civil time `seconds` after the day `epoch_days`.
CivilTime CivilFromEpochSeconds(std::int64_t epoch_days, std::uint64_t seconds);
// Parses "YYYY-MM-DD hh:mm:ss" (seconds optional); false on a malformed or impossible date.
bool ParseCivil(const std::string& text, CivilTime& out);

class LocalClock {
 public:
  // Reads [clock] start ("2008-06-15 06:58:00") and uptime_ms (the tick count at the start).
  void Configure(const Section& root);
  // Local time `now` microseconds into the run.
  CivilTime CivilAt(Micros now) const;
  std::uint32_t TickOffsetMs() const { return uptime_ms_; }
  std::string StartText() const;

 private:
  std::int64_t start_days_ = 0;  // from 1970-01-01
  std::uint64_t start_ms_of_day_ = 0;
  std::uint32_t uptime_ms_ = 0;
};

}  // namespace sim
