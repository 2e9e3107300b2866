// devsim check: the invariants that apply to an event log recorded outside the simulator.
#include "runner/check_log.h"

#include <fstream>
#include <iostream>

#include "sim/checks/checked_run.h"

namespace {

// The outcome as the log shows it: the power went (off), the forced suspend was requested
// (suspended), or neither (on).
std::string Outcome(const std::vector<sim::Json>& events) {
  std::string outcome = "on";
  for (const sim::Json& e : events) {
    const std::string op = e.value("op", "");
    if (op == "pmu.power_off" || op == "process.power_gone") return "off";
    if (op == "power.suspend") outcome = "suspended";
  }
  return outcome;
}

}  // namespace

int RunCheckLog(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << "devsim check: cannot read " << path << "\n";
    return 2;
  }
  std::vector<sim::Json> events;
  std::string line;
  for (std::size_t n = 1; std::getline(in, line); ++n) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    try {
      events.push_back(sim::Json::parse(line));
    } catch (const std::exception& e) {
      std::cerr << "devsim check: " << path << ":" << n << ": " << e.what() << "\n";
      return 2;
    }
  }
  const sim::Json summary = {{"outcome", Outcome(events)}};
  const std::vector<sim::Event> records = sim::EventsFromJson(events);
  const sim::Judgement judged = sim::Judge(records, summary, sim::EndKind::kNone, true);
  const std::vector<sim::Violation>& violations = judged.violations;
  for (const sim::Violation& v : violations)
    std::cout << "INVARIANT VIOLATED: " << v.invariant << ": " << v.detail << "\n";
  std::cout << events.size() << " events, outcome " << summary["outcome"].get<std::string>() << ", "
            << (violations.empty() ? "the invariants hold" : "invariants violated") << "\n";
  return judged.status;
}
