// Commands over many runs: explore (one scenario over a range of seeds), sweep (every knob and
// fault site) and the list of fault sites.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "runner/commands.h"
#include "sim/base/text.h"
#include "sim/checks/checked_run.h"
#include "sim/explore/explore.h"
#include "sim/explore/fault_sweep.h"
#include "sim/explore/swarm.h"
#include "sim/explore/systematic.h"
#include "sim/views/report.h"

namespace devsim {

std::string InChild(const std::function<std::string()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return "crash: pipe failed";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    try {
      out = work();
    } catch (const std::exception& e) {
      out = std::string("crash: ") + e.what();
    }
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[8192];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return "crash: the child died";
  return out;
}

std::string ScenarioProblem(const sim::Scenario& scenario, const sim::RunOptions& options) {
  return InChild([&]() -> std::string {
    try {
      sim::Handset handset(scenario, options);
    } catch (const sim::ScenarioError& e) {
      return e.what();
    }
    std::fflush(nullptr);
    _exit(0);  // the handset is built; leave without tearing it down
  });
}

std::string ParseSeeds(const std::string& text, SeedRange& out) {
  const std::string usage = "--seeds " + text + ": expected FIRST..LAST, for example 1..20000";
  auto number = [](std::string_view s, std::uint64_t& v) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size();
  };
  const auto dots = text.find("..");
  std::uint64_t first = 0, last = 0;
  if (!number(std::string_view(text).substr(0, dots), first)) return usage;
  last = first;
  if (dots != std::string::npos && !number(std::string_view(text).substr(dots + 2), last)) return usage;
  if (last < first) return "--seeds " + text + ": the last seed is below the first";
  if (last - first >= kMaxSeedsAtOnce)
    return "--seeds " + text + ": at most " + std::to_string(kMaxSeedsAtOnce) + " seeds at once; split the range";
  out.first = first;
  out.count = last - first + 1;
  return {};
}

namespace {

// How many processes a batch runs on and how many failures it prints in full; the values the
// fields hold are the defaults.
void AddSizeOptions(CLI::App& app, int& jobs, int& max_reported) {
  app.add_option("--jobs", jobs, "parallel processes (default: the number of cores)")->check(WholeNumber(1, kMaxJobs));
  app.add_option("--max-reported", max_reported, "failures printed in full")
      ->default_val(max_reported)
      ->check(WholeNumber(0, 1000000));
}

void AddShardOptions(CLI::App& app, ShardArgs& s) {
  app.add_option("--shard", s.shard, "run only part K of N of the batch (K from 1), for spreading it over machines")
      ->check(
          [](const std::string& v) { return sim::ParseShard(v) ? std::string() : "expected K/N with 1 <= K <= N"; });
  app.add_option("--report-json", s.report_json, "write the report as JSON to FILE (devsim merge combines shards)")
      ->check(FileName());
}

}  // namespace

CLI::App* AddMergeCommand(CLI::App& app, MergeArgs& m) {
  CLI::App* merge = app.add_subcommand("merge",
                                       "combine the --report-json reports of a batch's shards into the "
                                       "report of one run over the whole batch");
  merge->add_option("REPORT", m.files, "shard reports")->required()->check(CLI::ExistingFile);
  merge->add_option("--report-json", m.report_json, "write the merged report as JSON to FILE")->check(FileName());
  return merge;
}

int RunMerge(const MergeArgs& m) {
  try {
    std::vector<sim::Json> reports;
    for (const auto& f : m.files) reports.push_back(sim::ReadReport(f));
    const sim::Json merged = sim::MergeReports(reports, m.files);
    if (merged["kind"] == "explore")
      sim::PrintExploreReport(merged, std::cout);
    else if (merged["kind"] == "sweep")
      sim::PrintSweepReport(merged, std::cout);
    else
      sim::PrintSystematicReport(merged, std::cout);
    if (!m.report_json.empty() && !sim::WriteReport(merged, m.report_json)) {
      std::cerr << "devsim merge: cannot write the report to " << m.report_json << "\n";
      return 2;
    }
    if (!merged["missing_shards"].empty()) return 2;
    return merged["failures"].get<std::uint64_t>() == 0 ? 0 : 5;
  } catch (const sim::MergeError& e) {
    std::cerr << "devsim merge: " << e.what() << "\n";
    return 2;
  } catch (const sim::Json::exception& e) {
    // Reports that each read well but do not fit together (a value of another type in one).
    std::cerr << "devsim merge: the reports do not fit together: " << e.what() << "\n";
    return 2;
  }
}

