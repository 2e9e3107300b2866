// A run judged by the invariants: what the runner, the batch and the tests take from a handset.
// The handset itself knows nothing of the checkers; this is where its end state meets them.
#pragma once

#include "sim/devices/handset.h"

namespace sim {

// How much of the summary a judged run keeps: all of it (Handset::Summary), or only the members
// the invariants and expectations read (Handset::Verdict), which judge the same at a fraction of
// the cost.
enum class SummaryScope { kWhole, kVerdict };

// The handset's summary with "violations": every invariant broken by the run, each with its
// name and detail. Valid once the run has ended (or for a handset that was never run).
Json CheckedSummary(const Handset& handset, SummaryScope scope = SummaryScope::kWhole);

struct CheckedRun {
  Outcome outcome;  // exit status 5 when the run ended normally but broke an invariant
  Json summary;     // CheckedSummary of the finished run
};

// Runs `handset` to its end (Handset::Run) and judges the run.
CheckedRun RunChecked(Handset& handset, SummaryScope scope = SummaryScope::kWhole);

}  // namespace sim
