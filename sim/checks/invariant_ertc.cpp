// The ERTC is written once per shutdown sequence, before the LCD goes off: a handset that is
// switched off without its wake-up instant sleeps through its owner's alarm.
#include "sim/checks/invariants.h"

namespace sim {

void CheckErtcOncePerSequence(const RunView& run, std::vector<Violation>& out) {
  std::vector<std::size_t> writes;
  for (std::size_t i : run.Calls("KernelIoControl"))
    if (run.Arg(i, "in").rfind("0A 00 00 00", 0) == 0) writes.push_back(i);
  const auto runs = run.SequenceRuns();
  if (writes.size() > runs.size())
    out.push_back({"ertc-once", "the ERTC was written " + std::to_string(writes.size()) + " times for " +
                                    std::to_string(runs.size()) + " shutdown sequence(s)"});
  for (const auto& [start, end] : runs) {
    std::size_t lcd = end;
    for (std::size_t i : run.Calls("CreateFileW"))
      if (i > start && i < end && run.Arg(i, "name") == "SPI5:") {
        lcd = i;
        break;
      }
    if (lcd == end) continue;  // the sequence did not reach the LCD
    std::size_t before = 0;
    for (std::size_t w : writes) before += w > start && w < lcd ? 1 : 0;
    if (before != 1)
      out.push_back({"ertc-once", "the sequence switched the LCD off after " + std::to_string(before) +
                                      " ERTC writes instead of one"});
  }
}

const InvariantEntry kErtcOncePerSequence{{"ertc-once", 50, CheckErtcOncePerSequence, true, {}}};

}  // namespace sim
