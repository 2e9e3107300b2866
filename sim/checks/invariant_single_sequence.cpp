// The shutdown sequence's body runs at most once per handset: switching off twice would
// program the clock twice, take the radio down twice and run two watchdogs. That holds after a
// finished run too: when the forced suspend comes back the handset has been woken, and a late
// caller (a Yes given to a box the timeout could not find) must not switch it off again.
#include "sim/checks/invariants.h"

namespace sim {

void CheckSingleSequence(const RunView& run, std::vector<Violation>& out) {
  // The body begins with the backlight bypass event; nothing else creates it.
  std::vector<std::size_t> bodies;
  for (std::size_t i : run.Calls("CreateEventW"))
    if (run.Arg(i, "name") == "BKL_BYPASSPOWERMSG") bodies.push_back(i);
  if (bodies.size() <= 1) return;
  // Say which of the two faults it was: the guard let a second run in beside the first, or a
  // run began after another had ended.
  bool after_an_end = false;
  for (const auto& [start, end] : run.SequenceRuns())
    if (end < bodies.back()) after_an_end = true;
  out.push_back({"single-sequence",
                 "the shutdown sequence's body ran " + std::to_string(bodies.size()) + " times" +
                     (after_an_end ? ", again after a run had ended (the handset had come back from its suspend)"
                                   : ", beside a run under way")});
}

const InvariantEntry kSingleSequence{{"single-sequence", 20, CheckSingleSequence, true, {}}};

}  // namespace sim
