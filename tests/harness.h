// Runs the program on a simulated handset in a child process (the program's globals start at
// zero in every run, as in a fresh process) and brings back what a user of the handset would
// see: the trace lines, the summary of the end state and the event log.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/kernel/eventlog.h"

namespace testing_support {

// How many seeds a loop over thread orders runs: all of `seeds` in the default build, a tenth
// (at least 4) under a sanitizer, where each run costs tens of times more. The sanitizers look
// for memory and thread errors, which a few orders show; the many orders are the default build's.
constexpr std::uint64_t SeedsToRun(std::uint64_t seeds) {
#ifdef HS_SANITIZED
  return std::max(seeds / 10, std::min<std::uint64_t>(seeds, 4));
#else
  return seeds;
#endif
}

struct Line {
  double at_ms;
  std::string thread;
  std::string text;
};

struct RunResult {
  // The names of the invariants the run broke, in the order found.
  std::vector<std::string> Violations() const;

  std::string error;  // scenario error or crash; empty when the run happened
  std::string outcome;
  int exit_status = 0;
  sim::Json summary;
  std::vector<Line> lines;
  std::vector<sim::Json> events;
  std::string raw_trace;
  sim::Json value;  // what the routine of RunRoutine returned

  // Index of the first line at or after `from` that contains `text`, or -1.
  int Find(const std::string& text, int from = 0) const;
  bool Has(const std::string& text) const { return Find(text) >= 0; }
  int Count(const std::string& text) const;
  // True when the lines containing each of `texts` appear in this order.
  bool InOrder(const std::vector<std::string>& texts) const;
  // The platform calls named `op`, in order.
  std::vector<sim::Json> Calls(const std::string& op) const;
  // The handset's own events ("part.what"), in order.
  std::vector<sim::Json> DeviceEvents(const std::string& op) const;
  // Every trace line as "thread| text", for failure messages.
  std::string Dump() const;
};

// A run as a test asks for it: the run's options (seed, PCT, answers, fail rules, time limit, the
// program's arguments or --cmdline, ...) as devsim takes them, over a scenario given as text.
struct RunSpec : sim::RunOptions {
  std::string scenario;  // TOML text; empty: the built-in handset
  bool keep_events = true;
  // The invariants this run is meant to break. Every run is judged: a violation not named here
  // fails the calling test, and so does a named one that does not happen.
  std::vector<std::string> expect_violations;
};

RunResult Run(const RunSpec& spec);
// Runs devsim's own command line for `spec` (RunWords) and reads back its --report.
RunResult RunDevsim(const RunSpec& spec);

// What devsim printed and how it ended.
struct DevsimOutput {
  int status = -1;  // the exit status; -1 when devsim did not exit
  std::string out;  // what it printed on stdout (and stderr with it, when merged)
  std::string err;  // what it printed on stderr, when not merged
};
// Runs devsim with `args`, words as a POSIX shell reads them (so a test can write a printed replay
// line's options as they are). With `merge`, stderr is in `out` where a terminal would show it.
DevsimOutput DevsimCommand(const std::string& args, bool merge = false);
// The same as Run, under a name that gtest's Test::Run does not hide inside a TEST body.
inline RunResult RunProgram(const RunSpec& spec) { return Run(spec); }
// Runs every spec, one after another, in a single child process, as the explorer's batches do:
// each handset is torn down after its run and the next is built in the same process.
std::vector<RunResult> RunInOneProcess(const std::vector<RunSpec>& specs);
// Runs `body` instead of the program's entry point, on the main thread of a fresh handset built
// from `spec.scenario`, in a child process: for calling one of the program's routines directly.
// What `body` returns comes back in RunResult::value.
RunResult RunRoutine(const RunSpec& spec, std::function<sim::Json()> body);
// Shorthand: the built-in handset overridden by `overrides` (TOML), with these arguments.
RunResult RunBuiltin(const std::string& overrides, std::vector<std::string> args,
                     std::vector<std::string> answers = {});

}  // namespace testing_support
