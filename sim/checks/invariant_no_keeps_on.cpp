// After No, with no timeout crossing the answer, the handset stays on: LCD, radio and power rails
// untouched.
#include "sim/checks/invariants.h"

namespace sim {

void CheckNoKeepsHandsetOn(const RunView& run, std::vector<Violation>& out) {
  bool answered_no = false;
  for (std::size_t i : run.Calls("MessageBoxW")) answered_no |= run.Result(i) == "IDNO";
  if (!answered_no) return;
  // A timeout that fired may legitimately switch the handset off whatever the answer.
  for (std::size_t i : run.Calls("WaitForSingleObject"))
    if (run.events[i].thread == "AutoShutdownThread" && run.Result(i) == "WAIT_TIMEOUT") return;
  std::string touched;
  for (std::size_t i : run.Calls("DeviceIoControl"))
    if (run.Arg(i, "device") == "SPI5:") touched += " LCD";
  if (!run.Calls("RIL_DevSpecific").empty()) touched += " radio";
  if (!run.Calls("GpioSetValue").empty()) touched += " rails";
  if (!run.Calls("KernelIoControl").empty()) touched += " kernel";
  if (run.summary.value("outcome", "") != "on") touched += " outcome=" + run.summary.value("outcome", "");
  if (!touched.empty()) out.push_back({"no-keeps-on", "after No the handset was changed:" + touched});
}

const InvariantEntry kNoKeepsHandsetOn{{"no-keeps-on", 30, CheckNoKeepsHandsetOn, true, {"outcome"}}};

}  // namespace sim
