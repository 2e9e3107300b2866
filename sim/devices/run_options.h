// What shapes one run on top of its scenario, and the devsim command line that says it. The
// options are one table: the runner declares them from it (runner/options.h, AddRunOption) and
// RunWords writes them from it. Every replay line, a batch's identity in its shard reports and the
// tests' harness build their command lines here; the runner reads them back (ParseRunWords).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
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

// Largest values the command line accepts; beyond them a run would overflow or never start.
inline constexpr std::uint64_t kMaxTimeLimitMs = std::uint64_t{1} << 40;  // about 35 years
inline constexpr int kMaxPctDepth = 100;

// The member of RunOptions that one option is read into and written from.
using RunField =
    std::variant<bool RunOptions::*, int RunOptions::*, std::uint64_t RunOptions::*, std::string RunOptions::*,
                 std::optional<std::string> RunOptions::*, std::vector<std::string> RunOptions::*>;

// Checks one word given to an option: the message for a word it refuses, else empty.
using WordCheck = std::function<std::string(const std::string&)>;

// One option that shapes a run. The runner declares it on its commands from this row (the field
// says how the words are read: a bool is a flag, a list is repeatable) and RunWords writes it back
// from the same row, so that an option is added here once, with its field.
struct RunOptionRow {
  const char* name;  // as typed ("--seed"); "ARGS" for the program's words after "--"
  const char* help;
  RunField field;
  int place;               // order on a written command line; ARGS, after "--", comes last
  bool free_text = false;  // free text is always quoted on a line (paths, rules, the program's words)
  bool batch = true;       // false: a single run's alone (a batch takes --seeds instead of --seed)
  // When the option is written; null: when its field is set (true, not zero, not empty).
  bool (*written)(const RunOptions&) = nullptr;
  WordCheck check = nullptr;            // null: every word is taken
  const char* check_name = "";          // what the help shows of the check ("NUMBER", "FILE")
  const char* shown_default = nullptr;  // the default the help shows, also the field's default
};

// Every option that shapes a run, in the order devsim --help lists them.
const std::vector<RunOptionRow>& RunOptionTable();
// The row of the option typed as `name` ("--scenario"), or null.
const RunOptionRow* FindRunOption(const std::string& name);

// A check that takes a whole number in digits only (no sign) from lo to hi.
WordCheck WholeNumberCheck(std::uint64_t lo, std::uint64_t hi);
// Why `path` names no file that could be read (missing, or a folder); empty when it does.
std::string ExistingFileProblem(const std::string& path);
// Why `rule` is not a fault rule's form (OP, OP:DETAIL, OP@N or OP@N+), else empty. It does not
// ask whether OP can be failed.
std::string FailRuleProblem(const std::string& rule);

// The words after "devsim" that make a run with `o`: every option of the table that is set, in
// its place (--scenario, --knob, --seed, --pct and --pct-depth, --answer, --fail, --time-limit,
// then --cmdline TEXT or -- ARGS). The clock and the host's choices are left out: they pace or
// carry a run and do not change it.
// Without the seed (`with_seed` false leaves out the rows that are not a batch's) they are a
// batch's options (explore, the batch's identity in its reports).
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
