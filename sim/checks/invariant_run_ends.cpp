// The run ends: neither stuck nor at the time limit, unless the scenario expects it or a prompt
// stands for its user.
#include <algorithm>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

// An automatic prompt's box stands for its user: its timeout fired, the shutdown it started was
// refused because another run held the sequence's guard, and nobody has answered the box since.
// The main routine polls meanwhile, so the run never falls quiet: it ends at the time limit with
// the handset on and asking, which is what the program is meant to do.
bool PromptWaitsForItsUser(const RunView& run) {
  for (std::size_t i : run.Calls("CreateMutexW")) {
    const Event& create = run.events[i];
    const std::string_view instance = InstanceOf(create.thread);
    const Value* error = create.Get("last_error");
    if (create.thread.substr(instance.size()) != "AutoShutdownThread" || run.Arg(i, "name") != "NormalShutdown" ||
        error == nullptr || error->Number() != 183)
      continue;
    for (std::size_t b : run.Calls("MessageBoxW"))
      if (b < i && InstanceOf(run.events[b].thread) == instance && !run.events[b].Contains("result")) return true;
  }
  return false;
}

}  // namespace

void CheckRunEnds(const RunView& run, std::vector<Violation>& out) {
  const std::string outcome = run.summary.value("outcome", "");
  if (outcome != "stuck" && outcome != "time-limit") return;
  if (outcome == "time-limit" && PromptWaitsForItsUser(run)) return;
  const auto& allowed = run.expected_outcomes;
  if (std::find(allowed.begin(), allowed.end(), outcome) != allowed.end()) return;
  out.push_back({"run-ends", "the run ended " + outcome + ": " + run.summary.value("reason", "")});
}

// A run that breaks nothing else keeps the runner's own statuses: 3 stuck, 4 at the time limit.
int RunEndsStatus(const RunView& run) { return run.summary.value("outcome", "") == "stuck" ? 3 : 4; }

const InvariantEntry kRunEnds{{"run-ends", 10, CheckRunEnds, false, {"outcome", "reason"}, RunEndsStatus}};

}  // namespace sim
