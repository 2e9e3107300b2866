// Systematic exploration: every schedule of one scenario up to a bound on preemptions, instead of
// a sample of seeds. A schedule is the list of choices at the points where more than one thread
// is runnable (sim/kernel/listed_schedule.h); a preemption is a choice that switches away from a
// thread that could have gone on. The search is depth first and bounds iteratively: every
// schedule with no preemption, then those with one, and so on up to the bound, each run from the
// start and judged by every invariant as a batch judges a seed. The reduction skips the orders
// that only swap steps touching nothing in common (schedule_search.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/explore/schedule_search.h"
#include "sim/explore/shard.h"

namespace sim {

struct SystematicOptions {
  RunOptions base;                       // every run's options; each run takes its own schedule
  int preemptions = 2;                   // the bound K
  std::uint64_t max_schedules = 200000;  // stop after this many runs
  double max_seconds = 0;                // stop after this much wall time (0: no limit)
  bool reduce = true;                    // the reduction (schedule_search.h)
  int max_reported = 10;                 // failures printed in full
  Shard shard;                           // the part of the search this process runs
  std::string report_json;               // where to write the machine-readable report ("": nowhere)
};

// The search's totals (schedule_search.h) and the failing schedules' texts, in the order found.
struct SystematicResult : SearchTotals {
  std::vector<std::string> failing;
  Json report;                 // what --report-json writes (kind "systematic")
  bool report_written = true;  // false when the report file could not be written
};

// Runs the search (this shard's part of it) in this process and prints to `out` each failure (up
// to max_reported) with its replay line as it is found, then the totals: schedules per bound,
// whether the space was exhausted or where it stopped, and the rate. Writes the machine-readable
// report when asked.
SystematicResult ExploreSystematic(const Scenario& scenario, const SystematicOptions& options, std::ostream& out);

// Prints a systematic report (of one search, a shard, or merged shards) as the search prints it:
// the failures shown in full, then the totals.
void PrintSystematicReport(const Json& report, std::ostream& out);

// Fills `merged` (a copy of the first report, its shards already checked and listed) with the
// totals of the shard `reports` of one search: counts added, failing schedules joined (each once,
// fewest preemptions first), "exhausted" only when every shard exhausted its part and none is
// missing.
void MergeSystematic(Json& merged, const std::vector<Json>& reports);
// The counters of a systematic report that shards add up when merged.
extern const std::vector<const char*> kSystematicSums;

}  // namespace sim
