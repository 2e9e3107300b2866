// The process never ends while one of its own shutdown sequences is running: that would leave
// the handset half shut down (LCD dark, radio off, no suspend).
#include "sim/checks/invariants.h"

namespace sim {

void CheckProcessOutlivesSequence(const RunView& run, std::vector<Violation>& out) {
  const auto exits = run.Device("process.exit");
  if (exits.empty()) return;
  const std::size_t exit = exits.front();
  for (const auto& [start, end] : run.SequenceRuns()) {
    if (start < exit && end > exit)
      out.push_back({"process-outlives-sequence", "the process ended while the sequence started on " +
                                                      std::string(run.events[start].thread) + " was still running"});
  }
}

const InvariantEntry kProcessOutlivesSequence{
    {"process-outlives-sequence", 40, CheckProcessOutlivesSequence, true, {}}};

}  // namespace sim