CLI::App* AddExploreCommand(CLI::App& app, ExploreArgs& e) {
  CLI::App* explore = app.add_subcommand("explore",
                                         "run a scenario over a range of seeds on every core and check "
                                         "the invariants of each run; prints a replay command per failure");
  AddCommonOptions(*explore, e.common);
  explore->add_option("--seeds", e.seeds, "FIRST..LAST")->default_val("1..1000");
  AddSizeOptions(*explore, e.jobs, e.max_reported);
  explore->add_flag("--swarm", e.swarm,
                    "each seed draws its own world on top of the scenario: mode (unless ARGS name "
                    "it), answers, call, radio, keys, other processes, alarms, faults");
  explore->add_option("--dump-scenario", e.dump_file,
                      "with --swarm: write the first seed's world to FILE as a scenario "
                      "that replays without the seed's world");
  explore->add_flag("--systematic", e.systematic,
                    "run every schedule with at most --preemptions preemptions, fewest first, instead "
                    "of seeds; prints a --schedule replay line per failure");
  explore->add_option("--preemptions", e.preemptions, "with --systematic: the bound K (default 2)")
      ->check(WholeNumber(0, 20));
  explore
      ->add_option("--max-schedules", e.max_schedules,
                   "with --systematic: stop after this many schedules (default 200000)")
      ->check(WholeNumber(1, 1000000000));
  explore
      ->add_option("--max-seconds", e.max_seconds,
                   "with --systematic: stop after this many seconds of wall time (default: no limit)")
      ->check(WholeNumber(1, 1000000));
  explore->add_flag("--no-reduction", e.no_reduction,
                    "with --systematic: run every order of the threads, even of steps that touch "
                    "nothing in common");
  AddShardOptions(*explore, e.shard);
  return explore;
}

namespace {

// The swarm: a world per seed over the scenario; `dump_file` receives the first seed's world.
bool SetUpSwarm(const Args& a, const std::string& dump_file, sim::ExploreOptions& o) {
  std::vector<std::string> modes;
  if (!a.run.args.empty()) modes.push_back(a.run.args.front());
  o.world = [modes](const sim::Scenario& base, sim::RunOptions& options) {
    const sim::SwarmWorld w = sim::DrawSwarmWorld(options.seed, modes);
    options.args = {w.mode};
    options.cmdline.reset();
    return sim::SwarmScenario(base, w, options.seed);
  };
  const sim::RunOptions given = o.base;
  o.world_report = [given, modes](std::uint64_t seed) { return sim::SwarmSeedReport(given, seed, modes); };
  if (dump_file.empty()) return true;
  const sim::DeviceKnob* knob = FindKnob(a.run.knob);
  const std::string text = sim::SwarmScenarioFile(given, knob ? knob->overrides : "",
                                                  sim::DrawSwarmWorld(o.first_seed, modes), o.first_seed);
  std::ofstream out(dump_file, std::ios::binary);
  out << text;
  out.flush();
  if (!out) std::cerr << "devsim explore: cannot write the scenario to " << dump_file << "\n";
  return static_cast<bool>(out);
}

// A report file that cannot be written is a usage error before the batch runs, not a surprise
// after it; the probe leaves an empty file that the batch's report replaces.
bool ReportWritable(const std::string& path, const char* command) {
  if (path.empty()) return true;
  std::ofstream probe(path, std::ios::app);
  if (probe) return true;
  std::cerr << "devsim " << command << ": cannot write the report to " << path << ": " << std::strerror(errno) << "\n";
  return false;
}

}  // namespace

namespace {

// What --systematic cannot be combined with, or "".
std::string SystematicMisuse(const ExploreArgs& e, const CLI::App& explore) {
  if (!e.systematic) {
    for (const char* name : {"--preemptions", "--max-schedules", "--max-seconds", "--no-reduction"})
      if (explore.count(name) != 0) return std::string(name) + " bounds --systematic; add --systematic";
    return {};
  }
  for (const char* name : {"--seeds", "--swarm", "--dump-scenario"})
    if (explore.count(name) != 0) return std::string(name) + " is not for --systematic, which runs no seeds";
  if (e.common.run.pct) return "--pct draws schedules at random; --systematic enumerates them: give one of them";
  return {};
}

// --systematic: the scenario's schedules up to the bound (this shard's part of them), in this
// process.
int RunSystematic(const ExploreArgs& e, const sim::Scenario& scenario, const sim::RunOptions& base) {
  sim::SystematicOptions o;
  o.base = base;
  o.preemptions = e.preemptions;
  o.max_schedules = e.max_schedules;
  o.max_seconds = e.max_seconds;
  o.reduce = !e.no_reduction;
  o.max_reported = e.max_reported;
  o.shard = *sim::ParseShard(e.shard.shard);
  o.report_json = e.shard.report_json;
  const sim::SystematicResult r = sim::ExploreSystematic(scenario, o, std::cout);
  if (!r.report_written) {
    std::cerr << "devsim explore: cannot write the report to " << o.report_json << "\n";
    return 2;
  }
  return r.failures == 0 ? 0 : 5;
}

}  // namespace

