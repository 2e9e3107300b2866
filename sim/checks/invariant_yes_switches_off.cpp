// A Yes, the person's or the one the prompt's timeout presses in the box, ends with the handset off or
// suspended, unless something the run was given explains why not: a failed platform call,
// another holder of one of the program's names, a device part that does not answer.
#include "sim/checks/invariants.h"

namespace sim {

namespace {

// What a run may have been given that keeps a Yes from switching the handset off.
bool Excused(const RunView& run) {
  for (const Event& e : run.events) {
    if (e.Flag("injected_fault") || e.Flag("already_existed")) return true;
  }
  return false;
}

}  // namespace

void CheckYesSwitchesOff(const RunView& run, std::vector<Violation>& out) {
  // The timeout's Yes reaches the box as the Yes command, so it too shows as a box that returned
  // Yes; a timeout that found the box already answered leaves the person's answer standing.
  std::string yes;
  for (std::size_t i : run.Calls("MessageBoxW"))
    if (run.Result(i) == "IDYES") yes = "the box was answered Yes";
  if (yes.empty()) return;
  const std::string outcome = run.summary.value("outcome", "");
  // A run that got stuck or hit its limit is judged by run-ends.
  if (outcome == "off" || outcome == "suspended" || outcome == "stuck" || outcome == "time-limit") return;
  if (Excused(run)) return;
  out.push_back({"yes-switches-off", yes + ", yet the handset ended " + outcome});
}

const InvariantEntry kYesSwitchesOff{{"yes-switches-off", 100, CheckYesSwitchesOff, false, {"outcome"}}};

}  // namespace sim
