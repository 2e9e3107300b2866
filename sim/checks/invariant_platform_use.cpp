// No platform call is given an invalid handle or a buffer smaller than it says.
#include "sim/checks/invariants.h"

namespace sim {

void CheckPlatformUse(const RunView& run, std::vector<Violation>& out) {
  for (const Event& e : run.events) {
    // A device record "misuse.*" repeats what the call's own record carries.
    if (!e.IsCall()) continue;
    const Value* misuse = e.Get("misuse");
    if (misuse == nullptr) continue;
    out.push_back({"platform-use", std::string(e.op) + " on " + std::string(e.thread) + ": " + misuse->Shown()});
  }
}

const InvariantEntry kPlatformUse{{"platform-use", 80, CheckPlatformUse, false, {}}};

}  // namespace sim