int RunExplore(const ExploreArgs& e, const CLI::App& explore) {
  const Args& a = e.common;
  if (std::string err = SystematicMisuse(e, explore); !err.empty()) {
    std::cerr << "devsim explore: " << err << "\n";
    return 2;
  }
  SeedRange range;
  if (std::string err = ParseSeeds(e.seeds, range); !err.empty()) {
    std::cerr << "devsim explore: " << err << "\n";
    return 2;
  }
  if (std::string err = CheckFailRules(a.run.fail); !err.empty()) {
    std::cerr << "devsim explore: " << err << "\n";
    return 2;
  }
  if (!e.dump_file.empty() && !e.swarm) {
    std::cerr << "devsim explore: --dump-scenario writes a swarm world; add --swarm\n";
    return 2;
  }
  if (!ReportWritable(e.shard.report_json, "explore")) return 2;
  sim::Scenario scenario = LoadScenario(a.run);
  sim::ExploreOptions o;
  o.first_seed = range.first;
  o.runs = range.count;
  o.jobs = e.jobs;
  o.base = ResolvedOptions(a.run, scenario);
  o.max_reported = e.max_reported;
  o.progress = isatty(2);
  // A scenario that cannot be built fails every seed the same way: say so once, at once.
  if (std::string err = ScenarioProblem(scenario, o.base); !err.empty()) {
    std::cerr << "devsim: " << sim::Printable(err) << "\n";
    return 2;
  }
  if (const std::string note = ForeignExpectations(a.run, scenario); !note.empty()) {
    std::cerr << "devsim explore: " << note << "; not checked\n";
    scenario = scenario.Overridden("[expect]\noutcome = []\nertc = \"\"\n", "explore");
  }
  if (e.systematic) return RunSystematic(e, scenario, o.base);
  if (e.swarm && !SetUpSwarm(a, e.dump_file, o)) return 2;
  if (!e.swarm)
    if (const std::string note = ModeNote(o.base); !note.empty()) std::cerr << "devsim explore: note: " << note << "\n";
  o.shard = *sim::ParseShard(e.shard.shard);
  o.report_json = e.shard.report_json;
  const sim::ExploreResult r = sim::Explore(scenario, o);
  if (!r.report_written) {
    std::cerr << "devsim explore: cannot write the report to " << e.shard.report_json << "\n";
    return 2;
  }
  return r.failures == 0 ? 0 : 5;
}

namespace {

// The sweep's faults change how a run ends on purpose: of the scenario's [expect] only the
// endings it allows (stuck, time-limit) stay; every normal ending is accepted and the ERTC is not
// compared.
sim::Scenario SweepScenario(const sim::Scenario& scenario) {
  auto expect = scenario.Root().Table("expect");
  if (!expect) return scenario;
  std::string outcomes = "\"off\", \"suspended\", \"on\"";
  for (const auto& o : expect->Strings("outcome"))
    if (o == "stuck" || o == "time-limit") outcomes += ", \"" + o + "\"";
  return scenario.Overridden("[expect]\noutcome = [" + outcomes + "]\nertc = \"\"\n", "sweep");
}

}  // namespace

CLI::App* AddSweepCommand(CLI::App& app, SweepArgs& s) {
  CLI::App* sweep = app.add_subcommand("sweep",
                                       "turn on every fault knob of the handset on its own and fail the N-th "
                                       "call of every platform operation, in each mode; checks every run");
  AddRunOption(*sweep, *sim::FindRunOption("--scenario"), s.common.run);
  sweep->add_option("--modes", s.modes, "the modes to sweep, comma separated (1, 2, 3)")->default_val("1,2,3");
  AddSizeOptions(*sweep, s.jobs, s.max_reported);
  sweep->add_flag("--list-knobs", s.list_knobs, "print every device knob with its scenario change, and stop");
  AddShardOptions(*sweep, s.shard);
  return sweep;
}

