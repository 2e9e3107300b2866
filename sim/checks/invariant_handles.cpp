// At the end every handle the program opened is closed, except those it keeps by design: the
// mode mutexes, the radio and done events, the watchdog thread, the prompt's event and thread
// where the prompt is left parked, and the animation library.
#include <set>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

bool KeptByDesign(const Json& h) {
  static const std::set<std::string> kModeMutexes = {"mutex 'LpShutDown'", "mutex 'UIShutDown'",
                                                     "mutex 'UIAutoShutDown'"};
  const std::string what = h.value("what", "");
  const std::string kind = h.value("kind", "");
  const std::string caller = h.value("caller", "");
  if (kModeMutexes.count(what)) return true;
  if (caller == "NormalShutdown" && (what == "an unnamed event" || what == "thread 'AnimTimeoutThread'")) return true;
  if (caller == "AutoShutdownPrompt" && (what == "an unnamed event" || what == "thread 'AutoShutdownThread'"))
    return true;
  if (kind == "module") return true;
  return false;
}

}  // namespace

void CheckHandlesClosed(const RunView& run, std::vector<Violation>& out) {
  // Only a process that ended, or a handset that went down with no step under way, is judged.
  if (run.end != EndKind::kProcessEnded) {
    for (const auto& [start, end] : run.SequenceRuns())
      if (end == run.events.size()) return;
    if (run.end != EndKind::kPowerLost && run.end != EndKind::kSuspended) return;
  }
  for (const auto& h : run.summary["handles_open"]) {
    if (KeptByDesign(h)) continue;
    out.push_back({"handles-closed", h.value("what", "?") + " opened by " + h.value("opened_by", "?") + " in " +
                                         h.value("caller", "?") + " was left open"});
  }
}

}  // namespace sim
