// devsim: runs the shutdown program on a simulated handset and shows what it did to the device.
// Option parsing and the commands live in runner/options.cpp and runner/*_command(s).cpp; this
// file wires them together and turns every failure into a message and an exit status.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs the shutdown program on a simulated handset.\n"
               "ARGS form the program's command line: devsim 1 switches off at once, devsim 2 asks first,\n"
               "devsim 3 is the automatic shutdown. The run is deterministic: the same scenario and seed\n"
               "replay it exactly. `devsim explore` runs a scenario over many seeds and checks every run.",
               "devsim"};
  devsim::Args a;
  devsim::AddCommonOptions(app, a);
  devsim::AddSingleRunOptions(app, a);
  bool list_fault_sites = false;
  app.add_flag("--list-fault-sites", list_fault_sites, "print every operation that --fail can fail, the details "
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
  CLI::App* check = app.add_subcommand("check", "run the invariants that need only an event log over EVENTLOG "
                                                "(JSON Lines, as --events writes, e.g. a run under Wine)");
  check->add_option("EVENTLOG", check_log, "the event log")->required()->check(CLI::ExistingFile);
  app.require_subcommand(0, 1);
  app.allow_extras(false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    Leave(rc == 0 ? 0 : 2);
  }
  int status = 0;
  try {
    if (check->parsed()) {
      status = RunCheckLog(check_log);
    } else if (explore->parsed()) {
      status = devsim::RunExplore(explore_args);
    } else if (sweep->parsed()) {
      status = devsim::RunSweep(sweep_args);
    } else if (merge->parsed()) {
      status = devsim::RunMerge(merge_args);
    } else if (diff->parsed()) {
      status = devsim::RunDiff(diff_args);
    } else if (list_fault_sites) {
      status = devsim::ListFaultSites(a);
    } else if (std::string err = devsim::CheckFailRules(a.fail); !err.empty()) {
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
