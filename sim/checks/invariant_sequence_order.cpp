// The shutdown sequence makes its platform requests in its documented order, each once: the
// backlight bypass event is created and set, unattended mode, the radio event, the ERTC, the
// animation, the LCD, the radio, an idle reset, the watchdog's event and thread, the keyboard
// lock, an idle reset, the applications, the lock removed, the kernel command, an idle reset,
// the radio closed, the log dump, the forced suspend and the mutex released. A step may be
// missing only where the step before it failed (no event to set, no lock to remove) or where the
// sequence never got that far (the power went, the run ended).
#include <map>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

// The steps as the event log shows them, in their order. Unnamed events and idle resets come
// more than once.
const std::vector<std::string>& Steps() {
  static const std::vector<std::string> kSteps = {"backlight bypass event",
                                                  "bypass event set",
                                                  "unattended mode",
                                                  "unnamed event",
                                                  "ERTC write",
                                                  "animation",
                                                  "LCD",
                                                  "radio",
                                                  "idle reset",
                                                  "unnamed event",
                                                  "watchdog thread",
                                                  "keyboard lock",
                                                  "idle reset",
                                                  "applications",
                                                  "keyboard lock removed",
                                                  "kernel command",
                                                  "idle reset",
                                                  "radio closed",
                                                  "log dump",
                                                  "forced suspend",
                                                  "mutex released"};
  return kSteps;
}

bool Failed(const std::string& result) { return result.empty() || result == "null" || result == "false"; }

// The step a call of the sequence's thread stands for, or "" for a call that is not one.
std::string StepOf(const RunView& run, std::size_t i, const std::string& mutex, const std::string& bypass) {
  const Event& e = run.events[i];
  const std::string_view op = e.op, caller = e.caller;
  if (op == "CreateEventW" && run.Arg(i, "name") == "BKL_BYPASSPOWERMSG") return "backlight bypass event";
  if (op == "SetEvent" && !bypass.empty() && run.Arg(i, "handle") == bypass) return "bypass event set";
  if (op == "PowerPolicyNotify" && caller == "NormalShutdown") return "unattended mode";
  const std::string name = run.Arg(i, "name");
  if (op == "CreateEventW" && caller == "NormalShutdown" && (name.empty() || name == "null")) return "unnamed event";
  if (op == "KernelIoControl") return run.Arg(i, "in").rfind("0A 00 00 00", 0) == 0 ? "ERTC write" : "kernel command";
  if (op == "RegistryGetString" && caller == "ShutDownAnimation") return "animation";
  if (op == "CreateFileW" && run.Arg(i, "name") == "SPI5:") return "LCD";
  if (op == "RIL_Initialize") return "radio";
  if (op == "SystemIdleTimerReset") return "idle reset";
  if (op == "CreateThread" && caller == "NormalShutdown") return "watchdog thread";
  if (op == "SetWindowsHookExW") return "keyboard lock";
  if (op == "CreateToolhelp32Snapshot") return "applications";
  if (op == "UnhookWindowsHookEx") return "keyboard lock removed";
  if (op == "RIL_Deinitialize") return "radio closed";
  if (op == "CreateFileW" && run.Arg(i, "name") == "DMP1:") return "log dump";
  if (op == "SetSystemPowerState") return "forced suspend";
  if (op == "ReleaseMutex" && run.Arg(i, "handle") == mutex) return "mutex released";
  return "";
}

// Checks one sequence run [start, end) against the documented order.
void CheckRun(const RunView& run, std::size_t start, std::size_t end, std::vector<Violation>& out) {
  const std::string_view thread = run.events[start].thread;
  const std::string mutex = run.Result(start);
  const auto& steps = Steps();
  std::size_t next = 0;  // the documented step expected next
  std::string bypass;
  bool bypass_failed = false, lock_failed = false;
  for (std::size_t i = start + 1; i < end; ++i) {
    const Event& e = run.events[i];
    if (!e.IsCall() || e.thread != thread) continue;
    const std::string step = StepOf(run, i, mutex, bypass);
    if (step.empty()) continue;
    // The animation reads up to three registry keys before it plays: one step.
    if (step == "animation" && next > 0 && steps[next - 1] == "animation") continue;
    // The watchdog's own log dump, run on this thread after the suspend when its thread could
    // not be started.
    if (step == "log dump" && next > 0 && steps[next - 1] == "forced suspend") continue;
    if (next >= steps.size()) {
      out.push_back({"sequence-order", "the sequence made its " + step + " request again after its end"});
      return;
    }
    // Steps that may be missing because the step they depend on failed.
    if (steps[next] == "bypass event set" && bypass_failed) ++next;
    if (steps[next] == "keyboard lock removed" && lock_failed) ++next;
    if (step != steps[next]) {
      out.push_back({"sequence-order", "the sequence made its " + step + " request where its " + steps[next] +
                                           " request was due (step " + std::to_string(next + 1) + ")"});
      return;
    }
    if (step == "backlight bypass event") {
      bypass = run.Result(i);
      bypass_failed = Failed(bypass);
    }
    if (step == "keyboard lock") lock_failed = Failed(run.Result(i));
    ++next;
  }
  // A sequence that ran to its end made every request.
  if (end < run.events.size() && next < steps.size())
    out.push_back({"sequence-order", "the sequence ended without its " + steps[next] + " request"});
}

}  // namespace

void CheckSequenceOrder(const RunView& run, std::vector<Violation>& out) {
  for (const auto& [start, end] : run.SequenceRuns()) CheckRun(run, start, end, out);
}

const InvariantEntry kSequenceOrder{{"sequence-order", 90, CheckSequenceOrder, false, {}}};

}  // namespace sim
