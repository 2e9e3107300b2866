// The shutdown sequence's body runs at most once per handset: switching off twice would
// program the clock twice, take the radio down twice and run two watchdogs.
#include "sim/checks/invariants.h"

namespace sim {

void CheckSingleSequence(const RunView& run, std::vector<Violation>& out) {
  // The body begins with the backlight bypass event; nothing else creates it.
  std::size_t bodies = 0;
  for (std::size_t i : run.Calls("CreateEventW"))
    if (run.Arg(i, "name") == "BKL_BYPASSPOWERMSG") ++bodies;
  if (bodies > 1)
    out.push_back({"single-sequence", "the shutdown sequence's body ran " + std::to_string(bodies) + " times"});
}

const InvariantEntry kSingleSequence{{"single-sequence", 20, CheckSingleSequence, true, {}}};

}  // namespace sim
