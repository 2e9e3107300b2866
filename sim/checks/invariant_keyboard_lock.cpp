// A keyboard lock once installed is removed, and no key reaches an application while it is in
// force.
#include "sim/checks/invariants.h"

namespace sim {

void CheckKeyboardLock(const RunView& run, std::vector<Violation>& out) {
  for (std::size_t install : run.Calls("SetWindowsHookExW")) {
    const std::string hook = run.Result(install);
    if (hook.empty() || hook == "null") continue;
    std::size_t removed = run.events.size();
    for (std::size_t i : run.Calls("UnhookWindowsHookEx"))
      if (i > install && run.Arg(i, "hook") == hook) {
        removed = i;
        break;
      }
    const bool process_ended = !run.Device("process.exit").empty();
    if (removed == run.events.size() && process_ended)
      out.push_back({"keyboard-lock", "the keyboard lock " + hook + " was never removed"});
    for (std::size_t k : run.Device("keyboard.delivered")) {
      // A hook called with a negative code must pass the key on: that is no leak.
      if (run.Arg(k, "hook_code").rfind("-", 0) == 0) continue;
      if (k > install && k < removed)
        out.push_back({"keyboard-lock", "a key reached an application while the lock was in force"});
    }
  }
}

const InvariantEntry kKeyboardLock{{"keyboard-lock", 60, CheckKeyboardLock, false, {}}};

}  // namespace sim
