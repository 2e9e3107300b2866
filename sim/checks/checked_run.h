// A run judged: the invariants, the scenario's expectations and the exit status, decided in one
// place for the runner, the batch, `devsim check` and the tests. The handset itself knows nothing
// of the checkers; this is where its end state meets them.
#pragma once

#include <string>
#include <vector>

#include "sim/checks/invariants.h"
#include "sim/devices/handset.h"

namespace sim {

// What a judge makes of a finished run.
struct Judgement {
  std::vector<Violation> violations;  // every invariant the run broke, in checking order
  std::vector<std::string> unmet;     // the scenario's expectations the run did not meet
  // The runner's exit status: 5 when an invariant without a status of its own was broken (even
  // if the run also got stuck or hit the time limit) or an expectation was not met; else the
  // status of the broken invariant that has one (run-ends: 3 stuck, 4 at the time limit); else 0.
  int status = 0;
};

// The members of the summary that judging reads: those the invariants' table names and those of
// the expectations. Nothing else of the summary is shown to the checkers.
const std::vector<std::string>& JudgedMembers();

// The one judgement of a run: every invariant of the table over the event log and the judged
// members of `summary` (which may hold more), the expectations `summary` carries
// ("expected_outcomes", "expected_ertc"; take them out where they do not apply), and the status.
// With `log_alone`, only the invariants that need nothing but the log and the outcome.
Judgement Judge(const std::vector<Event>& events, const Json& summary, EndKind end, bool log_alone = false);

// Judges the finished run of `handset` on `summary` (its Summary or Verdict) and appends
// "violations": every invariant broken, each with its name and detail.
Judgement JudgeRun(const Handset& handset, Json& summary);

// How much of the summary a judged run keeps: all of it (Handset::Summary), or only the judged
// members (Handset::Verdict), which judge the same at a fraction of the cost.
enum class SummaryScope { kWhole, kVerdict };

// The handset's summary with "violations" (JudgeRun). `also` names members a verdict must keep
// besides the judged ones. Valid once the run has ended (or for a handset that was never run).
Json CheckedSummary(const Handset& handset, SummaryScope scope = SummaryScope::kWhole,
                    const std::vector<std::string>& also = {});

struct CheckedRun {
  Outcome outcome;                 // its exit_status is the judgement's
  Json summary;                    // CheckedSummary of the finished run
  std::vector<std::string> unmet;  // the expectations not met
};

// Runs `handset` to its end (Handset::Run) and judges the run.
CheckedRun RunChecked(Handset& handset, SummaryScope scope = SummaryScope::kWhole,
                      const std::vector<std::string>& also = {});

}  // namespace sim
