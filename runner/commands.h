// devsim's commands: a single run, an exploration, a sweep, the list of fault sites, and the
// comparison of two runs. Each returns the process's exit status.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "runner/options.h"

namespace devsim {

// Runs the program once and prints its trace (or its calls) and summary.
int RunOnce(const Args& a);

// Where a batch's shard and machine-readable report are chosen (explore and sweep).
struct ShardArgs {
  std::string shard = "1/1";
  std::string report_json;
};

struct ExploreArgs {
  Args common;
  ShardArgs shard;
  std::string seeds = "1..1000";
  int jobs = 1;
  int max_reported = 10;
  bool swarm = false;       // each seed draws its own world on top of the scenario
  std::string dump_file;    // with swarm: the first seed's world written as a scenario
  bool systematic = false;  // every schedule up to a bound of preemptions instead of seeds
  int preemptions = 2;
  std::uint64_t max_schedules = 200000;
  double max_seconds = 0;     // with systematic: a wall-time limit (0: none)
  bool no_reduction = false;  // with systematic: run every order, sleep sets off
};
// Adds the explore subcommand with its options.
CLI::App* AddExploreCommand(CLI::App& app, ExploreArgs& e);
int RunExplore(const ExploreArgs& e, const CLI::App& explore);

struct SweepArgs {
  Args common;
  ShardArgs shard;
  std::string modes = "1,2,3";
  int jobs = 1;
  int max_reported = 20;
  bool list_knobs = false;
};
CLI::App* AddSweepCommand(CLI::App& app, SweepArgs& s);
int RunSweep(const SweepArgs& s);

struct MergeArgs {
  std::vector<std::string> files;
  std::string report_json;
};
// devsim merge: the shard reports of one batch as the report of one run over all of it.
CLI::App* AddMergeCommand(CLI::App& app, MergeArgs& m);
int RunMerge(const MergeArgs& m);

// Prints every operation that can be failed, the details it matched and how often each mode
// reached it on the scenario of `a`.
int ListFaultSites(const Args& a);

struct DiffArgs {
  std::vector<std::string> runs;  // two event logs (JSON Lines), or two quoted option sets
  int context = 5;
};
CLI::App* AddDiffCommand(CLI::App& app, DiffArgs& d);
int RunDiff(const DiffArgs& d);

// First..last seeds of an exploration. ParseSeeds returns an error text, or empty.
struct SeedRange {
  std::uint64_t first = 1;
  std::uint64_t count = 0;
};
constexpr std::uint64_t kMaxSeedsAtOnce = 1000000;
std::string ParseSeeds(const std::string& text, SeedRange& out);

// Runs `work` in a forked child process and returns what it returned (the parent stays free of
// the handset's threads); "crash: ..." when the child died.
std::string InChild(const std::function<std::string()>& work);
// Builds a handset from the scenario in a child; returns the scenario's error text, or empty.
std::string ScenarioProblem(const sim::Scenario& scenario, const sim::RunOptions& options);

}  // namespace devsim
