// After No, with no timeout crossing the answer, the handset stays on: LCD, radio and power rails
// untouched, unless another instance of the program switched it off.
#include <algorithm>
#include <set>

#include "sim/checks/invariants.h"

namespace sim {

void CheckNoKeepsHandsetOn(const RunView& run, std::vector<Violation>& out) {
  // The instances that were answered No, less those whose timeout fired: a timeout may
  // legitimately switch the handset off whatever the answer.
  std::set<std::string_view> said_no;
  for (std::size_t i : run.Calls("MessageBoxW"))
    if (run.Result(i) == "IDNO") said_no.insert(InstanceOf(run.events[i].thread));
  for (std::size_t i : run.Calls("WaitForSingleObject")) {
    const std::string_view thread = run.events[i].thread;
    if (thread.substr(InstanceOf(thread).size()) == "AutoShutdownThread" && run.Result(i) == "WAIT_TIMEOUT")
      said_no.erase(InstanceOf(thread));
  }
  if (said_no.empty()) return;
  // Another instance of the program, asked or started anew, may switch the handset off; the one
  // that was told No may not.
  bool own = false, another = false;
  for (const auto& [start, end] : run.SequenceRuns())
    (said_no.count(InstanceOf(run.events[start].thread)) > 0 ? own : another) = true;
  if (another && !own) return;
  std::string touched;
  for (std::size_t i : run.Calls("DeviceIoControl"))
    if (run.Arg(i, "device") == "SPI5:") touched += " LCD";
  if (!run.Calls("RIL_DevSpecific").empty()) touched += " radio";
  if (!run.Calls("GpioSetValue").empty()) touched += " rails";
  if (!run.Calls("KernelIoControl").empty()) touched += " kernel";
  // A run at its time limit that the scenario expects has left the handset as it was, on.
  const std::string outcome = run.summary.value("outcome", "");
  const auto& expected = run.expected_outcomes;
  const bool expected_limit =
      outcome == "time-limit" && std::find(expected.begin(), expected.end(), outcome) != expected.end();
  if (outcome != "on" && !expected_limit) touched += " outcome=" + outcome;
  if (!touched.empty()) out.push_back({"no-keeps-on", "after No the handset was changed:" + touched});
}

const InvariantEntry kNoKeepsHandsetOn{{"no-keeps-on", 30, CheckNoKeepsHandsetOn, true, {"outcome"}}};

}  // namespace sim
