// Options of devsim's commands: what a single run, an exploration and a sweep read from the
// command line, and the checks that turn bad input into a message and status 2.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/handset.h"
#include "sim/explore/fault_sweep.h"

namespace devsim {

// Options shared by a single run, an exploration and a sweep, and those of a single run.
struct Args {
  std::string scenario;
  std::uint64_t seed = 0;
  std::string clock = "virtual";
  std::vector<std::string> answers;
  std::vector<std::string> fail;
  std::string events_file, trace_file, summary_json, report_file;
  std::string chrome_trace_file, timeline_file;
  std::string timeline_scale = "compressed";
  bool calls = false;
  std::optional<std::uint64_t> time_limit_ms;
  std::optional<std::string> cmdline;
  std::string knob;
  bool quiet = false;
  bool pct = false;
  int pct_depth = 3;
  std::vector<std::string> program_args;
};

// Largest values the command line accepts; beyond them a run would overflow or never start.
constexpr std::uint64_t kMaxTimeLimitMs = std::uint64_t{1} << 40;  // about 35 years
constexpr int kMaxPctDepth = 100;
constexpr int kMaxJobs = 512;

// Adds the options that a single run, an exploration and a sweep share.
void AddCommonOptions(CLI::App& app, Args& a);
// Adds the options of a single run (outputs, clock, seed, knob) to the main command.
void AddSingleRunOptions(CLI::App& app, Args& a);

// A validator for a whole number written in digits only (no sign) between lo and hi.
CLI::Validator WholeNumber(std::uint64_t lo, std::uint64_t hi);

// The scenario the options name, with the knob laid over it; throws sim::ScenarioError.
sim::Scenario LoadScenario(const Args& a);
// The program's arguments: those given, or the scenario's [expect] args when none are given.
std::vector<std::string> ProgramArgs(const Args& a, const sim::Scenario& scenario);
// When ARGS are given and differ from the scenario's [expect] args, the note that says its
// expectations are not checked ("the scenario's [expect] is for ARGS 1"); else empty.
std::string ForeignExpectations(const Args& a, const sim::Scenario& scenario);
// Run options from the shared options (answers, fail rules, time limit, command line).
sim::RunOptions BaseOptions(const Args& a, const sim::Scenario& scenario);

// The knob named `name` (as listed, or with dashes for blanks), or null.
const sim::DeviceKnob* FindKnob(const std::string& name);
// A knob's name as it is typed without quotes: lower case, dashes for blanks and punctuation.
std::string KnobSlug(const std::string& name);

// Rules that break a platform guarantee rather than fail a call (CreateMutexW that loses
// ERROR_ALREADY_EXISTS), for checking that the invariants notice.
const std::vector<std::string>& PlatformGuaranteeBreakers();
// Empty when every --fail rule names an operation that has a fault site, else the message.
std::string CheckFailRules(const std::vector<std::string>& rules);
// The candidate closest to `word` (edit distance), for "did you mean" messages.
std::string Closest(const std::string& word, const std::vector<std::string>& candidates);

// `text` quoted for a POSIX shell so that it reads back as the same bytes.
std::string ShellQuote(const std::string& text);

}  // namespace devsim
