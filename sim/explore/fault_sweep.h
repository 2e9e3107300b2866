// The fault sweep: every fault knob of the handset on its own, and the N-th call of every
// platform operation that can fail, in each mode; every run checked by the invariants.
#pragma once

#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/devices/part_declarations.h"
#include "sim/explore/shard.h"

namespace sim {

// The operations it fails and the knobs it turns on are those the handset's parts declare
// (sim/devices/part_declarations.h).

struct SweepOptions {
  std::string scenario_file;
  std::vector<std::string> modes = {"1", "2", "3"};
  int jobs = 2;
  int max_calls_per_site = 40;  // the N-th call is failed for N up to this
  int max_reported = 20;
  bool progress = true;
  Shard shard;              // the part of the planned runs this process makes
  std::string report_json;  // where to write the machine-readable report ("": nowhere)
};

struct SweepResult {
  std::size_t runs = 0;
  std::size_t failures = 0;
  std::size_t sites_total = 0;
  std::size_t sites_covered = 0;
  std::vector<std::string> sites_not_covered;
  std::size_t knobs_total = 0;
  bool report_written = true;  // false when the report file could not be written
};

// Runs the sweep and prints its report to stdout.
SweepResult Sweep(const Scenario& scenario, const SweepOptions& options);

// Prints a sweep report (of one run, a shard, or merged shards) as text.
void PrintSweepReport(const Json& report, std::ostream& out);

}  // namespace sim
