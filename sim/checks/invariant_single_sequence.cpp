// The shutdown sequence's body runs at most once per process, and never beside a run under way in
// another: switching off twice would program the clock twice, take the radio down twice and run
// two watchdogs. That holds after a finished run too: when the forced suspend comes back the
// handset has been woken, and a late caller of the same process (a Yes given to a box the timeout
// could not find) must not switch it off again. A new start of the program by the shell after
// that is a new request, and may.
#include "sim/checks/invariants.h"

namespace sim {

void CheckSingleSequence(const RunView& run, std::vector<Violation>& out) {
  // The body begins with the backlight bypass event; nothing else creates it.
  std::vector<std::size_t> bodies;
  for (std::size_t i : run.Calls("CreateEventW"))
    if (run.Arg(i, "name") == "BKL_BYPASSPOWERMSG") bodies.push_back(i);
  if (bodies.size() <= 1) return;
  // One process switches off once. Another instance, started by the shell after a sequence has
  // ended and the handset has come back, asks anew; but never while a sequence is under way.
  bool twice = false;
  for (std::size_t b = 1; b < bodies.size() && !twice; ++b) {
    const Event& body = run.events[bodies[b]];
    for (std::size_t a = 0; a < b; ++a) twice |= InstanceOf(run.events[bodies[a]].thread) == InstanceOf(body.thread);
    for (const auto& [start, end] : run.SequenceRuns())
      twice |= start < bodies[b] && bodies[b] < end && run.events[start].thread != body.thread;
  }
  if (!twice) return;
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
