// devsim: runs the shutdown program on a simulated handset and shows what it did to the device.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include "sim/base/text.h"
#include "sim/checks/checked_run.h"
#include "sim/devices/handset.h"
#include "sim/explore/explore.h"
#include "sim/explore/fault_sweep.h"
#include "sim/views/chrome_trace.h"
#include "sim/views/report.h"
#include "sim/views/terminal_box.h"
#include "sim/views/timeline_svg.h"

namespace {

constexpr const char* kVersion = "devsim 0.1.0";

struct Args {
  std::string scenario;
  std::uint64_t seed = 0;
  std::string clock = "virtual";
  std::vector<std::string> answers;
  std::vector<std::string> fail;
  std::string events_file, trace_file, summary_json, report_file;
  std::string chrome_trace_file, timeline_file;
  std::optional<std::uint64_t> time_limit_ms;
  std::optional<std::string> cmdline;
  std::string knob;
  bool quiet = false;
  bool pct = false;
  int pct_depth = 3;
  std::vector<std::string> program_args;
};

std::string ReplayCommand(const Args& a) {
  std::string cmd = "devsim";
  if (!a.scenario.empty()) cmd += " --scenario " + a.scenario;
  cmd += " --seed " + std::to_string(a.seed);
  if (a.pct) cmd += " --pct --pct-depth " + std::to_string(a.pct_depth);
  for (const auto& x : a.answers) cmd += " --answer " + x;
  for (const auto& f : a.fail) cmd += " --fail '" + f + "'";
  if (a.time_limit_ms) cmd += " --time-limit " + std::to_string(*a.time_limit_ms);
  if (a.cmdline) cmd += " --cmdline '" + *a.cmdline + "'";
  else {
    cmd += " --";
    for (const auto& p : a.program_args) cmd += " '" + p + "'";
  }
  return cmd;
}

sim::Scenario LoadScenario(const Args& a) {
  sim::Scenario s = a.scenario.empty() ? sim::Scenario::Builtin() : sim::Scenario::FromFile(a.scenario);
  if (a.knob.empty()) return s;
  for (const auto& k : sim::DeviceKnobs())
    if (k.name == a.knob) return s.Overridden(k.overrides, "knob '" + k.name + "'");
  std::string names;
  for (const auto& k : sim::DeviceKnobs()) names += "\n  " + k.name;
  throw sim::ScenarioError("unknown knob '" + a.knob + "'; the knobs are:" + names);
}

int RunOnce(const Args& a) {
  sim::Scenario scenario = LoadScenario(a);
  sim::RunOptions opts;
  opts.seed = a.seed;
  opts.real_clock = a.clock == "real";
  opts.interactive = opts.real_clock && isatty(0) && isatty(1);
  opts.pct = a.pct;
  opts.pct_depth = a.pct_depth;
  if (a.pct) opts.pct_steps = sim::LearnRunLength(scenario, opts);  // the same horizon as the explorer's
  opts.answers = a.answers;
  opts.fail = a.fail;
  if (a.time_limit_ms) opts.time_limit = *a.time_limit_ms * sim::kMicrosPerMs;
  opts.command_line = a.cmdline ? sim::Wide(*a.cmdline) : sim::JoinCommandLine(a.program_args);
  auto* handset = new sim::Handset(scenario, opts);  // lives until the process exits with its threads
  sim::TracePrinter printer(std::cout);
  // With a person at the terminal, boxes are drawn there and answered with Y and N.
  std::unique_ptr<sim::TerminalBox> terminal;
  if (opts.interactive) {
    terminal = std::make_unique<sim::TerminalBox>(handset->kernel, handset->windows, 0, std::cout);
    terminal->Start();
  }
  if (!a.quiet) {
    handset->debug.OnLine([&](const sim::TraceLine& l) {
      if (terminal) terminal->Print([&] { printer.Print(l); });
      else printer.Print(l);
    });
  }
  const sim::CheckedRun run = sim::RunChecked(*handset);
  const sim::Outcome& outcome = run.outcome;
  const sim::Json& summary = run.summary;
  if (terminal) terminal->Stop();
  printer.Flush();
  if (!a.quiet) std::cout << "----\n";
  sim::PrintSummary(std::cout, summary);
  std::cout << "replay: " << ReplayCommand(a) << "\n";
  if (!a.events_file.empty()) {
    std::ofstream out(a.events_file);
    handset->events.WriteJsonLines(out);
  }
  if (!a.trace_file.empty()) {
    std::ofstream out(a.trace_file, std::ios::binary);
    out << handset->debug.Raw();
  }
  if (!a.report_file.empty()) {
    sim::Json report;
    report["outcome"] = outcome.state;
    report["exit_status"] = outcome.exit_status;
    report["summary"] = summary;
    sim::Json lines = sim::Json::array();
    for (const auto& l : handset->debug.Lines()) lines.push_back({static_cast<double>(l.at) / 1000.0, l.thread, l.text});
    report["lines"] = lines;
    report["raw"] = handset->debug.Raw();
    report["events"] = handset->events.Events();
    std::ofstream out(a.report_file);
    out << report.dump(-1, ' ', false, sim::Json::error_handler_t::replace) << "\n";
  }
  if (!a.summary_json.empty()) {
    std::ofstream out(a.summary_json);
    out << summary.dump(2) << "\n";
  }
  const sim::RunRecord record{handset->events.Events(), handset->debug.Lines(), summary};
  int status = outcome.exit_status;
  if (!a.chrome_trace_file.empty() && !sim::WriteChromeTrace(record, a.chrome_trace_file)) {
    std::cerr << "devsim: cannot write the Chrome trace to " << a.chrome_trace_file << "\n";
    status = 2;
  }
  if (!a.timeline_file.empty() && !sim::WriteTimelineSvg(record, a.timeline_file)) {
    std::cerr << "devsim: cannot write the timeline to " << a.timeline_file << "\n";
    status = 2;
  }
  return status;
}

// Options that a single run, an exploration and a sweep share.
void AddCommonOptions(CLI::App& app, Args& a) {
  app.add_option("--scenario", a.scenario, "scenario file (TOML); default: the built-in handset")->check(CLI::ExistingFile);
  app.add_option("--answer", a.answers, "the user's answer to each box in turn: yes|no|cancel|none[@MS[~J]]")
      ->check([](const std::string& s) { return sim::ParseBoxAnswer(s) ? std::string() : "expected yes|no|cancel|none[@MS[~J]]"; })
      ->allow_extra_args(false);
  app.add_option("--fail", a.fail, "fail a platform call: OP, OP:DETAIL, OP@N or OP@N+ (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--time-limit", a.time_limit_ms, "end the run after MS of virtual time");
  app.add_option("--cmdline", a.cmdline, "the program's raw command line, instead of ARGS");
  app.add_flag("--pct", a.pct, "probabilistic priority scheduling instead of uniform random choices");
  app.add_option("--pct-depth", a.pct_depth, "bug depth for --pct (d-1 priority change points)")->default_val(3);
  app.add_option("ARGS", a.program_args, "the program's arguments");
}


sim::RunOptions BaseOptions(const Args& a) {
  sim::RunOptions opts;
  opts.answers = a.answers;
  opts.fail = a.fail;
  if (a.time_limit_ms) opts.time_limit = *a.time_limit_ms * sim::kMicrosPerMs;
  opts.command_line = a.cmdline ? sim::Wide(*a.cmdline) : sim::JoinCommandLine(a.program_args);
  return opts;
}

// Where a batch's shard and machine-readable report are chosen (explore and sweep).
struct ShardArgs {
  std::string shard = "1/1";
  std::string report_json;
};

void AddShardOptions(CLI::App& app, ShardArgs& s) {
  app.add_option("--shard", s.shard, "run only part K of N of the batch (K from 1), for spreading it over machines")
      ->check([](const std::string& v) { return sim::ParseShard(v) ? std::string() : "expected K/N with 1 <= K <= N"; });
  app.add_option("--report-json", s.report_json, "write the report as JSON to FILE (devsim merge combines shards)");
}

// devsim merge: the shard reports of one batch as the report of one run over all of it.
int RunMerge(const std::vector<std::string>& files, const std::string& report_json) {
  std::vector<sim::Json> reports;
  for (const auto& f : files) reports.push_back(sim::ReadReport(f));
  const sim::Json merged = sim::MergeReports(reports, files);
  if (merged["kind"] == "explore") sim::PrintExploreReport(merged, std::cout);
  else sim::PrintSweepReport(merged, std::cout);
  if (!report_json.empty() && !sim::WriteReport(merged, report_json)) {
    std::cerr << "devsim merge: cannot write the report to " << report_json << "\n";
    return 2;
  }
  if (!merged["missing_shards"].empty()) return 2;
  return merged["failures"].get<std::uint64_t>() == 0 ? 0 : 5;
}

int RunExplore(const Args& a, const std::string& seeds, int jobs, int max_reported, const ShardArgs& sh) {
  sim::ExploreOptions o;
  o.scenario_file = a.scenario;
  const auto dots = seeds.find("..");
  try {
    o.first_seed = std::stoull(seeds.substr(0, dots));
    o.runs = dots == std::string::npos ? 1 : std::stoull(seeds.substr(dots + 2)) - o.first_seed + 1;
  } catch (const std::exception&) {
    std::cerr << "devsim explore: --seeds takes FIRST..LAST, for example 1..20000\n";
    return 2;
  }
  o.jobs = std::max(1, jobs);
  o.pct = a.pct;
  o.pct_depth = a.pct_depth;
  o.base = BaseOptions(a);
  o.args = a.program_args;
  o.max_reported = max_reported;
  o.progress = isatty(2);
  for (const auto& x : a.answers) o.replay_prefix += " --answer " + x;
  for (const auto& f : a.fail) o.replay_prefix += " --fail '" + f + "'";
  if (a.time_limit_ms) o.replay_prefix += " --time-limit " + std::to_string(*a.time_limit_ms);
  o.shard = *sim::ParseShard(sh.shard);
  o.report_json = sh.report_json;
  const sim::ExploreResult r = sim::Explore(LoadScenario(a), o);
  if (!r.report_written) {
    std::cerr << "devsim explore: cannot write the report to " << sh.report_json << "\n";
    return 2;
  }
  return r.failures == 0 ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs the shutdown program on a simulated handset.\n"
               "ARGS form the program's command line: devsim 1 switches off at once, devsim 2 asks first,\n"
               "devsim 3 is the automatic shutdown. The run is deterministic: the same scenario and seed\n"
               "replay it exactly. `devsim explore` runs a scenario over many seeds and checks every run.",
               "devsim"};
  Args a;
  AddCommonOptions(app, a);
  app.add_option("--seed", a.seed, "scheduling seed; 0 runs threads in a fixed order")->default_val(0);
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
  app.add_flag("-q,--quiet", a.quiet, "print only the summary");
  app.add_option("--knob", a.knob, "turn on one of the fault sweep's device knobs by name (see devsim sweep --list-knobs)");
  app.set_version_flag("--version", kVersion);

