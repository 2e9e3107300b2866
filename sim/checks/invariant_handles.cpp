// At the end every handle the program opened is closed, except those it keeps by design: the
// mode mutexes, per shutdown sequence the radio and done events and the watchdog thread, the
// prompt's event unless a sequence ran to its end (which closes it), the prompt's thread while
// the prompt is parked (it is closed once the prompt returns), and the animation library. A
// handle beyond these is one the program dropped. Each instance of the program is judged by its
// own runs; what an instance that ended left open the system closed with its process.
#include <map>
#include <set>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

// How many handles of each kept kind the run may leave open, by instance, routine and object.
std::map<std::string, std::size_t> KeptByDesign(const RunView& run) {
  // A sequence closes the bypass event and the prompt's event just after its mutex; the power
  // can go in between, so they are judged only when the process itself ended.
  const bool process_ended = run.end == EndKind::kProcessEnded;
  std::map<std::string, std::size_t> runs, finished, prompt_notices;
  for (const auto& [start, end] : run.SequenceRuns()) {
    const std::string instance(InstanceOf(run.events[start].thread));
    ++runs[instance];
    finished[instance] += end < run.events.size() && process_ended ? 1 : 0;
  }
  for (std::size_t i : run.Calls("PowerPolicyNotify"))
    if (run.events[i].caller == "AutoShutdownPrompt") ++prompt_notices[std::string(InstanceOf(run.events[i].thread))];
  // An instance still waiting for the end of a call keeps its watch on the call count; another
  // instance may switch the handset off meanwhile.
  std::map<std::string, std::size_t> watching;
  for (std::size_t i : run.Calls("RegistryNotifyCallback"))
    if (run.events[i].caller == "MonitorPhoneState") ++watching[std::string(InstanceOf(run.events[i].thread))];
  for (std::size_t i : run.Calls("RegistryCloseNotification"))
    if (auto it = watching.find(std::string(InstanceOf(run.events[i].thread))); it != watching.end() && it->second)
      --it->second;
  std::map<std::string, std::size_t> kept;
  std::set<std::string> instances = {""};
  for (const auto& [instance, n] : runs) instances.insert(instance);
  for (const auto& [instance, n] : prompt_notices) instances.insert(instance);
  for (const auto& [instance, n] : watching) instances.insert(instance);
  for (const auto& h : run.summary["handles_open"]) instances.insert(std::string(InstanceOf(Text(h, "thread"))));
  for (const std::string& in : instances) {
    const bool prompt_returned = prompt_notices[in] >= 2;  // it entered and left unattended mode
    kept[in + "|NormalShutdown|an unnamed event"] = 2 * runs[in];
    kept[in + "|NormalShutdown|thread 'AnimTimeoutThread'"] = runs[in];
    kept[in + "|AutoShutdownPrompt|an unnamed event"] = finished[in] == 0 ? 1 : 0;
    kept[in + "|AutoShutdownPrompt|thread 'AutoShutdownThread'"] = prompt_returned ? 0 : 1;
    kept[in + "|NormalShutdown|event 'BKL_BYPASSPOWERMSG'"] = process_ended ? 0 : runs[in];
    if (!in.empty() || instances.size() > 1)
      kept[in + "|MonitorPhoneState|registry notification 'Active Call Count'"] = process_ended ? 0 : watching[in];
  }
  return kept;
}

bool AlwaysKept(const Json& h) {
  static const std::set<std::string> kModeMutexes = {"mutex 'LpShutDown'", "mutex 'UIShutDown'",
                                                     "mutex 'UIAutoShutDown'"};
  // The watchdog never returns: the end of the process or of the power cuts it wherever it
  // is, its own log dump included.
  const std::string_view thread = Text(h, "thread");
  return kModeMutexes.count(h.value("what", "")) > 0 || Text(h, "kind") == "module" ||
         thread.substr(InstanceOf(thread).size()) == "AnimTimeoutThread";
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
    const std::string instance(InstanceOf(Text(h, "thread")));
    auto kept = allowed.find(instance + "|" + std::string(Text(h, "caller")) + "|" + h.value("what", ""));
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
