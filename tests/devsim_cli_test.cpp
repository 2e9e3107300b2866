// devsim as a person uses it: every bad input is a message and status 2, the exit status says
// how the run ended, the replay line replays the run, and the summary says who answered a box.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "runner/options.h"
#include "sim/devices/run_options.h"
#include "tests/harness.h"

namespace {

struct Result {
  int status = -1;  // exit status; -1 when devsim died of a signal (a crash, or killed as hung)
  std::string out, err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh directory under /tmp, removed with the object.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/hs_cli_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string File(const std::string& name, const std::string& text = "") const {
    if (!text.empty()) std::ofstream(path + "/" + name, std::ios::binary) << text;
    return path + "/" + name;
  }
};

// Runs devsim with `args`, each word as it is; stdout goes to `stdout_path` when one is given.
Result Devsim(const std::vector<std::string>& args, const std::string& stdout_path = "") {
  std::string line;
  for (const auto& a : args) line += " " + sim::ShellQuote(a);
  if (!stdout_path.empty()) line += " >" + sim::ShellQuote(stdout_path);
  const testing_support::DevsimOutput r = testing_support::DevsimCommand(line);
  return Result{r.status, r.out, r.err};
}

// The same through the shell, for replay lines that carry their own quoting.
Result Shell(const std::string& command) {
  TempDir dir;
  const std::string line = command + " </dev/null >" + dir.File("out") + " 2>" + dir.File("err");
  const int rc = std::system(("timeout 60 sh -c '" + std::regex_replace(line, std::regex("'"), "'\\''") + "'").c_str());
  Result r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = ReadFile(dir.File("out"));
  r.err = ReadFile(dir.File("err"));
  return r;
}

std::string Scenario(const char* name) { return std::string(HS_SOURCE_DIR) + "/scenarios/" + name; }
bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// The summary of a run's output: from "outcome:" up to the replay line.
std::string SummaryOf(const std::string& out) {
  const auto from = out.find("outcome: ");
  const auto to = out.find("replay: ");
  return from == std::string::npos || to == std::string::npos ? "" : out.substr(from, to - from);
}

std::string ReplayOf(const std::string& out) {
  std::smatch m;
  return std::regex_search(out, m, std::regex("replay: (devsim [^\n]*)")) ? m[1].str() : "";
}

// Bad input on devsim's command line and the words its message must hold.
struct RefusedCase {
  std::vector<std::string> args;
  std::string message;
};

// Each case is refused with status 2 and its message, before any run begins.
void ExpectRefused(const std::vector<RefusedCase>& cases) {
  for (const RefusedCase& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const Result r = Devsim(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    EXPECT_FALSE(Has(r.out, "outcome")) << "the run went ahead: " << r.out;
  }
}

}  // namespace

TEST(DevsimInput, EveryBadInputIsAMessageAndStatusTwoAtOnce) {
  TempDir dir;
  const std::string bad_scenario = dir.File("bad.toml", "base = \"builtin\"\n[radio]\nconfirm_jiter_us = 5\n");
  const std::vector<RefusedCase> cases = {
      {{"explore", "--seeds", "10..1", "--", "1"}, "below the first"},
      {{"explore", "--seeds", "3..2", "--", "1"}, "below the first"},
      {{"explore", "--seeds", "1..-1", "--", "1"}, "FIRST..LAST"},
      {{"explore", "--seeds", "1..18446744073709551615", "--", "1"}, "at most"},
      {{"explore", "--seeds", "1..100000000", "--", "1"}, "at most"},
      {{"explore", "--seeds", "1..2junk", "--", "1"}, "FIRST..LAST"},
      {{"explore", "--seeds", "1-500", "--", "1"}, "FIRST..LAST"},
      {{"explore", "--jobs", "0", "--seeds", "1..2", "--", "1"}, "--jobs"},
      {{"explore", "--scenario", bad_scenario, "--seeds", "1..50", "--", "1"},
       "bad.toml:3: key 'radio.confirm_jiter_us'"},
      {{"sweep", "--modes", "9"}, "not a mode"},
      {{"sweep", "--scenario", bad_scenario}, "bad.toml:3"},
      {{"--scenario", dir.File("missing.toml"), "--", "1"}, "File does not exist: " + dir.File("missing.toml")},
      {{"sweep", "--scenario", dir.path}, "File is actually a directory: " + dir.path},
      {{"--pct", "--pct-depth", "2147483647", "--", "1"}, "--pct-depth"},
      {{"--time-limit", "9223372036854775808", "--", "1"}, "--time-limit"},
      {{"--time-limit", "-1", "--", "1"}, "--time-limit"},
      {{"--seed", "-1", "--", "1"}, "--seed"},
      {{"--fail", "NoSuchOp", "--", "1"}, "'NoSuchOp' is not an operation that can be failed"},
      {{"--fail", "createmutexw:X", "--", "1"}, "did you mean CreateMutexW"},
      {{"--fail", "CloseHandle", "--", "1"}, "not an operation that can be failed"},
      {{"--fail", "RegOpenKeyEx@1", "--", "1"}, "did you mean RegOpenKeyExW"},
      {{"--knob", "radio never answer", "--", "1"}, "did you mean radio-never-confirms"},
      {{"--events", "/nonexistent/dir/e.jsonl", "--", "1"}, "cannot write /nonexistent/dir/e.jsonl"},
      {{"--summary-json", "/nonexistent/s.json", "--", "1"}, "cannot write"},
      {{"--trace-file", "/nonexistent/t.txt", "--", "1"}, "cannot write"},
      {{"--report", "/nonexistent/r.json", "--", "1"}, "cannot write"},
      // The run itself would break an invariant (5); the output is known to be unwritable first.
      {{"--fail", "GpioSetValue", "--report", "/nonexistent/r.json", "--", "3"}, "cannot write"},
      {{"diff", "/nonexistent/a.jsonl", "/nonexistent/b.jsonl"}, "/nonexistent/a.jsonl: cannot read the event log"},
      {{"diff", "--", "--seed -1 -- 1", "-- 1"}, "these options do not run"},
  };
  ExpectRefused(cases);
}

TEST(DevsimInput, OutputThatCannotBeWrittenIsNeverSuccess) {
  const Result r = Devsim({"--", "1"}, "/dev/full");
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(Has(r.err, "cannot write")) << r.err;
}

TEST(DevsimInput, ScenarioTextReachesTheTerminalWithoutControlCharacters) {
  TempDir dir;
  const std::string scenario =
      dir.File("esc.toml",
               "base = \"builtin\"\n[[process]]\nname = \"\\u001b]0;owned\\u0007\\u001b[2J\\u009b31m\"\n"
               "[[process.window]]\ntitle = \"\\u001b[31mred\"\n");
  const Result r = Devsim({"--scenario", scenario, "--calls", "--", "1"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_TRUE(Has(r.out, "\\x1B]0;owned\\x07")) << r.out;
  for (char c : r.out) EXPECT_FALSE(c == '\x1b' || c == '\x07' || c == '\0') << "raw control character in the output";
  EXPECT_FALSE(Has(r.out, "\xc2\x9b")) << "raw C1 control in the output";
  // Error messages quote the scenario too.
  const Result bad = Devsim({"--scenario", dir.File("bad.toml", "[radio]\nconfirm = \"\\u001b[2J\"\n"), "--", "1"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(Has(bad.err, "'\\x1B[2J' is not one of")) << bad.err;
  EXPECT_FALSE(Has(bad.err, "\x1b")) << bad.err;
}

TEST(DevsimStatus, TheExitStatusSaysHowTheRunEndedAndWhetherItWasExpected) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"--", "1"}, 0, "outcome: suspended"},
      // A run that does not end keeps the status that says how (4: time limit); the run-ends
      // invariant names it in the summary.
      {{"--fail", "GpioSetValue", "--time-limit", "120000", "--", "3"}, 4, "INVARIANT VIOLATED: run-ends"},
      // Any other broken invariant is status 5.
      {{"--scenario", Scenario("race_answer_timeout.toml"), "--seed", "1", "--fail",
        "CreateMutexW.already_exists_lost:NormalShutdown", "--", "3"},
       5,
       "INVARIANT VIOLATED: single-sequence"},
      // The scenario expects the time limit: that is its outcome, not a failure.
      {{"--scenario", Scenario("no_pmu_line.toml"), "--", "1"}, 0, "expected outcome: met"},
      {{"--scenario", dir.File("off.toml", "base = \"builtin\"\n[expect]\noutcome = [\"off\"]\n"), "--", "1"},
       5,
       "NOT MET: outcome suspended, expected off"},
      // An expectation not met is status 5 also when the run reached the time limit.
      {{"-q", "--scenario", Scenario("builtin_mode1.toml"), "--time-limit", "100"}, 5, "NOT MET: outcome time-limit"},
      {{"--scenario", dir.File("ertc.toml", "base = \"builtin\"\n[expect]\nertc = \"2001-01-01 00:00:00\"\n"), "--",
        "1"},
       5,
       "NOT MET: ERTC wake-up 0x"},
      // Without ARGS, a scenario written for one mode runs that mode.
      {{"--scenario",
        dir.File("args.toml", "base = \"builtin\"\n[expect]\nargs = [\"2\"]\n[user]\nanswers = [\"no@100\"]\n")},
       0,
       "answer no by user"},
      {{"--scenario", Scenario("builtin_mode1.toml"), "--", "2"}, 0, "not checked"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Result r = Devsim(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, c.says)) << r.out;
  }
}

TEST(DevsimStatus, ExploringAScenarioWhoseExpectationIsNotMetFindsEverySeedFailing) {
  TempDir dir;
  const std::string scenario =
      dir.File("off.toml", "base = \"builtin\"\n[expect]\nargs = [\"1\"]\noutcome = [\"off\"]\n");
  const Result r = Devsim({"explore", "--scenario", scenario, "--seeds", "1..4", "--jobs", "1"});
  EXPECT_EQ(r.status, 5) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "seed 1:")) << r.out;
  EXPECT_TRUE(Has(r.out, "expectation not met: outcome suspended, expected off")) << r.out;
  // Run with other arguments than it is written for, its expectations do not apply.
  const Result other =
      Devsim({"explore", "--scenario", Scenario("builtin_mode1.toml"), "--seeds", "1..3", "--jobs", "1", "--", "2"});
  EXPECT_EQ(other.status, 0) << other.out << other.err;
  EXPECT_TRUE(Has(other.err, "[expect] is for ARGS 1; not checked")) << other.err;
  // The sweep changes endings on purpose: a scenario's expected ending and ERTC do not fail it.
  // (Its few hundred runs take minutes under the sanitizers: the optimised build checks it.)
