// devsim: runs the shutdown program on a simulated handset and shows what it did to the device.
// Option parsing and the commands live in runner/options.cpp and runner/*_command(s).cpp; this
// file wires them together and turns every failure into a message and an exit status.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "runner/check_log.h"
#include "runner/commands.h"
#include "runner/options.h"
#include "sim/views/report.h"

namespace {

constexpr const char* kVersion = "devsim 0.1.0";

// Flushes stdout and stderr; false when stdout could not take everything (a full disk, a
// closed pipe), so that a run whose output was lost does not end with status 0.
bool FlushOutput() {
  std::cout.flush();
  const bool ok = std::cout.good() && std::fflush(stdout) == 0 && !std::ferror(stdout);
  std::cerr.flush();
  return ok;
}

// Leaves without tearing down the run's simulated threads, which stay parked.
[[noreturn]] void Leave(int status) {
  if (!FlushOutput()) {
    std::fputs("devsim: cannot write the output\n", stderr);
    if (status == 0) status = 2;
  }
  std::_Exit(status);
}

// The option names of `app` ("--seed", "-q").
std::vector<std::string> OptionNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : app.get_options()) {
    for (const auto& l : opt->get_lnames()) names.push_back("--" + l);
  }
  return names;
}

// For a command line devsim could not parse: the first word that names no option or command,
// with the closest name; empty when every word is known.
std::string Unknown(const CLI::App& app, int argc, char** argv) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    commands.push_back(sub->get_name());
  const CLI::App* in = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (i == 1 && word[0] != '-') {
      if (std::find(commands.begin(), commands.end(), word) != commands.end()) {
        in = app.get_subcommand(word);
        continue;
      }
      const std::string closest = devsim::Closest(word, commands);
      if (!closest.empty() && std::none_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c); }))
        return "unknown command '" + word + "' (did you mean " + closest + "?)";
    }
    if (word.rfind("--", 0) != 0 || word.size() < 3) continue;
    const std::string name = word.substr(0, word.find('='));
    std::vector<std::string> names = OptionNames(*in);
    if (in != &app || std::find(names.begin(), names.end(), name) != names.end()) {
      std::vector<std::string> more = OptionNames(app);
      names.insert(names.end(), more.begin(), more.end());
    }
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    const std::string closest = devsim::Closest(name, names);
    return "unknown option " + name + (closest.empty() ? "" : " (did you mean " + closest + "?)");
  }
  return {};
}

// DEVSIM_KERNEL chooses how simulated threads are carried; a value that names no carrier is a
// mistake, not a wish for the default.
std::string KernelChoiceProblem() {
  const char* env = std::getenv("DEVSIM_KERNEL");
  if (env == nullptr || std::string(env) == "fibers" || std::string(env) == "threads") return {};
  return std::string("DEVSIM_KERNEL=") + sim::Printable(env) + ": expected fibers or threads";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the shutdown program on a simulated handset.\n"
      "ARGS form the program's command line: devsim 1 switches off at once, devsim 2 asks first,\n"
      "devsim 3 is the automatic shutdown. The run is deterministic: the same scenario and seed\n"
      "replay it exactly. `devsim explore` runs a scenario over many seeds and checks every run.",
      "devsim"};
  devsim::Args a;
  devsim::AddCommonOptions(app, a);
  devsim::AddSingleRunOptions(app, a);
  bool list_fault_sites = false;
  app.add_flag("--list-fault-sites", list_fault_sites,
               "print every operation that --fail can fail, the details "
               "it matched and how often each mode reaches it on the scenario, and stop");
  app.set_version_flag("--version", kVersion);

  devsim::ExploreArgs explore_args;
  explore_args.jobs = static_cast<int>(std::clamp(sysconf(_SC_NPROCESSORS_ONLN), 1L, long{devsim::kMaxJobs}));
  CLI::App* explore = devsim::AddExploreCommand(app, explore_args);
  devsim::SweepArgs sweep_args;
  sweep_args.jobs = explore_args.jobs;
  CLI::App* sweep = devsim::AddSweepCommand(app, sweep_args);
  devsim::MergeArgs merge_args;
  CLI::App* merge = devsim::AddMergeCommand(app, merge_args);
  devsim::DiffArgs diff_args;
  CLI::App* diff = devsim::AddDiffCommand(app, diff_args);
  std::string check_log;
  CLI::App* check = app.add_subcommand("check",
                                       "run the invariants that need only an event log over EVENTLOG "
                                       "(JSON Lines, as --events writes, e.g. a run under Wine)");
  check->add_option("EVENTLOG", check_log, "the event log")->required()->check(CLI::ExistingFile);
  app.require_subcommand(0, 1);
  app.allow_extras(false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (const std::string unknown = Unknown(app, argc, argv); !unknown.empty() && e.get_exit_code() != 0) {
      std::cerr << "devsim: " << unknown << "\n";
      Leave(2);
    }
    const int rc = app.exit(e);
    Leave(rc == 0 ? 0 : 2);
  }
  // What parses option by option but not together.
  std::string misuse = KernelChoiceProblem();
  if (misuse.empty() && explore->parsed()) misuse = devsim::Misuse(*explore, explore_args.common);
  if (misuse.empty() && !a.run.args.empty() && app.get_subcommands().size() == 1)
    misuse = app.get_subcommands().front()->get_name() + " takes no ARGS" +
             (sweep->parsed() ? "; --modes chooses the modes" : "") + " (ARGS given: " + a.run.args.front() + ")";
  if (misuse.empty() && app.get_subcommands().empty()) misuse = devsim::Misuse(app, a);
  if (!misuse.empty()) {
    std::cerr << "devsim: " << misuse << "\n";
    Leave(2);
  }
  int status = 0;
  try {
    if (check->parsed()) {
      status = RunCheckLog(check_log);
    } else if (explore->parsed()) {
      status = devsim::RunExplore(explore_args, *explore);
    } else if (sweep->parsed()) {
      status = devsim::RunSweep(sweep_args);
    } else if (merge->parsed()) {
      status = devsim::RunMerge(merge_args);
    } else if (diff->parsed()) {
      status = devsim::RunDiff(diff_args);
    } else if (list_fault_sites) {
      status = devsim::ListFaultSites(a);
    } else if (std::string err = devsim::CheckFailRules(a.run.fail); !err.empty()) {
      std::cerr << "devsim: " << err << "\n";
      status = 2;
    } else {
      status = devsim::RunOnce(a);
    }
  } catch (const sim::ScenarioError& e) {
    // Messages quote the scenario's own text, which must not drive the terminal.
    std::cerr << "devsim: " << sim::Printable(e.what()) << "\n";
    status = 2;
  }
  Leave(status);
}
