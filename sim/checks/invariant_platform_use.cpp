// No platform call is given an invalid handle or a buffer smaller than it says.
#include "sim/checks/invariants.h"

namespace sim {

void CheckPlatformUse(const RunView& run, std::vector<Violation>& out) {
  for (const auto& e : run.events) {
    if (!e.contains("misuse") && !(Text(e, "kind") == "device" && Text(e, "op").rfind("misuse.", 0) == 0))
      continue;
    if (Text(e, "kind") == "device") continue;  // the call's own record carries the detail
    out.push_back({"platform-use", e.value("op", "?") + " on " + e.value("thread", "?") + ": " +
                                       e["misuse"].get<std::string>()});
  }
}

}  // namespace sim