#ifdef HS_SANITIZED
  return;
#endif
  const Result sweep = Devsim({"sweep", "--modes", "1", "--scenario", Scenario("alarm_before_autoboot.toml")});
  EXPECT_EQ(sweep.status, 0) << sweep.out;
  EXPECT_TRUE(Has(sweep.out, "; 0 failing")) << sweep.out;
}

TEST(DevsimSummary, SaysWhoAnsweredEachBoxAndWhichScriptedAnswersNothingUsed) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> says;
  };
  const std::vector<Case> cases = {
      {{"--", "3"}, {"answer yes by AutoShutdownThread (SendMessageW) at 13"}},
      {{"--answer", "cancel@200", "--", "2"}, {"answer cancel by user at"}},
      {{"--answer", "no@100", "--answer", "yes@100", "--", "2"},
       {"answer no by user", "warning: the scripted answer 'yes@100' was not used: no box 2 was shown"}},
      {{"--answer", "no@60000", "--", "3"},
       {"warning: the scripted answer 'no@60000' was not used: box 1 was answered yes by AutoShutdownThread"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    const Result r = Devsim(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& s : c.says) EXPECT_TRUE(Has(r.out, s)) << s << "\n" << r.out;
    EXPECT_FALSE(Has(r.out, "answer 2")) << r.out;
  }
}

TEST(DevsimReplay, TheReplayLineOfEveryKindOfRunGivesTheSameSummary) {
  const std::vector<std::vector<std::string>> runs = {
      {"--seed", "7", "--", "3"},
      {"--seed", "3", "--pct", "--", "3"},
      {"--knob", "radio-never-confirms", "--", "1"},
      {"--knob", "no animation, no sound file", "--", "1"},
      {"--fail", "RegOpenKeyExW@2", "--fail", "CreateEventW:ShutdownEvent", "--", "1"},
      {"--answer", "no@700", "--", "2"},
      {"--scenario", Scenario("race_answer_timeout.toml"), "--seed", "11", "--", "3"},
      {"--time-limit", "5000", "--", "3"},
      {"--cmdline", "1 it's \"quoted\"", "--seed", "2"},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args.front() + " " + args[1]);
    const Result first = Devsim(args);
    const std::string replay = ReplayOf(first.out);
    ASSERT_FALSE(replay.empty()) << first.out << first.err;
    const Result again = Shell(std::string(HS_DEVSIM) + replay.substr(6));
    EXPECT_EQ(again.status, first.status) << replay << "\n" << again.err;
    EXPECT_EQ(SummaryOf(again.out), SummaryOf(first.out)) << replay;
    EXPECT_FALSE(SummaryOf(first.out).empty()) << first.out;
  }
}

