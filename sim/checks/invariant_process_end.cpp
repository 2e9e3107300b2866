// A process of the program never ends while one of its own shutdown sequences is running: that would leave
// the handset half shut down (LCD dark, radio off, no suspend).
#include "sim/checks/invariants.h"

namespace sim {

void CheckProcessOutlivesSequence(const RunView& run, std::vector<Violation>& out) {
  const auto& exits = run.Device("process.exit");
  if (exits.empty()) return;
  // The first instance's exit names no pid: it is the pid of the run's first call.
  std::uint32_t first_pid = 0;
  for (const Event& e : run.events)
    if (e.IsCall()) {
      first_pid = e.pid;
      break;
    }
  for (std::size_t exit : exits) {
    const Json& detail = run.events[exit].detail;
    // The pid is in the record's detail, or on the record itself (a log recorded under Wine).
    std::uint32_t pid = run.events[exit].pid != 0 ? run.events[exit].pid : first_pid;
    if (detail.is_object() && detail.contains("pid")) pid = detail["pid"].get<std::uint32_t>();
    for (const auto& [start, end] : run.SequenceRuns()) {
      // A log that does not say which process made each call is taken as one process's.
      const std::uint32_t runner = run.events[start].pid;
      if (runner != 0 && pid != 0 && runner != pid) continue;
      if (start < exit && end > exit)
        out.push_back({"process-outlives-sequence", "the process ended while the sequence started on " +
                                                        std::string(run.events[start].thread) + " was still running"});
    }
  }
}

const InvariantEntry kProcessOutlivesSequence{
    {"process-outlives-sequence", 40, CheckProcessOutlivesSequence, true, {}}};

}  // namespace sim
