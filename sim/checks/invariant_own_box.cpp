// The program answers only the boxes it shows itself: the timeout's Yes goes to the prompt of
// its own process. A box of another instance of the program (which asks the same question under
// the same caption) is that instance's to answer: a Yes sent to it
// says Yes to a question this instance never asked, and leaves its own box standing with
// nobody left to time it out.
#include <map>
#include <string>

#include "sim/checks/invariants.h"

namespace sim {

void CheckOwnBox(const RunView& run, std::vector<Violation>& out) {
  const auto& sends = run.Calls("SendMessageW");
  if (sends.empty()) return;
  // The process that showed each box of the program, by window.
  std::map<std::string, std::uint32_t> shown_by;
  for (std::size_t i : run.Calls("MessageBoxW"))
    if (const Value* w = run.events[i].Get("window")) shown_by[w->Shown()] = run.events[i].pid;
  for (std::size_t i : sends) {
    const Event& send = run.events[i];
    if (run.Arg(i, "message") != "0x111" || run.Arg(i, "wparam") != "6") continue;
    // A log that does not say which process made each call (one recorded outside the simulator)
    // cannot tell the boxes apart.
    const auto it = shown_by.find(run.Arg(i, "window"));
    if (it == shown_by.end() || it->second == 0 || send.pid == 0 || it->second == send.pid) continue;
    out.push_back({"own-box", std::string(send.thread) + " answered the box '" + run.Arg(i, "title") +
                                  "' of another instance of the program (pid " + std::to_string(it->second) + ")"});
  }
}

const InvariantEntry kOwnBox{{"own-box", 126, CheckOwnBox, true, {}}};

}  // namespace sim