int RunSweep(const SweepArgs& s) {
  if (s.list_knobs) {
    for (const auto& k : sim::DeviceKnobs())
      std::cout << "# " << KnobSlug(k.name) << " (" << k.name << ")\n" << k.overrides << "\n";
    return 0;
  }
  sim::SweepOptions so;
  so.scenario_file = s.common.run.scenario_file;
  so.jobs = s.jobs;
  so.max_reported = s.max_reported;
  so.progress = isatty(2);
  so.shard = *sim::ParseShard(s.shard.shard);
  so.report_json = s.shard.report_json;
  if (!ReportWritable(so.report_json, "sweep")) return 2;
  so.modes.clear();
  for (std::size_t p = 0; p <= s.modes.size();) {
    const std::size_t comma = std::min(s.modes.find(',', p), s.modes.size());
    const std::string mode = s.modes.substr(p, comma - p);
    if (mode != "1" && mode != "2" && mode != "3") {
      std::cerr << "devsim sweep: --modes " << s.modes << ": '" << mode << "' is not a mode (1, 2 or 3)\n";
      return 2;
    }
    if (std::find(so.modes.begin(), so.modes.end(), mode) == so.modes.end()) so.modes.push_back(mode);
    p = comma + 1;
  }
  // Checked before any change is laid over it: a laid-over copy no longer knows its lines.
  const sim::Scenario loaded = LoadScenario(s.common.run);
  for (const auto& mode : so.modes) {
    sim::RunOptions opts;
    opts.args = {mode};
    if (std::string err = ScenarioProblem(loaded, opts); !err.empty()) {
      std::cerr << "devsim: " << sim::Printable(err) << "\n";
      return 2;
    }
  }
  const sim::Scenario scenario = SweepScenario(loaded);
  const sim::SweepResult r = sim::Sweep(scenario, so);
  if (!r.report_written) {
    std::cerr << "devsim sweep: cannot write the report to " << so.report_json << "\n";
    return 2;
  }
  return r.failures == 0 ? 0 : 5;
}

namespace {

// One clean run of `mode` in a child: which sites it consulted ("Op" counts, "Op:detail" seen).
sim::Json SitesOfMode(const sim::Scenario& scenario, const std::string& mode) {
  const std::string text = InChild([&]() -> std::string {
    sim::RunOptions opts;
    opts.args = {mode};
    if (mode == "2") opts.answers = {"yes@1500"};
    auto* handset = new sim::Handset(scenario, opts);  // its threads stay parked until the child exits
    sim::RunChecked(*handset);
    sim::Json out{{"counts", handset->faults.Consultations()}, {"seen", handset->faults.SitesSeen()}};
    return out.dump(-1, ' ', false, sim::Json::error_handler_t::replace);
  });
  if (text.empty() || text.front() != '{') throw sim::ScenarioError(text.empty() ? "the run failed" : text);
  return sim::Json::parse(text);
}

}  // namespace

int ListFaultSites(const Args& a) {
  const sim::Scenario scenario = LoadScenario(a.run);
  const std::vector<std::string> modes = {"1", "2", "3"};
  std::vector<sim::Json> per_mode;
  for (const auto& m : modes) per_mode.push_back(SitesOfMode(scenario, m));
  std::cout << "operation                     calls reached in mode 1 / 2 / 3   details matched (OP:DETAIL)\n";
  for (const auto& op : sim::FaultSiteOperations()) {
    std::string counts;
    std::set<std::string> details;
    for (const auto& site : per_mode) {
      counts += (counts.empty() ? "" : " / ") + std::to_string(site["counts"].value(op, 0L));
      for (const auto& s : site["seen"]) {
        const std::string text = s.get<std::string>();
        if (text.rfind(op + ":", 0) == 0) details.insert(text.substr(op.size() + 1));
      }
    }
    std::string names;
    for (const auto& d : details) names += (names.empty() ? "" : ", ") + d;
    char head[96];
    std::snprintf(head, sizeof head, "%-30s%-35s", op.c_str(), counts.c_str());
    std::cout << sim::Printable(std::string(head) + names) << "\n";
  }
  for (const auto& b : PlatformGuaranteeBreakers())
    std::cout << b << " (breaks a platform guarantee instead of failing a call, for testing the checks)\n";
  std::cout << "mode 2 is run with --answer yes@1500; a count of 0 means the mode never reaches the site on this "
               "scenario\n";
  return 0;
}

}  // namespace devsim
