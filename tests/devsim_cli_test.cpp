// devsim as a person uses it: every bad input is a message and status 2, the exit status says
// how the run ended, the replay line replays the run, and the summary says who answered a box.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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

// Runs devsim with `args` (no shell). A run over 60 s of wall time counts as hung and is killed.
Result Devsim(const std::vector<std::string>& args, const std::string& stdout_path = "") {
  TempDir dir;
  const std::string out = stdout_path.empty() ? dir.File("out") : stdout_path, err = dir.File("err");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    alarm(60);
    std::vector<char*> argv{const_cast<char*>(HS_DEVSIM)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(HS_DEVSIM, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (stdout_path.empty()) r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
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

}  // namespace

TEST(DevsimInput, EveryBadInputIsAMessageAndStatusTwoAtOnce) {
  TempDir dir;
  const std::string bad_scenario = dir.File("bad.toml", "base = \"builtin\"\n[radio]\nconfirm_jiter_us = 5\n");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{"explore", "--seeds", "10..1", "--", "1"}, "below the first"},
      {{"explore", "--seeds", "3..2", "--", "1"}, "below the first"},
      {{"explore", "--seeds", "1..-1", "--", "1"}, "FIRST..LAST"},
      {{"explore", "--seeds", "1..18446744073709551615", "--", "1"}, "at most"},
      {{"explore", "--seeds", "1..100000000", "--", "1"}, "at most"},
      {{"explore", "--seeds", "1..2junk", "--", "1"}, "FIRST..LAST"},
      {{"explore", "--seeds", "1-500", "--", "1"}, "FIRST..LAST"},
      {{"explore", "--jobs", "0", "--seeds", "1..2", "--", "1"}, "--jobs"},
      {{"explore", "--scenario", bad_scenario, "--seeds", "1..50", "--", "1"}, "bad.toml:3: key 'radio.confirm_jiter_us'"},
      {{"sweep", "--modes", "9"}, "not a mode"},
      {{"sweep", "--scenario", bad_scenario}, "bad.toml:3"},
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
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const Result r = Devsim(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    EXPECT_FALSE(Has(r.out, "outcome:")) << "the run went ahead: " << r.out;
  }
}

TEST(DevsimInput, OutputThatCannotBeWrittenIsNeverSuccess) {
  const Result r = Devsim({"--", "1"}, "/dev/full");
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(Has(r.err, "cannot write")) << r.err;
}

TEST(DevsimInput, ScenarioTextReachesTheTerminalWithoutControlCharacters) {
  TempDir dir;
  const std::string scenario = dir.File("esc.toml",
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
        "CreateMutexW.already_exists_lost:NormalShutdown", "--", "3"}, 5, "INVARIANT VIOLATED: single-sequence"},
      // The scenario expects the time limit: that is its outcome, not a failure.
      {{"--scenario", Scenario("no_pmu_line.toml"), "--", "1"}, 0, "expected outcome: met"},
      {{"--scenario", dir.File("off.toml", "base = \"builtin\"\n[expect]\noutcome = [\"off\"]\n"), "--", "1"}, 5,
       "NOT MET: outcome suspended, expected off"},
      // An expectation not met is status 5 also when the run reached the time limit.
      {{"-q", "--scenario", Scenario("builtin_mode1.toml"), "--time-limit", "100"}, 5, "NOT MET: outcome time-limit"},
      {{"--scenario", dir.File("ertc.toml", "base = \"builtin\"\n[expect]\nertc = \"2001-01-01 00:00:00\"\n"), "--", "1"}, 5,
       "NOT MET: ERTC wake-up 0x"},
      // Without ARGS, a scenario written for one mode runs that mode.
      {{"--scenario", dir.File("args.toml", "base = \"builtin\"\n[expect]\nargs = [\"2\"]\n[user]\nanswers = [\"no@100\"]\n")},
       0, "answer no by user"},
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
  const std::string scenario = dir.File("off.toml", "base = \"builtin\"\n[expect]\nargs = [\"1\"]\noutcome = [\"off\"]\n");
  const Result r = Devsim({"explore", "--scenario", scenario, "--seeds", "1..4", "--jobs", "1"});
  EXPECT_EQ(r.status, 5) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "seed 1:")) << r.out;
  EXPECT_TRUE(Has(r.out, "expectation not met: outcome suspended, expected off")) << r.out;
  // Run with other arguments than it is written for, its expectations do not apply.
  const Result other = Devsim({"explore", "--scenario", Scenario("builtin_mode1.toml"), "--seeds", "1..3", "--jobs", "1", "--", "2"});
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
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\n +[0-9.]+ AutoShutdownThread +\\| \\w+: SendMessageW\\(window=\"0x"))) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("MessageBoxW\\([^\n]*\\) = \"IDYES\" \\[blocked [0-9.]+ ms\\]"))) << r.out;
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
  EXPECT_TRUE(std::regex_search(parted.out, std::regex("\nA [^\n]*RegOpenKeyExW[^\n]*\nB [^\n]*RegOpenKeyExW[^\n]*INJECTED FAULT")))
      << parted.out;
  EXPECT_TRUE(std::regex_search(parted.out, std::regex("differ in: [^\n]*result"))) << parted.out;
  // Two option sets are run and compared the same way.
  const Result options = Devsim({"diff", "--", "-- 1", "--fail RegOpenKeyExW@3 -- 1"});
  EXPECT_EQ(options.status, 1) << options.err;
  EXPECT_TRUE(Has(options.out, "INJECTED FAULT")) << options.out;
}
