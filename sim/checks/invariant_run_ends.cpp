// The run ends: neither stuck nor at the time limit, unless the scenario expects it.
#include <algorithm>

#include "sim/checks/invariants.h"

namespace sim {

void CheckRunEnds(const RunView& run, std::vector<Violation>& out) {
  const std::string outcome = run.summary.value("outcome", "");
  if (outcome != "stuck" && outcome != "time-limit") return;
  const auto& allowed = run.expected_outcomes;
  if (std::find(allowed.begin(), allowed.end(), outcome) != allowed.end()) return;
  out.push_back({"run-ends", "the run ended " + outcome + ": " + run.summary.value("reason", "")});
}

// A run that breaks nothing else keeps the runner's own statuses: 3 stuck, 4 at the time limit.
int RunEndsStatus(const RunView& run) { return run.summary.value("outcome", "") == "stuck" ? 3 : 4; }

const InvariantEntry kRunEnds{{"run-ends", 10, CheckRunEnds, false, {"outcome", "reason"}, RunEndsStatus}};

}  // namespace sim
