// Systematic exploration: every schedule of one scenario up to a bound on preemptions, instead of
// a sample of seeds. A schedule is the list of choices at the points where more than one thread
// is runnable (sim/kernel/listed_schedule.h); a preemption is a choice that switches away from a
// thread that could have gone on. The search is depth first and bounds iteratively: every
// schedule with no preemption, then those with one, and so on up to the bound, each run from the
// start and judged by every invariant as a batch judges a seed. Sleep sets skip the orders that
// only swap steps touching nothing in common (schedule_search.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/explore/schedule_search.h"

namespace sim {

struct SystematicOptions {
  RunOptions base;                       // every run's options; each run takes its own schedule
  int preemptions = 2;                   // the bound K
  std::uint64_t max_schedules = 200000;  // stop after this many runs
  double max_seconds = 0;                // stop after this much wall time (0: no limit)
  bool reduce = true;                    // sleep sets
  int max_reported = 10;                 // failures printed in full
};

struct SystematicResult {
  std::vector<std::uint64_t> per_bound;  // schedules run with exactly k preemptions, k = 0..K
  std::uint64_t schedules = 0;
  std::uint64_t failures = 0;
  std::uint64_t first_failure = 0;  // schedules run up to the first failing one (0: none failed)
  int first_failure_bound = 0;      // that schedule's preemptions
  std::uint64_t most_points = 0;    // the most choice points one run passed
  bool exhausted = false;           // every schedule up to the bound was run
  int bound_reached = 0;            // the bound being searched when the search ended
  double seconds = 0;
  std::vector<std::string> failing;  // the failing schedules' texts, in the order found
  std::uint64_t points_seen = 0;     // choice points passed over every run
  std::uint64_t asleep = 0;          // alternatives skipped by the reduction: their thread slept
  std::uint64_t no_race = 0;         // likewise: their thread's next step raced with nothing
  std::uint64_t late = 0;            // alternatives queued when a later run showed their race
  std::string stop_reason;           // why the search stopped short, when it did
};

// Runs the search in this process and prints to `out` each failure (up to max_reported) with its
// replay line, then the totals: schedules per bound, whether the space was exhausted or where it
// stopped, and the rate.
SystematicResult ExploreSystematic(const Scenario& scenario, const SystematicOptions& options, std::ostream& out);

}  // namespace sim
