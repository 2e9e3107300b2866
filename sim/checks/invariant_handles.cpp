// At the end every handle the program opened is closed, except those it keeps by design: the
// mode mutexes, per shutdown sequence the radio and done events and the watchdog thread, the
// prompt's event unless a sequence ran to its end (which closes it), the prompt's thread while
// the prompt is parked (it is closed once the prompt returns), and the animation library. A
// handle beyond these is one the program dropped.
#include <map>
#include <set>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

// How many handles of each kept kind the run may leave open.
std::map<std::string, std::size_t> KeptByDesign(const RunView& run) {
  const auto runs = run.SequenceRuns();
  // A sequence closes the bypass event and the prompt's event just after its mutex; the power
  // can go in between, so they are judged only when the process itself ended.
  const bool process_ended = run.end == EndKind::kProcessEnded;
  std::size_t finished = 0;
  for (const auto& r : runs) finished += r.second < run.events.size() && process_ended ? 1 : 0;
  std::size_t prompt_notices = 0;
  for (std::size_t i : run.Calls("PowerPolicyNotify"))
    prompt_notices += run.events[i].caller == "AutoShutdownPrompt" ? 1 : 0;
  const bool prompt_returned = prompt_notices >= 2;  // it entered and left unattended mode
  return {
      {"NormalShutdown|an unnamed event", 2 * runs.size()},
      {"NormalShutdown|thread 'AnimTimeoutThread'", runs.size()},
      {"AutoShutdownPrompt|an unnamed event", finished == 0 ? 1 : 0},
      {"AutoShutdownPrompt|thread 'AutoShutdownThread'", prompt_returned ? 0 : 1},
      {"NormalShutdown|event 'BKL_BYPASSPOWERMSG'", process_ended ? 0 : runs.size()},
  };
}

bool AlwaysKept(const Json& h) {
  static const std::set<std::string> kModeMutexes = {"mutex 'LpShutDown'", "mutex 'UIShutDown'",
                                                     "mutex 'UIAutoShutDown'"};
  // The watchdog never returns: the end of the process or of the power cuts it wherever it
  // is, its own log dump included.
  return kModeMutexes.count(h.value("what", "")) > 0 || Text(h, "kind") == "module" ||
         Text(h, "thread") == "AnimTimeoutThread";
}

}  // namespace

void CheckHandlesClosed(const RunView& run, std::vector<Violation>& out) {
  // Only a process that ended, or a handset that went down with no step under way, is judged.
  if (run.end != EndKind::kProcessEnded) {
    for (const auto& [start, end] : run.SequenceRuns())
      if (end == run.events.size()) return;
    if (run.end != EndKind::kPowerLost && run.end != EndKind::kSuspended) return;
  }
  std::map<std::string, std::size_t> allowed = KeptByDesign(run);
  for (const auto& h : run.summary["handles_open"]) {
    if (AlwaysKept(h)) continue;
    auto kept = allowed.find(std::string(Text(h, "caller")) + "|" + h.value("what", ""));
    if (kept != allowed.end() && kept->second > 0) {
      --kept->second;
      continue;
    }
    out.push_back({"handles-closed", h.value("what", "?") + " opened by " + h.value("opened_by", "?") + " in " +
                                         h.value("caller", "?") + " was left open"});
  }
}

const InvariantEntry kHandlesClosed{{"handles-closed", 70, CheckHandlesClosed, false, {"handles_open"}}};

}  // namespace sim