  Args ea;
  std::string seeds = "1..1000";
  int jobs = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  int max_reported = 10;
  CLI::App* explore = app.add_subcommand("explore", "run a scenario over a range of seeds on every core and check "
                                                    "the invariants of each run; prints a replay command per failure");
  AddCommonOptions(*explore, ea);
  explore->add_option("--seeds", seeds, "FIRST..LAST")->default_val("1..1000");
  explore->add_option("--jobs", jobs, "parallel processes (default: the number of cores)");
  explore->add_option("--max-reported", max_reported, "failures printed in full")->default_val(10);
  ShardArgs explore_shard, sweep_shard;
  AddShardOptions(*explore, explore_shard);
  Args sa;
  std::string modes = "1,2,3";
  int sweep_jobs = jobs;
  CLI::App* sweep = app.add_subcommand("sweep", "turn on every fault knob of the handset on its own and fail the N-th "
                                                "call of every platform operation, in each mode; checks every run");
  sweep->add_option("--scenario", sa.scenario, "scenario file (TOML); default: the built-in handset")->check(CLI::ExistingFile);
  sweep->add_option("--modes", modes, "the modes to sweep, comma separated")->default_val("1,2,3");
  sweep->add_option("--jobs", sweep_jobs, "parallel processes (default: the number of cores)");
  int sweep_reported = 20;
  sweep->add_option("--max-reported", sweep_reported, "failures printed in full")->default_val(20);
  bool list_knobs = false;
  sweep->add_flag("--list-knobs", list_knobs, "print every device knob with its scenario change, and stop");
  AddShardOptions(*sweep, sweep_shard);
  std::vector<std::string> merge_files;
  std::string merge_report;
  CLI::App* merge = app.add_subcommand("merge", "combine the --report-json reports of a batch's shards into the "
                                                "report of one run over the whole batch");
  merge->add_option("REPORT", merge_files, "shard reports")->required()->check(CLI::ExistingFile);
  merge->add_option("--report-json", merge_report, "write the merged report as JSON to FILE");
  app.require_subcommand(0, 1);
  app.allow_extras(false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    // _Exit does not flush: without this, --help into a pipe printed nothing.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(rc == 0 ? 0 : 2);
  }
  int status = 0;
  try {
    if (explore->parsed()) {
      status = RunExplore(ea, seeds, jobs, max_reported, explore_shard);
    } else if (merge->parsed()) {
      status = RunMerge(merge_files, merge_report);
    } else if (sweep->parsed() && list_knobs) {
      for (const auto& k : sim::DeviceKnobs()) std::cout << "# " << k.name << "\n" << k.overrides << "\n";
    } else if (sweep->parsed()) {
      sim::SweepOptions so;
      so.scenario_file = sa.scenario;
      so.jobs = std::max(1, sweep_jobs);
      so.max_reported = sweep_reported;
      so.progress = isatty(2);
      so.shard = *sim::ParseShard(sweep_shard.shard);
      so.report_json = sweep_shard.report_json;
      so.modes.clear();
      for (std::size_t p = 0; p <= modes.size();) {
        const std::size_t comma = std::min(modes.find(',', p), modes.size());
        if (comma > p) so.modes.push_back(modes.substr(p, comma - p));
        p = comma + 1;
      }
      const sim::SweepResult r = sim::Sweep(LoadScenario(sa), so);
      status = r.failures == 0 ? 0 : 5;
      if (!r.report_written) {
        std::cerr << "devsim sweep: cannot write the report to " << so.report_json << "\n";
        status = 2;
      }
    } else {
      status = RunOnce(a);
    }
  } catch (const sim::MergeError& e) {
    std::cerr << "devsim merge: " << e.what() << "\n";
    std::cout.flush();
    std::_Exit(2);
  } catch (const sim::ScenarioError& e) {
    std::cerr << "devsim: " << e.what() << "\n";
    std::cout.flush();
    std::_Exit(2);
  }
  std::cout.flush();
  std::cerr.flush();
  // The run's simulated threads stay parked; leave without tearing them down.
  std::_Exit(status);
}
