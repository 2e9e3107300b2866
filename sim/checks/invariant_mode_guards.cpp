// A question's single-instance mutex ("UIShutDown", "UIAutoShutDown") is held until the shutdown
// that its answer started has returned: released earlier, a second instance could show its own
// box, be answered Yes and start a second sequence in between.
#include "sim/checks/invariants.h"

namespace sim {

void CheckModeGuards(const RunView& run, std::vector<Violation>& out) {
  const auto runs = run.SequenceRuns();
  for (std::size_t create : run.Calls("CreateMutexW")) {
    const std::string name = run.Arg(create, "name");
    if (name != "UIShutDown" && name != "UIAutoShutDown") continue;
    const std::string handle = run.Result(create);
    if (handle.empty() || handle == "null" || run.events[create].Contains("already_existed")) continue;
    const std::string_view thread = run.events[create].thread;
    std::size_t release = run.events.size();
    for (std::size_t i : run.Calls("ReleaseMutex"))
      if (i > create && run.Arg(i, "handle") == handle) {
        release = i;
        break;
      }
    for (const auto& [start, end] : runs) {
      if (start < create || run.events[start].thread != thread) continue;
      if (release < end)
        out.push_back({"mode-guards", "the mutex '" + name +
                                          "' was released while the sequence its answer started "
                                          "was still running"});
    }
  }
}

const InvariantEntry kModeGuards{{"mode-guards", 120, CheckModeGuards, false, {}}};

}  // namespace sim
