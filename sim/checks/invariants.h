// Folder sim/checks/: the invariants, judged over a finished run from the event log and the
// handset's summary. It may use sim/devices/ and everything below; views and exploration use it.
//
// Invariants checked on every run: properties that must hold whatever the thread order and
// whatever the platform failed. Each checker lives in its own file (invariant_*.cpp beside this
// one), enters itself in the table below, and sees the whole run: its end, the summary members
// it names and the event log. checked_run.h judges a run by the table.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sim/devices/instances.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"

namespace sim {

struct Violation {
  std::string invariant;  // short name, e.g. "single-sequence"
  std::string detail;
};

// What a checker sees of a finished run. The records are indexed by kind and operation on first
// use, so that the checkers' many lookups do not each read the whole log again.
struct RunView {
  RunView(const std::vector<Event>& events, const Json& summary, EndKind end,
          std::vector<std::string> expected_outcomes = {})
      : events(events), summary(summary), end(end), expected_outcomes(std::move(expected_outcomes)) {}

  const std::vector<Event>& events;
  const Json& summary;
  EndKind end;
  std::vector<std::string> expected_outcomes;  // outcomes the scenario allows besides the usual

  // The platform calls named `op`, in order (indices into events).
  const std::vector<std::size_t>& Calls(std::string_view op) const;
  // The handset's own events "part.what", in order.
  const std::vector<std::size_t>& Device(std::string_view op) const;
  // Record i's argument `name` or its result as the checkers compare them: a text as it is,
  // anything else as its JSON ("15000", "true", "null"); "" when missing.
  std::string Arg(std::size_t i, std::string_view name) const;
  std::string Result(std::size_t i) const;
  // The shutdown sequence runs of this process: [start, end) event indices; end is
  // events.size() for a run still under way when the handset stopped.
  const std::vector<std::pair<std::size_t, std::size_t>>& SequenceRuns() const;

 private:
  struct Index {
    std::unordered_map<std::string_view, std::vector<std::size_t>> calls, devices;
    std::optional<std::vector<std::pair<std::size_t, std::size_t>>> sequence_runs;
  };
  const Index& Indexed() const;
  mutable std::shared_ptr<Index> index_;
};

// The text of member `key` of a JSON record (one of the summary's), or "" when it is missing or
// not text; no copy is made, so the view lives as long as the record.
inline std::string_view Text(const Json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() ? std::string_view(it->get_ref<const std::string&>())
                                               : std::string_view();
}

// The instance of the program that a thread belongs to, as the thread's name says: "" for the
// first (its threads are "main", "AutoShutdownThread"...), "2:" for the second ("2:main")...
inline std::string_view InstanceOf(std::string_view thread) {
  return thread.substr(0, ProgramInstances::InstanceOfThread(thread).prefix);
}

using Checker = void (*)(const RunView& run, std::vector<Violation>& out);

// One invariant as the table of invariants holds it. Each invariant_*.cpp enters its own with an
// InvariantEntry, so that adding an invariant touches its file, its test and its line in the
// README, and every judge of a run (devsim, the batch, devsim check) finds it in the table.
struct Invariant {
  std::string name;  // as its violations name it, e.g. "single-sequence"
  int order;         // its place in the checking order, which is the order violations are listed in
  Checker check;
  // It needs nothing but the event log (and the outcome, which the log shows), so `devsim check`
  // runs it over a log recorded outside the simulator.
  bool log_alone;
  // The members of the handset's summary it reads. A checker sees only the members that some
  // entry names, in devsim and in the explorer alike: one it forgets to name reads as missing.
  std::vector<std::string> reads;
  // Its own exit status for a run that breaks only this invariant (run-ends: 3 stuck, 4 at the
  // time limit); null: 5, as for every other.
  int (*status)(const RunView& run) = nullptr;
};

// Enters an invariant in the table when the program starts; a static object of its file.
struct InvariantEntry {
  explicit InvariantEntry(Invariant invariant);
};

// The table: every invariant, in checking order.
const std::vector<Invariant>& Invariants();

// Runs every checker of the table (only those of the log alone when `log_alone`) over `run`.
std::vector<Violation> CheckInvariants(const RunView& run, bool log_alone = false);

}  // namespace sim
