// Schedule exploration: runs one scenario over a range of seeds in parallel processes, checks
// the invariants of every run, and prints for each failure its seed and the command that
// replays it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/explore/shard.h"

namespace sim {

struct ExploreOptions {
  std::uint64_t first_seed = 1;
  std::uint64_t runs = 1000;
  int jobs = 2;
  // The options of every run (scenario file, knob, PCT, answers, fail rules, time limit, the
  // program's command line); each run takes its seed. Replay lines and the batch's identity in
  // its report are written from them.
  RunOptions base;
  int max_reported = 10;  // failures printed in full
  bool progress = true;
  // A world per seed on top of the scenario (the swarm), and for a failing seed the lines that
  // describe and replay it instead of the plain replay command.
  std::function<Scenario(const Scenario& base, RunOptions& options)> world;
  std::function<std::string(std::uint64_t seed)> world_report;
  Shard shard;              // the part of the seed range this process runs
  std::string report_json;  // where to write the machine-readable report ("": nowhere)
};

struct ExploreResult {
  std::uint64_t runs = 0;
  std::uint64_t failures = 0;
  double seconds = 0;
  std::map<std::string, std::uint64_t> outcomes;
  std::map<std::string, std::uint64_t> violations;  // by invariant
  std::vector<std::uint64_t> failing_seeds;
  Json report;                 // what --report-json writes
  bool report_written = true;  // false when the report file could not be written
};

// Runs the exploration (this shard of the seed range); prints progress to stderr and the report
// to stdout, and writes the machine-readable report when asked.
ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options);

// Prints an exploration report (of one run, a shard, or merged shards) as text: the failures
// shown in full, lowest seed first, each with its replay command, then the totals.
void PrintExploreReport(const Json& report, std::ostream& out);

// The length of a run in switch points, from one fixed-order run of `options` (PCT draws its
// change points over it); 0 when the run could not be made.
std::uint64_t LearnRunLength(const Scenario& scenario, RunOptions options);

}  // namespace sim
