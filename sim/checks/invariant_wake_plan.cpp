// The ERTC is written with the wake-up instant that the handset's own plan gives from what the
// program could read: the alarm settings, the clock alarms it was handed and the local time. A
// read that a fault made fail is planned without, as the program had to do; a value the program
// could read and did not use, or a wrong choice between the alarm and the auto-boot, is caught.
#include "sim/checks/invariants.h"

namespace sim {

void CheckWakePlan(const RunView& run, std::vector<Violation>& out) {
  const auto agrees = run.summary.find("wake_plan_agrees");
  if (agrees == run.summary.end() || !agrees->is_boolean() || agrees->get<bool>()) return;
  out.push_back(
      {"wake-plan", "the ERTC write does not follow the wake plan: " + std::string(Text(run.summary, "wake_plan"))});
}

const InvariantEntry kWakePlan{{"wake-plan", 140, CheckWakePlan, false, {"wake_plan", "wake_plan_agrees"}}};

}  // namespace sim
