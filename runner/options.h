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

// Options shared by a single run, an exploration and a sweep, and those of a single run. What
// shapes the run is `run`; the rest says what to show of it and where to write it.
struct Args {
  sim::RunOptions run;
  std::string clock = "virtual";
  std::string events_file, trace_file, summary_json, report_file;
  std::string chrome_trace_file, timeline_file;
  std::string timeline_scale = "compressed";
  bool calls = false;
  bool quiet = false;
};

// The most parallel processes a batch takes.
constexpr int kMaxJobs = 512;

// Declares the run option `row` on `app`, read into `run`: a bool field is a flag, a list is
// repeatable (one word each time), "ARGS" takes the words after the options.
CLI::Option* AddRunOption(CLI::App& app, const sim::RunOptionRow& row, sim::RunOptions& run);
// Adds the run options that a single run and an exploration share (the table's batch rows).
void AddCommonOptions(CLI::App& app, Args& a);
// Adds the options of a single run (the table's other rows, outputs, clock) to the main command.
void AddSingleRunOptions(CLI::App& app, Args& a);

// A validator for a whole number written in digits only (no sign) between lo and hi.
CLI::Validator WholeNumber(std::uint64_t lo, std::uint64_t hi);
// A validator that refuses an empty file name.
CLI::Validator FileName();

// Options that parse one by one but not together (--cmdline with ARGS, --pct-depth without
// --pct, --timeline-scale without --timeline, a scenario file given as ARGS): the message, or
// empty. `app` is the command that parsed `a`.
std::string Misuse(const CLI::App& app, const Args& a);
// A note when the program's command line names no mode or an unknown one (the program then does
// what it does without one; the runner says so); empty for modes 1, 2 and 3.
std::string ModeNote(const sim::RunOptions& run);

// Reads the words after "devsim" (as RunWords writes them) back into run options, checked as
// devsim checks them; returns the message for words devsim would refuse, else empty.
std::string ParseRunWords(const std::vector<std::string>& words, sim::RunOptions& out);

// The scenario the options name, with the knob laid over it; throws sim::ScenarioError.
sim::Scenario LoadScenario(const sim::RunOptions& run);
// The program's arguments: those given, or the scenario's [expect] args when neither ARGS nor
// --cmdline gives the command line.
std::vector<std::string> ProgramArgs(const sim::RunOptions& run, const sim::Scenario& scenario);
// When the program's command line (from ARGS or --cmdline) differs from the scenario's [expect]
// args, the note that says its expectations are not checked ("the scenario's [expect] is for
// ARGS 1"); else empty.
std::string ForeignExpectations(const sim::RunOptions& run, const sim::Scenario& scenario);
// The options a run is made with: the arguments resolved against the scenario, the knob by the
// name it is listed under.
sim::RunOptions ResolvedOptions(const sim::RunOptions& run, const sim::Scenario& scenario);

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

}  // namespace devsim
