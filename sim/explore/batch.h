// Folder sim/explore/: many runs at once: the batch of child processes, seed exploration and the
// fault sweep. It may use sim/checks/ and everything below, not the views.
//
// Runs many handsets, each in its own child process, spread over worker processes on every
// core. Exploration and the fault sweep are built on it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/checks/checked_run.h"
#include "sim/devices/handset.h"

namespace sim {

struct BatchItem {
  const Scenario* scenario;
  RunOptions options;
  bool want_sites = false;  // report how often each fault site was consulted
  // When set, the run's child process builds its own scenario (and may change its options) from
  // `scenario`: a world drawn from the seed.
  std::function<Scenario(const Scenario& base, RunOptions& options)> world = nullptr;
};

// What one run reports back: seed, outcome, reason, the judged exit status, violations (the
// first five in full, the others counted by invariant in "violations_not_listed"), unmet
// expectations, fault rules that never fired, or crash when the child died.
using BatchResult = Json;

// Runs every item on `jobs` worker processes; calls `on_result` in the coordinating process for
// each finished run, in completion order. Shows a progress line on stderr when `progress`.
void RunBatch(const std::vector<BatchItem>& items, int jobs, bool progress,
              const std::function<void(std::size_t index, const BatchResult& result)>& on_result);

// Runs one item in this process, judged as RunBatch judges it, and describes its result (as
// RunBatch reports it, "index" being `index`). `reusable` tells whether the handset could be torn
// down, so that the process may run another item.
BatchResult RunItem(const BatchItem& item, std::size_t index, bool& reusable);

// True when a run crashed or was judged to fail (a non-zero status: an invariant broken, an
// expectation not met, stuck or at the time limit without the scenario expecting it).
bool RunFailed(const BatchResult& r);

// The failed run `r` as a report keeps it: `head` (what names the run) followed by the crash, or
// the outcome and its reason, then the violations, listed and not.
Json FailureRecord(const BatchResult& r, Json head);
// Adds the run's violations, listed and not, to `counts` (invariant name -> count).
void CountViolations(const BatchResult& r, Json& counts);
// "and 9 more: platform-use=3 single-sequence=6" for a failure whose "violations" do not list
// every violation (its "violations_not_listed"); "" when they do.
std::string NotListed(const Json& failure);

}  // namespace sim
