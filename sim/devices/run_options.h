// What shapes one run on top of its scenario, and the devsim command line that says it. Every
// replay line, a batch's identity in its shard reports and the tests' harness build their
// command lines here; the runner reads them back (runner/options.h, ParseRunWords).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/kernel.h"

namespace sim {

// The options of one run. The schedule (seed, PCT, clock, carrier) is the kernel's whole; the
// time limit replaces the scenario's. The scenario file and the knob name what the runner loads;
// a Handset takes the loaded scenario and reads neither.
struct RunOptions : Schedule {
  std::string scenario_file;           // "" : the built-in handset
  std::string knob;                    // a device knob laid over the scenario ("": none)
  std::uint64_t time_limit_ms = 0;     // 0: the scenario's
  std::vector<std::string> answers;    // replace the scenario's answers to boxes
  std::vector<std::string> fail;       // fault rules after the scenario's
  std::vector<std::string> args;       // the program's arguments
  std::optional<std::string> cmdline;  // the program's raw command line, instead of args
  // Chosen by whoever hosts the run; never written on a command line.
  bool interactive = false;  // a person answers boxes at the terminal
  // Runs this on the main thread instead of the program's entry point (tests of the platform's
  // own rules); its result is the exit code.
  std::function<int()> entry;

  // The program's command line: --cmdline as given, else the arguments joined.
  std::u16string CommandLine() const;
};

// The words after "devsim" that make a run with `o`: --scenario, --knob, --seed, --pct and
// --pct-depth, --answer, --fail, --time-limit, then --cmdline TEXT or -- ARGS. The clock and the
// host's choices are left out: they pace or carry a run and do not change it.
// Without the seed they are a batch's options (explore, the batch's identity in its reports).
std::vector<std::string> RunWords(const RunOptions& o, bool with_seed = true);
// The same words as text for a POSIX shell: free text (paths, rules, the program's words) is
// always quoted, a name or number only where it needs to be.
std::string RunLine(const RunOptions& o, bool with_seed = true);
// "devsim " and the run's line: the command that replays the run.
std::string ReplayLine(const RunOptions& o);

// `text` quoted for a POSIX shell so that it reads back as the same bytes.
std::string ShellQuote(const std::string& text);
// Arguments joined into one command line as the program splits it: a word that is empty or
// holds a blank is put in double quotes (its own double quotes dropped).
std::u16string JoinCommandLine(const std::vector<std::string>& args);

}  // namespace sim
