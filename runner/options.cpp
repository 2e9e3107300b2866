#include "runner/options.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <type_traits>
#include <variant>

#include "sim/base/text.h"
#include "sim/devices/windows.h"
#include "sim/views/report.h"

namespace devsim {

CLI::Validator WholeNumber(std::uint64_t lo, std::uint64_t hi) {
  return CLI::Validator([check = sim::WholeNumberCheck(lo, hi)](std::string& s) { return check(s); }, "NUMBER");
}

// A file name option must name a file: "" would silently write nowhere.
CLI::Validator FileName() {
  return CLI::Validator(
      [](std::string& s) { return s.empty() ? std::string("expected a file name, not ''") : std::string(); }, "FILE");
}

CLI::Option* AddRunOption(CLI::App& app, const sim::RunOptionRow& row, sim::RunOptions& run) {
  bool list = false;
  CLI::Option* opt = std::visit(
      [&](auto member) -> CLI::Option* {
        auto& field = run.*member;
        using T = std::decay_t<decltype(field)>;
        list = std::is_same_v<T, std::vector<std::string>>;
        if constexpr (std::is_same_v<T, bool>)
          return app.add_flag(row.name, field, row.help);
        else
          return app.add_option(row.name, field, row.help);
      },
      row.field);
  if (row.shown_default != nullptr) opt->default_val(row.shown_default);
  if (row.check) opt->check(CLI::Validator([check = row.check](std::string& s) { return check(s); }, row.check_name));
  // A repeatable option takes one word each time; the words after it are the program's.
  if (list && opt->nonpositional()) opt->allow_extra_args(false);
  return opt;
}

void AddCommonOptions(CLI::App& app, Args& a) {
  for (const auto& row : sim::RunOptionTable())
    if (row.batch) AddRunOption(app, row, a.run);
}

void AddSingleRunOptions(CLI::App& app, Args& a) {
  for (const auto& row : sim::RunOptionTable())
    if (!row.batch) AddRunOption(app, row, a.run);
  app.add_option("--clock", a.clock,
                 "virtual (as fast as possible) or real (paced by the wall clock; on a terminal the "
                 "program's boxes are drawn there and answered with Y and N)")
      ->check(CLI::IsMember({"virtual", "real"}))
      ->default_val("virtual");
  app.add_option("--events", a.events_file, "write every platform request as JSON Lines to FILE")->check(FileName());
  app.add_option("--trace-file", a.trace_file, "write the raw debug output (UTF-8) to FILE")->check(FileName());
  app.add_option("--summary-json", a.summary_json, "write the end state as JSON to FILE")->check(FileName());
  app.add_option("--report", a.report_file,
                 "write the whole run (summary, trace lines, events) as one JSON document to FILE")
      ->check(FileName());
  app.add_option("--chrome-trace", a.chrome_trace_file,
                 "write the run in the Chrome trace-event format (Perfetto, "
                 "chrome://tracing) to FILE: a track per thread, the handset's state as counters, virtual time")
      ->check(FileName());
  app.add_option("--timeline", a.timeline_file,
                 "write a picture of the run as a self-contained SVG to FILE: a lane per "
                 "thread and per part of the handset, the steps, the waits, the outcome")
      ->check(FileName());
  app.add_option("--timeline-scale", a.timeline_scale,
                 "the timeline's time axis: compressed (long quiet stretches "
                 "folded; the default) or linear (one scale for the whole run); needs --timeline")
      ->check(CLI::IsMember({"compressed", "linear"}))
      ->default_val("compressed");
  app.add_flag("--calls", a.calls,
               "print one line per platform call instead of the trace: time, thread, routine, "
               "Op(args) = result, how long a blocking call took, injected faults marked");
  app.add_flag("-q,--quiet", a.quiet, "print only the summary");
}

std::string Misuse(const CLI::App& app, const Args& a) {
  const sim::RunOptions& run = a.run;
  if (run.cmdline && !run.args.empty())
    return "--cmdline and ARGS both give the program's command line; give one of them";
  if (app.count("--pct-depth") != 0 && !run.pct) return "--pct-depth is the depth of --pct; add --pct";
  if (!run.schedule.empty() && run.pct) return "--schedule and --pct both choose the schedule; give one of them";
  if (app.get_option_no_throw("--timeline-scale") != nullptr && app.count("--timeline-scale") != 0 &&
      a.timeline_file.empty())
    return "--timeline-scale shapes the picture of --timeline; add --timeline FILE";
  for (const auto& word : run.args) {
    std::error_code ec;
    if (word.size() > 5 && word.substr(word.size() - 5) == ".toml" && std::filesystem::is_regular_file(word, ec))
      return "ARGS " + word + " names a scenario file; did you mean --scenario " + word + "?";
  }
  return {};
}

std::string ModeNote(const sim::RunOptions& run) {
  const std::u16string line = run.CommandLine();
  std::string first = sim::Narrow(line.substr(0, line.find_first_of(u" \t")));
  if (first.empty()) return "no mode given (ARGS 1, 2 or 3): the program runs as it does without one";
  if (first == "1" || first == "2" || first == "3") return {};
  return "'" + first + "' is not a mode (1, 2 or 3): the program runs as it does with an unknown one";
}

std::string ParseRunWords(const std::vector<std::string>& words, sim::RunOptions& out) {
  CLI::App app{"a devsim run", "devsim"};
  Args a;
  AddCommonOptions(app, a);
  AddSingleRunOptions(app, a);
  app.allow_extras(false);
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    return e.what();
  }
  if (std::string err = Misuse(app, a); !err.empty()) return err;
  out = a.run;
  return {};
}

