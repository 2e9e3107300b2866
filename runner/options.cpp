#include "runner/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "sim/base/text.h"
#include "sim/devices/windows.h"
#include "sim/views/report.h"

namespace devsim {

CLI::Validator WholeNumber(std::uint64_t lo, std::uint64_t hi) {
  return CLI::Validator(
      [lo, hi](std::string& s) -> std::string {
        std::uint64_t v = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        const bool digits = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
        if (!digits || end != s.data() + s.size() || ec != std::errc() || v < lo || v > hi)
          return "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not '" + s + "'";
        return {};
      },
      "NUMBER");
}

void AddCommonOptions(CLI::App& app, Args& a) {
  app.add_option("--scenario", a.scenario, "scenario file (TOML); default: the built-in handset")->check(CLI::ExistingFile);
  app.add_option("--answer", a.answers, "the user's answer to each box in turn: yes|no|cancel|none[@MS[~J]]")
      ->check([](const std::string& s) { return sim::ParseBoxAnswer(s) ? std::string() : "expected yes|no|cancel|none[@MS[~J]]"; })
      ->allow_extra_args(false);
  app.add_option("--fail", a.fail, "fail a platform call: OP, OP:DETAIL, OP@N or OP@N+ (repeatable; "
                 "devsim --list-fault-sites names the operations)")
      ->allow_extra_args(false);
  app.add_option("--time-limit", a.time_limit_ms, "end the run after MS of virtual time")
      ->check(WholeNumber(1, kMaxTimeLimitMs));
  app.add_option("--cmdline", a.cmdline, "the program's raw command line, instead of ARGS");
  app.add_flag("--pct", a.pct, "probabilistic priority scheduling instead of uniform random choices");
  app.add_option("--pct-depth", a.pct_depth, "bug depth for --pct (d-1 priority change points)")
      ->default_val(3)->check(WholeNumber(1, kMaxPctDepth));
  app.add_option("ARGS", a.program_args, "the program's arguments");
}

void AddSingleRunOptions(CLI::App& app, Args& a) {
  app.add_option("--seed", a.seed, "scheduling seed; 0 runs threads in a fixed order")
      ->default_val(0)->check(WholeNumber(0, UINT64_MAX));
  app.add_option("--clock", a.clock, "virtual (as fast as possible) or real (paced by the wall clock; on a terminal the "
                 "program's boxes are drawn there and answered with Y and N)")
      ->check(CLI::IsMember({"virtual", "real"}))->default_val("virtual");
  app.add_option("--events", a.events_file, "write every platform request as JSON Lines to FILE");
  app.add_option("--trace-file", a.trace_file, "write the raw debug output (UTF-8) to FILE");
  app.add_option("--summary-json", a.summary_json, "write the end state as JSON to FILE");
  app.add_option("--report", a.report_file, "write the whole run (summary, trace lines, events) as one JSON document to FILE");
  app.add_option("--chrome-trace", a.chrome_trace_file, "write the run in the Chrome trace-event format (Perfetto, "
                 "chrome://tracing) to FILE: a track per thread, the handset's state as counters, virtual time");
  app.add_option("--timeline", a.timeline_file, "write a picture of the run as a self-contained SVG to FILE: a lane per "
                 "thread and per part of the handset, the steps, the waits, the outcome");
  app.add_option("--timeline-scale", a.timeline_scale, "the timeline's time axis: compressed (long quiet stretches "
                 "folded; the default) or linear (one scale for the whole run)")
      ->check(CLI::IsMember({"compressed", "linear"}))->default_val("compressed");
  app.add_flag("--calls", a.calls, "print one line per platform call instead of the trace: time, thread, routine, "
               "Op(args) = result, how long a blocking call took, injected faults marked");
  app.add_flag("-q,--quiet", a.quiet, "print only the summary");
  app.add_option("--knob", a.knob, "turn on one of the fault sweep's device knobs by name (see devsim sweep --list-knobs)");
}

std::string KnobSlug(const std::string& name) {
  std::string slug;
  for (unsigned char c : name) {
    if (std::isalnum(c)) slug += static_cast<char>(std::tolower(c));
    else if (!slug.empty() && slug.back() != '-') slug += '-';
  }
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  return slug;
}

const sim::DeviceKnob* FindKnob(const std::string& name) {
  for (const auto& k : sim::DeviceKnobs())
    if (k.name == name || KnobSlug(k.name) == KnobSlug(name)) return &k;
  return nullptr;
}

sim::Scenario LoadScenario(const Args& a) {
  sim::Scenario s = a.scenario.empty() ? sim::Scenario::Builtin() : sim::Scenario::FromFile(a.scenario);
  if (a.knob.empty()) return s;
  if (const sim::DeviceKnob* k = FindKnob(a.knob)) return s.Overridden(k->overrides, "knob '" + k->name + "'");
  std::vector<std::string> slugs;
  std::string names;
  for (const auto& k : sim::DeviceKnobs()) {
    slugs.push_back(KnobSlug(k.name));
    names += (names.empty() ? " " : ", ") + slugs.back();
  }
  // One line: the message is printed with its control characters shown as escapes.
  const std::string closest = Closest(KnobSlug(a.knob), slugs);
  throw sim::ScenarioError("unknown knob '" + a.knob + "'" + (closest.empty() ? "" : " (did you mean " + closest + "?)") +
                           "; the knobs are:" + names + " (devsim sweep --list-knobs shows each)");
}

std::vector<std::string> ProgramArgs(const Args& a, const sim::Scenario& scenario) {
  if (!a.program_args.empty() || a.cmdline) return a.program_args;
  // A scenario written for one mode says so; running it without ARGS runs that mode.
  if (auto expect = scenario.Root().Table("expect")) return expect->Strings("args");
  return {};
}

std::string ForeignExpectations(const Args& a, const sim::Scenario& scenario) {
  auto expect = scenario.Root().Table("expect");
  if (!expect || a.program_args.empty() || a.cmdline) return {};
  const std::vector<std::string> meant = expect->Strings("args");
  if (meant.empty() || meant == a.program_args) return {};
  std::string args;
  for (const auto& m : meant) args += (args.empty() ? "" : " ") + m;
  return "the scenario's [expect] is for ARGS " + args;
}

sim::RunOptions BaseOptions(const Args& a, const sim::Scenario& scenario) {
  sim::RunOptions opts;
  opts.answers = a.answers;
  opts.fail = a.fail;
  opts.pct = a.pct;
  opts.pct_depth = a.pct_depth;
  if (a.time_limit_ms) opts.time_limit = static_cast<sim::Micros>(*a.time_limit_ms) * sim::kMicrosPerMs;
  opts.command_line = a.cmdline ? sim::Wide(*a.cmdline) : sim::JoinCommandLine(ProgramArgs(a, scenario));
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

std::string ShellQuote(const std::string& text) {
  const bool plain = std::none_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
  if (plain) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  // Control characters: $'...' with every byte that is not plain text as \xHH.
  std::string out = "$'";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\'' || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "'";
}

}  // namespace devsim
