#include "sim/checks/checked_run.h"

#include "sim/checks/invariants.h"

namespace sim {

Json CheckedSummary(const Handset& handset, SummaryScope scope) {
  Json s = scope == SummaryScope::kWhole ? handset.Summary() : handset.Verdict();
  const RunView view{handset.events.Events(), s, handset.EndedAs(), handset.ExpectedOutcomes()};
  Json violations = Json::array();
  for (const Violation& v : CheckInvariants(view)) violations.push_back({{"invariant", v.invariant}, {"detail", v.detail}});
  s["violations"] = violations;
  return s;
}

CheckedRun RunChecked(Handset& handset, SummaryScope scope) {
  CheckedRun run{handset.Run(), {}};
  run.summary = CheckedSummary(handset, scope);
  if (run.outcome.exit_status == 0 && !run.summary["violations"].empty()) run.outcome.exit_status = 5;
  return run;
}

}  // namespace sim
