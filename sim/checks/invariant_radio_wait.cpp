// The sequence's wait for the radio ends when the radio reports that it is off: a report that
// went by while the wait ran on to its bound leaves the handset dark and waiting for nothing.
#include <sstream>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

constexpr std::uint32_t kRadioStateChanged = 0x00800001;
// A report needs a few calls' time to reach the event; one that comes within this much of the
// bound may lose to it.
constexpr Micros kHandOverUs = 10000;

std::uint32_t Word(const std::vector<std::uint32_t>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24;
}

// A whole power-off report: the state-change code, the state field marked valid, the state off.
bool IsPowerOffReport(const RunView& run, std::size_t i) {
  const std::string code = run.Arg(i, "code");
  if (code.empty() || std::stoul(code, nullptr, 16) != kRadioStateChanged) return false;
  std::istringstream hex(run.Arg(i, "payload"));
  std::vector<std::uint32_t> bytes;
  for (std::string b; hex >> b;) bytes.push_back(static_cast<std::uint32_t>(std::stoul(b, nullptr, 16)));
  return bytes.size() >= 12 && (Word(bytes, 4) & 1) != 0 && Word(bytes, 8) == 1;
}

}  // namespace

void CheckRadioWait(const RunView& run, std::vector<Violation>& out) {
  std::vector<std::size_t> reports;
  for (std::size_t n : run.Device("radio.notify"))
    if (IsPowerOffReport(run, n)) reports.push_back(n);
  if (reports.empty()) return;
  // A report whose hand-over failed (the radio thread's own calls failing) cannot end the wait.
  for (const Event& e : run.events)
    if (e.thread == "radio" && e.Flag("injected_fault")) return;
  for (const auto& [start, end] : run.SequenceRuns()) {
    const std::string_view thread = run.events[start].thread;
    for (std::size_t i : run.Calls("WaitForSingleObject")) {
      const Event& e = run.events[i];
      if (i < start || i >= end || e.thread != thread || run.Arg(i, "timeout_ms") != "15000") continue;
      if (run.Result(i) != "WAIT_TIMEOUT") continue;
      for (std::size_t n : reports)
        if (n > i && run.events[n].t_us + kHandOverUs < e.TimeOf("t_end_us"))
          out.push_back({"radio-wait", "the radio reported off at " + std::to_string(run.events[n].t_us / 1000) +
                                           " ms, yet the sequence waited out its bound"});
    }
  }
}

const InvariantEntry kRadioWait{{"radio-wait", 130, CheckRadioWait, false, {}}};

}  // namespace sim
