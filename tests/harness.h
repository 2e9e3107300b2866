// Runs the program on a simulated handset in a child process (the program's globals start at
// zero in every run, as in a fresh process) and brings back what a user of the handset would
// see: the trace lines, the summary of the end state and the event log.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/kernel/eventlog.h"

namespace testing_support {

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
  sim::Json value;    // what the routine of RunRoutine returned

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

struct RunSpec {
  std::string scenario;              // TOML text; empty: the built-in handset
  std::vector<std::string> args;     // the program's arguments
  std::string cmdline;               // raw command line instead of args, when use_cmdline
  bool use_cmdline = false;
  std::uint64_t seed = 0;
  bool pct = false;
  std::vector<std::string> answers;
  std::vector<std::string> fail;
  std::uint64_t time_limit_ms = 0;   // 0: the scenario's
  bool keep_events = true;
  std::function<int()> entry;        // runs instead of the program (platform rule tests)
  // The invariants this run is meant to break. Every run is judged: a violation not named here
  // fails the calling test, and so does a named one that does not happen.
  std::vector<std::string> expect_violations;
  std::optional<sim::KernelMechanism> mechanism;  // how simulated threads are carried
};

RunResult Run(const RunSpec& spec);
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
