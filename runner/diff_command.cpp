// devsim diff: where two runs part. Each run is an event log written by --events, or a set of
// devsim options that is run here; the platform calls are compared in order and the first one
// that differs in thread, routine, operation, arguments or result is shown with the calls before it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "runner/commands.h"
#include "sim/views/report.h"

namespace devsim {

namespace {

// Splits an option string at blanks; single and double quotes group.
std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (char c : text) {
    if (quote) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

// Runs this devsim with the run `options` and writes its event log to `path`; false when it
// could not run.
bool RunForEvents(const sim::RunOptions& options, const std::string& path) {
  std::vector<std::string> args = {"/proc/self/exe", "-q", "--events", path};
  for (auto& w : sim::RunWords(options)) args.push_back(std::move(w));
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    std::vector<char*> argv;
    for (auto& w : args) argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) != 2 && WEXITSTATUS(status) != 127;
}

// The platform calls of an event log; throws ScenarioError for a file that is not one.
std::vector<sim::Json> Calls(const std::string& path, const std::string& shown_as) {
  std::ifstream in(path);
  if (!in) throw sim::ScenarioError(shown_as + ": cannot read the event log");
  std::vector<sim::Json> calls;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (line.empty()) continue;
    sim::Json e = sim::Json::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object())
      throw sim::ScenarioError(shown_as + ":" + std::to_string(n) + ": not an event record (JSON Lines from --events)");
    if (e.value("kind", "") == "call") calls.push_back(std::move(e));
  }
  return calls;
}

// A run given as options starts with a dash or with "devsim"; anything else names an event log.
std::vector<sim::Json> Load(const std::string& run, const std::string& tmp_path) {
  const bool options = run.rfind("-", 0) == 0 || run.rfind("devsim ", 0) == 0;
  if (!options) return Calls(run, run);
  std::vector<std::string> words = SplitWords(run);
  if (!words.empty() && words.front() == "devsim") words.erase(words.begin());
  sim::RunOptions parsed;
  if (const std::string err = ParseRunWords(words, parsed); !err.empty())
    throw sim::ScenarioError("'" + run + "': these options do not run: " + err);
  if (!RunForEvents(parsed, tmp_path))
    throw sim::ScenarioError("'" + run + "': these options do not run (devsim " + run + ")");
  return Calls(tmp_path, run);
}

// The fields of a call that differ ("thread", "args", ...); empty when the calls are alike.
std::vector<std::string> Differences(const sim::Json& a, const sim::Json& b) {
  std::vector<std::string> out;
  for (const char* key : {"thread", "caller", "op", "args", "result", "injected_fault"})
    if (a.value(key, sim::Json()) != b.value(key, sim::Json())) out.push_back(key);
  return out;
}

}  // namespace

CLI::App* AddDiffCommand(CLI::App& app, DiffArgs& d) {
  CLI::App* diff = app.add_subcommand("diff",
                                      "where two runs part: the first platform call that differs in thread, "
                                      "order, arguments or result, with the calls before it. RUN is an event "
                                      "log (--events) or devsim options in quotes after --: "
                                      "devsim diff -- '--seed 7 -- 3' '--seed 8 -- 3'");
  diff->add_option("RUN", d.runs, "two event logs or two option sets")->required()->expected(2);
  diff->add_option("--context", d.context, "calls shown before the first difference")
      ->default_val(5)
      ->check(WholeNumber(0, 10000));
  return diff;
}

int RunDiff(const DiffArgs& d) {
  // The event logs of runs given as options go to a private directory of this process.
  char tmpl[] = "/tmp/devsim-diff-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (dir == nullptr) throw sim::ScenarioError("cannot make a temporary directory for the runs");
  struct Cleanup {
    std::string dir;
    ~Cleanup() { std::filesystem::remove_all(dir); }
  } cleanup{dir};
  const std::vector<sim::Json> a = Load(d.runs[0], cleanup.dir + "/a.jsonl");
  const std::vector<sim::Json> b = Load(d.runs[1], cleanup.dir + "/b.jsonl");
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && Differences(a[i], b[i]).empty()) ++i;
  if (i == a.size() && i == b.size()) {
    std::cout << "the runs make the same " << a.size() << " platform calls\n";
    return 0;
  }
  std::cout << "the runs make the same first " << i << " platform calls, then part:\n";
  for (std::size_t k = i > static_cast<std::size_t>(d.context) ? i - d.context : 0; k < i; ++k)
    std::cout << "    " << sim::FormatCall(a[k]) << "\n";
  std::cout << "A " << (i < a.size() ? sim::FormatCall(a[i]) : std::string("(no more calls)")) << "\n";
  std::cout << "B " << (i < b.size() ? sim::FormatCall(b[i]) : std::string("(no more calls)")) << "\n";
  if (i < a.size() && i < b.size()) {
    std::string fields;
    for (const auto& f : Differences(a[i], b[i])) fields += (fields.empty() ? "" : ", ") + f;
    std::cout << "differ in: " << fields << "\n";
  }
  std::cout << "calls in all: A " << a.size() << ", B " << b.size() << "\n";
  return 1;
}

}  // namespace devsim