TEST(DevsimFaultSites, ListedWithTheModesThatReachThem) {
  const Result r = Devsim({"--list-fault-sites"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Mode 1 opens the radio's registry keys; the list names the operation and its details.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("\nRegOpenKeyExW +(\\d+) / (\\d+) / (\\d+) +(\\S.*)\n"))) << r.out;
  EXPECT_GT(std::stoi(m[1]), 0);
  EXPECT_FALSE(m[4].str().empty());
  EXPECT_TRUE(Has(r.out, "\nMessageBoxW ")) << r.out;
}

TEST(DevsimCalls, OneLinePerPlatformCallWithTimeThreadRoutineAndResult) {
  const Result r = Devsim({"--calls", "--fail", "RegOpenKeyExW@1", "--", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      std::regex_search(r.out, std::regex("\n +[0-9.]+ AutoShutdownThread +\\| \\w+: SendMessageW\\(window=\"0x")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("MessageBoxW\\([^\n]*\\) = \"IDYES\" \\[blocked [0-9.]+ ms\\]")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("RegOpenKeyExW\\([^\n]*\\) = 5  <- INJECTED FAULT"))) << r.out;
}

TEST(DevsimDiff, ShowsWhereTwoRunsPart) {
  TempDir dir;
  const std::string a = dir.File("a.jsonl"), b = dir.File("b.jsonl");
  ASSERT_EQ(Devsim({"-q", "--events", a, "--", "1"}).status, 0);
  ASSERT_EQ(Devsim({"-q", "--events", b, "--fail", "RegOpenKeyExW@3", "--", "1"}).status, 0);
  const Result same = Devsim({"diff", a, a});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_TRUE(Has(same.out, "the runs make the same")) << same.out;
  const Result parted = Devsim({"diff", a, b});
  EXPECT_EQ(parted.status, 1) << parted.err;
  EXPECT_TRUE(std::regex_search(parted.out,
                                std::regex("\nA [^\n]*RegOpenKeyExW[^\n]*\nB [^\n]*RegOpenKeyExW[^\n]*INJECTED FAULT")))
      << parted.out;
  EXPECT_TRUE(std::regex_search(parted.out, std::regex("differ in: [^\n]*result"))) << parted.out;
  // Two option sets are run and compared the same way.
  const Result options = Devsim({"diff", "--", "-- 1", "--fail RegOpenKeyExW@3 -- 1"});
  EXPECT_EQ(options.status, 1) << options.err;
  EXPECT_TRUE(Has(options.out, "INJECTED FAULT")) << options.out;
}

namespace {

// The run options as a comparable text: every field, whether an option writes it or not, so that
// an option read into the wrong field shows.
std::string Described(const sim::RunOptions& o) {
  std::string text = o.scenario_file + "|" + o.knob + "|" + std::to_string(o.seed) + "|" + std::to_string(o.pct) + "|" +
                     std::to_string(o.pct_depth) + "|" + std::to_string(o.pct_steps) + "|" + std::to_string(o.quantum) +
                     "|" + std::to_string(o.preempt_one_in) + "|" + std::to_string(o.real_clock) + "|" +
                     std::to_string(o.interactive) + "|" + std::to_string(o.time_limit_ms) + "|" +
                     (o.cmdline ? "cmdline " + *o.cmdline : std::string("args"));
  for (const auto& list : {o.answers, o.fail, o.args}) {
    text += "|";
    for (const auto& w : list) text += "[" + w + "]";
  }
  return text;
}

// The words a POSIX shell (bash, for $'...') reads from each line, with one shell for all of them.
std::vector<std::vector<std::string>> ShellWordsOfLines(const std::vector<std::string>& lines) {
  TempDir dir;
  std::string script;
  for (const auto& line : lines) script += "printf '%s\\0' " + line + "; printf '\\1'\n";
  const Result r = Shell("bash " + dir.File("words.sh", script));
  std::vector<std::vector<std::string>> out(1);
  std::string word;
  for (char c : r.out) {
    if (c == '\0') {
      out.back().push_back(std::exchange(word, {}));
    } else if (c == '\1') {
      out.emplace_back();
    } else {
      word += c;
    }
  }
  out.pop_back();
  return out;
}

// Values of one run option, set as a caller sets them, with the text that is hard to write
// back: quotes, blanks, dollars, control characters, the largest numbers.
struct OptionSamples {
  const char* option;
  std::vector<std::function<void(sim::RunOptions&)>> values;
};

std::vector<OptionSamples> SamplesOfEveryOption(const TempDir& dir) {
  const std::string odd_file = dir.File("it's a \"scenario\" $HOME.toml", "base = \"builtin\"\n");
  const std::string plain_file = dir.File("plain.toml", "base = \"builtin\"\n");
  return {
      {"--scenario", {[=](auto& o) { o.scenario_file = odd_file; }, [=](auto& o) { o.scenario_file = plain_file; }}},
      {"--knob", {[](auto& o) { o.knob = "radio-never-confirms"; }, [](auto& o) { o.knob = "Radio never confirms"; }}},
      {"--seed", {[](auto& o) { o.seed = 7; }, [](auto& o) { o.seed = 18446744073709551615ULL; }}},
      {"--pct", {[](auto& o) { o.pct = true; }}},
      {"--schedule", {[](auto& o) { o.schedule = "dx12.1.0"; }, [](auto& o) { o.schedule = "2"; }}},
      {"--pct-depth",
       {[](auto& o) { o.pct_depth = 5; }, [](auto& o) { o.pct_depth = 1; }, [](auto& o) { o.pct_depth = 100; }}},
      {"--answer",
       {[](auto& o) {
          o.answers = {"yes@1500~20", "none"};
        },
        [](auto& o) { o.answers = {"no"}; }}},
      {"--fail",
       {[](auto& o) {
          o.fail = {"CreateMutexW:it's", "LocalAlloc@2+", "CreateFileW:SPI5:"};
        },
        [](auto& o) { o.fail = {"GpioSetValue"}; }}},
      {"--time-limit", {[](auto& o) { o.time_limit_ms = 1099511627776ULL; }, [](auto& o) { o.time_limit_ms = 1; }}},
      {"--cmdline",
       {[](auto& o) { o.cmdline = "1 \"two words\" it's $x `y` \\z"; }, [](auto& o) { o.cmdline = ""; },
        [](auto& o) { o.cmdline = "tab\tnewline\nbell\x07 end"; }}},
      {"ARGS",
       {[](auto& o) { o.args = {"3"}; },
        [](auto& o) { o.args = {"", "two words", "--seed", "-q", "\xC3\xA9t\xC3\xA9", "a'b\"c"}; }}},
  };
}

}  // namespace

// Every run option has samples here, so that a new one is in the round trip below.
TEST(DevsimOptions, EveryRunOptionHasSamplesForTheRoundTrip) {
  TempDir dir;
  const std::vector<OptionSamples> samples = SamplesOfEveryOption(dir);
  for (const auto& row : sim::RunOptionTable()) {
    const bool sampled = std::any_of(samples.begin(), samples.end(),
                                     [&](const OptionSamples& s) { return s.option == std::string(row.name); });
    EXPECT_TRUE(sampled) << row.name << " has no samples in SamplesOfEveryOption";
  }
  for (const auto& s : samples) EXPECT_NE(sim::FindRunOption(s.option), nullptr) << s.option << " is no run option";
}

// Any combination of the run options, written as a command line, reads back as the same options
// (without the seed, as a batch's options with the seed left at 0), and the shell line reads as
// the same words. Combinations a line cannot say (--cmdline with ARGS, --pct-depth without --pct)
// are left out: devsim refuses them.
TEST(DevsimOptions, RunOptionsMakeACommandLineThatReadsBackTheSame) {
  TempDir dir;
  const std::vector<OptionSamples> samples = SamplesOfEveryOption(dir);
  ASSERT_LT(samples.size(), 16u);
  std::vector<sim::RunOptions> written;
  std::vector<int> lines_with(samples.size());
  for (std::uint32_t mask = 0; mask < (1u << samples.size()); ++mask) {
    sim::RunOptions o;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const auto& values = samples[i].values;
      if ((mask & (1u << i)) != 0) values[(mask >> (i + 1)) % values.size()](o);
    }
    bool sayable = true;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const sim::RunOptionRow* row = sim::FindRunOption(samples[i].option);
      ASSERT_NE(row, nullptr) << samples[i].option;
      if ((mask & (1u << i)) != 0) sayable = sayable && (row->written == nullptr || row->written(o));
    }
    if (!sayable) continue;
    for (std::size_t i = 0; i < samples.size(); ++i) lines_with[i] += (mask >> i) & 1;
    written.push_back(o);
    const std::string line = sim::RunLine(o);
    SCOPED_TRACE(line);
    sim::RunOptions back;
    ASSERT_EQ(devsim::ParseRunWords(sim::RunWords(o), back), "");
    EXPECT_EQ(Described(back), Described(o));
    EXPECT_EQ(sim::ReplayLine(o), "devsim " + line);
    sim::RunOptions batch = o;
    batch.seed = 0;
    sim::RunOptions batch_back;
    ASSERT_EQ(devsim::ParseRunWords(sim::RunWords(o, false), batch_back), "");
    EXPECT_EQ(Described(batch_back), Described(batch));
  }
  EXPECT_GT(written.size(), 200u);
  for (std::size_t i = 0; i < samples.size(); ++i) EXPECT_GT(lines_with[i], 100) << samples[i].option;
  std::vector<std::string> lines;
  for (const auto& o : written) lines.push_back(sim::RunLine(o));
  const std::vector<std::vector<std::string>> read = ShellWordsOfLines(lines);
  ASSERT_EQ(read.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(read[i], sim::RunWords(written[i])) << lines[i];
}

namespace {

// Runs a printed replay line with its report written to `report` (the options go in after
// "devsim", before the program's words); `cwd` is where it runs.
sim::Json ReplayReport(const std::string& replay, const std::string& report, const std::string& cwd = ".") {
  const Result r =
      Shell("cd " + sim::ShellQuote(cwd) + " && " + HS_DEVSIM + " -q --report " + report + replay.substr(6));
  EXPECT_NE(r.status, 2) << replay << "\n" << r.err;
  std::ifstream in(report);
  sim::Json j = sim::Json::parse(in, nullptr, false);
  return j.is_discarded() ? sim::Json::object() : j;
}

// The invariants a run broke, in order, with their details.
std::vector<std::string> Broken(const sim::Json& violations) {
  std::vector<std::string> out;
  for (const auto& v : violations) out.push_back(v.value("invariant", "") + ": " + v.value("detail", ""));
  return out;
}

// Each failure shown in a batch's report replays as the same run: the same outcome, reason and
// violations (the batch keeps the first few).
void ExpectFailuresReplay(const sim::Json& report, const std::string& dir, std::size_t at_least) {
  ASSERT_GE(report.value("shown", sim::Json::array()).size(), at_least) << report.dump(1);
  for (const auto& f : report["shown"]) {
    const std::string replay = f.value("replay", "");
    SCOPED_TRACE(replay);
    ASSERT_EQ(replay.rfind("devsim ", 0), 0u);
    const sim::Json again = ReplayReport(replay, dir + "/replay.json");
    ASSERT_TRUE(again.contains("summary")) << again.dump();
    EXPECT_EQ(again["summary"].value("outcome", ""), f.value("outcome", ""));
    EXPECT_EQ(again["summary"].value("reason", ""), f.value("reason", ""));
    std::vector<std::string> found = Broken(again["summary"].value("violations", sim::Json::array()));
    const std::vector<std::string> shown = Broken(f["violations"]);
    found.resize(std::min(found.size(), shown.size()));
    EXPECT_EQ(found, shown);
  }
}

}  // namespace

// Every kind of batch prints replay lines that make the run it reports: explore (uniform and
// PCT, with --cmdline, knobs, fail rules, answers and a time limit), its shards, the sweep and the
// swarm (through the world it writes out).
TEST(DevsimReplay, EveryBatchsReplayLinesMakeTheRunsItReports) {
  TempDir dir;
  const std::string report = dir.File("report.json");
  // A time limit that no run reaches its end by: every seed fails, and is shown.
  const std::string short_run = dir.File("short run.toml", "base = \"builtin\"\n[run]\ntime_limit_ms = 300\n");
  const std::vector<std::vector<std::string>> batches = {
      {"explore", "--cmdline", "3", "--scenario", Scenario("call_ends_late.toml"), "--time-limit", "2000", "--seeds",
       "1..4"},
      {"explore", "--pct", "--pct-depth", "4", "--scenario", Scenario("race_answer_timeout.toml"), "--fail",
       "CreateMutexW.already_exists_lost:NormalShutdown", "--seeds", "5..8", "--", "3"},
      {"explore", "--knob", "radio never confirms", "--answer", "no@900", "--time-limit", "300", "--seeds", "1..3",
       "--", "2"},
      {"explore", "--scenario", short_run, "--fail", "LocalAlloc@2", "--seeds", "1..6", "--shard", "2/3", "--", "1"},
      {"sweep", "--scenario", short_run, "--modes", "3", "--shard", "30/30", "--max-reported", "3"},
  };
  for (auto args : batches) {
    SCOPED_TRACE(args[1] + " " + args[2]);
    args.insert(args.begin() + 1, {"--jobs", "2", "--report-json", report});
    const Result r = Devsim(args);
    ASSERT_EQ(r.status, 5) << r.out << r.err;
    std::ifstream in(report);
    ExpectFailuresReplay(sim::Json::parse(in), dir.path, 1);
  }
  // The swarm: the failing seed's world is written out, then replayed from the file.
  const Result swarm = Devsim({"explore", "--swarm", "--scenario", short_run, "--fail", "LocalAlloc@3", "--seeds",
                               "4..5", "--jobs", "2", "--report-json", report});
  ASSERT_EQ(swarm.status, 5) << swarm.out << swarm.err;
  std::ifstream in(report);
  const sim::Json swarm_report = sim::Json::parse(in);
  ASSERT_FALSE(swarm_report["shown"].empty());
  for (const auto& f : swarm_report["shown"]) {
    std::smatch m;
    const std::string world = f.value("world", "");
    ASSERT_TRUE(std::regex_search(world, m, std::regex("write it out: (devsim [^\n]*)\n  replay: (devsim [^\n]*)")))
        << world;
    const std::string write = m[1], replay = m[2];
    // The rule is written into the file, and the replay of the file needs it no more.
    EXPECT_TRUE(Has(write, "--fail 'LocalAlloc@3'")) << write;
    EXPECT_FALSE(Has(replay, "--fail")) << replay;
    EXPECT_EQ(Shell("cd " + dir.path + " && " + HS_DEVSIM + write.substr(6)).status, 5) << write;
    const sim::Json again = ReplayReport(replay, dir.path + "/replay.json", dir.path);
    ASSERT_TRUE(again.contains("summary")) << replay;
    EXPECT_EQ(again["summary"].value("outcome", ""), f.value("outcome", "")) << replay;
    EXPECT_EQ(again["summary"].value("reason", ""), f.value("reason", "")) << replay;
  }
}

// The shards of one batch share its command line; shards of two command lines do not merge.
TEST(DevsimShards, ShardsOfDifferentCommandLinesAreNotMerged) {
  TempDir dir;
  const std::string a = dir.File("a.json"), b = dir.File("b.json");
  const std::vector<std::string> common = {"explore", "--jobs", "1", "--scenario", Scenario("call_ends_late.toml"),
                                           "--seeds", "1..4"};
  auto shard = [&](const std::string& cmdline, const std::string& which, const std::string& file) {
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--cmdline", cmdline, "--shard", which, "--report-json", file});
    return Devsim(args);
  };
  ASSERT_NE(shard("1", "1/2", a).status, 2);
  ASSERT_NE(shard("3", "2/2", b).status, 2);
  std::ifstream in(a);
  const sim::Json report = sim::Json::parse(in);
  EXPECT_EQ(report["batch"]["command_line"].back(), "1") << report["batch"].dump();
  const Result merged = Devsim({"merge", a, b});
  EXPECT_EQ(merged.status, 2) << merged.out;
  EXPECT_TRUE(Has(merged.err, "another batch")) << merged.err;
  ASSERT_NE(shard("1", "2/2", b).status, 2);
  EXPECT_NE(Devsim({"merge", a, b}).status, 2);
}

// Options that each parse but say nothing, or the wrong thing, together or empty: a message and
// status 2 before anything runs.
TEST(DevsimInput, MistakesInTheOptionsAreNamedWithStatusTwo) {
  TempDir dir;
  const std::vector<RefusedCase> cases = {
      {{"--cmdline", "1", "--", "3"}, "--cmdline and ARGS"},
      {{"explore", "--cmdline", "1", "--seeds", "1..2", "--", "3"}, "--cmdline and ARGS"},
      {{"explore", Scenario("race_answer_timeout.toml"), "--seeds", "1..100"}, "did you mean --scenario"},
      {{Scenario("race_answer_timeout.toml")}, "did you mean --scenario"},
      {{"--sede", "7", "--", "3"}, "did you mean --seed"},
      {{"explore", "--sede", "7", "--", "3"}, "did you mean --seeds"},
      {{"expore", "--seeds", "1..10", "--", "3"}, "unknown command 'expore' (did you mean explore?)"},
      {{"sweep", "--", "3"}, "sweep takes no ARGS; --modes chooses the modes"},
      {{"--pct-depth", "4", "--", "3"}, "--pct-depth is the depth of --pct"},
      {{"explore", "--pct-depth", "4", "--seeds", "1..2", "--", "3"}, "--pct-depth is the depth of --pct"},
      {{"--timeline-scale", "linear", "--", "1"}, "add --timeline"},
      {{"--fail", "CreateMutexW:", "--", "1"}, "with a detail after ':'"},
      {{"--fail", "CreateMutexW::", "--", "1"}, "with a detail after ':'"},
      {{"--fail", "CreateMutexW:NormalShutdown:extra", "--", "1"}, "more than one detail"},
      {{"explore", "--fail", "CreateMutexW:", "--seeds", "1..2", "--", "1"}, "with a detail after ':'"},
      {{"--knob", "", "--", "1"}, "expected a knob's name"},
      {{"--events", "", "--", "1"}, "expected a file name"},
      {{"--timeline", "", "--", "1"}, "expected a file name"},
      {{"--trace-file", "", "--", "1"}, "expected a file name"},
      {{"--summary-json", "", "--", "1"}, "expected a file name"},
      {{"--report", "", "--", "1"}, "expected a file name"},
      {{"--chrome-trace", "", "--", "1"}, "expected a file name"},
      {{"explore", "--report-json", "", "--seeds", "1..2", "--", "1"}, "expected a file name"},
      {{"sweep", "--report-json", ""}, "expected a file name"},
      // An unwritable report is known before the batch runs (a long batch would say it at the end).
      {{"explore", "--report-json", "/nonexistent/r.json", "--seeds", "1..1000000", "--", "3"},
       "cannot write the report"},
      {{"sweep", "--report-json", "/nonexistent/r.json"}, "cannot write the report"},
  };
  ExpectRefused(cases);
  const Result bogus = Shell(std::string("DEVSIM_KERNEL=bogus ") + HS_DEVSIM + " -- 1");
  EXPECT_EQ(bogus.status, 2);
  EXPECT_TRUE(Has(bogus.err, "DEVSIM_KERNEL=bogus: expected fibers or threads")) << bogus.err;
  // Device names and indexed details hold a colon of their own.
  EXPECT_EQ(Devsim({"-q", "--fail", "CreateFileW:SPI5:", "--fail", "NLedGetDeviceInfo:supports:1", "--", "1"}).status,
            0);
}

// The program runs as it does without a mode or with an unknown one; the runner says so.
TEST(DevsimInput, AMissingOrUnknownModeIsNotedAndRuns) {
  const Result bare = Devsim({"-q"});
  EXPECT_EQ(bare.status, 0) << bare.err;
  EXPECT_TRUE(Has(bare.err, "no mode given")) << bare.err;
  const Result four = Devsim({"-q", "--", "4"});
  EXPECT_EQ(four.status, 0) << four.err;
  EXPECT_TRUE(Has(four.err, "'4' is not a mode")) << four.err;
  EXPECT_FALSE(Has(Devsim({"-q", "--", "3"}).err, "mode"));
}

// The scenario's [expect] is for its own command line, whether ARGS or --cmdline gives another.
TEST(DevsimStatus, ExpectationsForOtherArgumentsAreNotCheckedWhicheverWayTheyAreGiven) {
  for (const std::vector<std::string>& given : {std::vector<std::string>{"--", "1"}, {"--cmdline", "1"}}) {
    std::vector<std::string> args = {"-q", "--scenario", Scenario("call_ends_late.toml")};
    args.insert(args.end(), given.begin(), given.end());
    SCOPED_TRACE(given.front());
    const Result r = Devsim(args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "not checked (the scenario's [expect] is for ARGS 3)")) << r.out;
  }
  const Result same = Devsim({"-q", "--scenario", Scenario("call_ends_late.toml"), "--cmdline", "3"});
  EXPECT_FALSE(Has(same.out, "not checked")) << same.out;
}

// A swarm world written out carries the exploration's fail rules in its own [faults] and the
// other options in its replay command.
TEST(DevsimReplay, ADumpedSwarmWorldReplaysWithTheExplorationsOptions) {
  TempDir dir;
  const std::string file = dir.File("world.toml");
  const Result r = Devsim({"explore", "--swarm", "--seeds", "9..9", "--jobs", "1", "--fail", "LocalAlloc@2", "--answer",
                           "yes@100", "--dump-scenario", file, "--report-json", dir.File("r.json")});
  ASSERT_NE(r.status, 2) << r.err;
  std::smatch m;
  const std::string text = ReadFile(file);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("# Replays with: (devsim [^\n]*)"))) << text;
  const std::string replay = std::regex_replace(m[1].str(), std::regex("'THIS_FILE'"), sim::ShellQuote(file));
  EXPECT_FALSE(Has(replay, "--fail")) << replay;
  EXPECT_TRUE(Has(text, "'LocalAlloc@2' ]")) << text;
  EXPECT_TRUE(Has(replay, "--answer yes@100")) << replay;
  std::ifstream in(dir.File("r.json"));
  const sim::Json report = sim::Json::parse(in);
  const sim::Json again = ReplayReport(replay, dir.File("again.json"));
  const std::string outcome = again["summary"].value("outcome", "");
  EXPECT_EQ(report["outcomes"].value(outcome, 0), 1) << outcome << " " << report["outcomes"].dump();
}