std::string KnobSlug(const std::string& name) {
  std::string slug;
  for (unsigned char c : name) {
    if (std::isalnum(c))
      slug += static_cast<char>(std::tolower(c));
    else if (!slug.empty() && slug.back() != '-')
      slug += '-';
  }
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  return slug;
}

const sim::DeviceKnob* FindKnob(const std::string& name) {
  for (const auto& k : sim::DeviceKnobs())
    if (k.name == name || KnobSlug(k.name) == KnobSlug(name)) return &k;
  return nullptr;
}

sim::Scenario LoadScenario(const sim::RunOptions& run) {
  sim::Scenario s = run.scenario_file.empty() ? sim::Scenario::Builtin() : sim::Scenario::FromFile(run.scenario_file);
  if (run.knob.empty()) return s;
  if (const sim::DeviceKnob* k = FindKnob(run.knob)) return s.Overridden(k->overrides, "knob '" + k->name + "'");
  std::vector<std::string> slugs;
  std::string names;
  for (const auto& k : sim::DeviceKnobs()) {
    slugs.push_back(KnobSlug(k.name));
    names += (names.empty() ? " " : ", ") + slugs.back();
  }
  // One line: the message is printed with its control characters shown as escapes.
  const std::string closest = Closest(KnobSlug(run.knob), slugs);
  throw sim::ScenarioError("unknown knob '" + run.knob + "'" +
                           (closest.empty() ? "" : " (did you mean " + closest + "?)") + "; the knobs are:" + names +
                           " (devsim sweep --list-knobs shows each)");
}

std::vector<std::string> ProgramArgs(const sim::RunOptions& run, const sim::Scenario& scenario) {
  if (!run.args.empty() || run.cmdline) return run.args;
  // A scenario written for one mode says so; running it without ARGS runs that mode.
  if (auto expect = scenario.Root().Table("expect")) return expect->Strings("args");
  return {};
}

std::string ForeignExpectations(const sim::RunOptions& run, const sim::Scenario& scenario) {
  auto expect = scenario.Root().Table("expect");
  if (!expect || (run.args.empty() && !run.cmdline)) return {};
  const std::vector<std::string> meant = expect->Strings("args");
  // The program's command line is compared, whether ARGS or --cmdline gave it.
  if (meant.empty() || sim::JoinCommandLine(meant) == run.CommandLine()) return {};
  std::string args;
  for (const auto& m : meant) args += (args.empty() ? "" : " ") + m;
  return "the scenario's [expect] is for ARGS " + args;
}

sim::RunOptions ResolvedOptions(const sim::RunOptions& run, const sim::Scenario& scenario) {
  sim::RunOptions opts = run;
  opts.args = ProgramArgs(run, scenario);
  if (const sim::DeviceKnob* k = FindKnob(run.knob)) opts.knob = KnobSlug(k->name);
  return opts;
}

std::string Closest(const std::string& word, const std::vector<std::string>& candidates) {
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string w = lower(word);
  std::string best;
  std::size_t best_d = SIZE_MAX;
  for (const auto& cand : candidates) {
    const std::string c = lower(cand);
    std::vector<std::size_t> row(c.size() + 1);
    for (std::size_t j = 0; j <= c.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= w.size(); ++i) {
      std::size_t diag = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= c.size(); ++j) {
        const std::size_t up = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (w[i - 1] == c[j - 1] ? 0 : 1)});
        diag = up;
      }
    }
    if (row[c.size()] < best_d) {
      best_d = row[c.size()];
      best = cand;
    }
  }
  // A name that shares little with the word is no suggestion.
  return best_d <= std::max<std::size_t>(2, w.size() / 2) ? best : std::string();
}

const std::vector<std::string>& PlatformGuaranteeBreakers() { return sim::GuaranteeBreakingSites(); }

std::string CheckFailRules(const std::vector<std::string>& rules) {
  std::vector<std::string> ops = sim::FaultSiteOperations();
  ops.insert(ops.end(), PlatformGuaranteeBreakers().begin(), PlatformGuaranteeBreakers().end());
  for (const auto& rule : rules) {
    const std::string op = rule.substr(0, rule.find_first_of(":@"));
    if (std::find(ops.begin(), ops.end(), op) != ops.end()) continue;
    const std::string closest = Closest(op, ops);
    return "--fail " + rule + ": '" + op + "' is not an operation that can be failed" +
           (closest.empty() ? "" : " (did you mean " + closest + "?)") + "; devsim --list-fault-sites lists them";
  }
  return {};
}

}  // namespace devsim
