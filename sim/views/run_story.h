// What one finished run did, arranged for pictures of it: each thread's platform calls and
// waits, the trace lines, the handset's state over time, the shutdown sequence's steps and the
// moments that matter (a box shown, the radio going off, the watchdog firing, the power going).
// The Chrome trace and the SVG timeline are both drawn from it, so that they tell the same story.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/base/time_text.h"
#include "sim/devices/debug_output.h"
#include "sim/kernel/eventlog.h"

namespace sim {

// A finished run as the runner and the tests hold it: the event log, the debug trace lines and
// the summary (Handset::Summary()).
struct RunRecord {
  const std::vector<Json>& events;
  const std::vector<TraceLine>& lines;
  const Json& summary;
};

// One platform call on a thread, or a folded run of calls that repeat one short cycle.
struct CallSpan {
  std::string thread;
  Micros begin = 0;
  Micros end = 0;
  std::string op;                // a folded run: the operations of one cycle, joined by ", "
  std::string caller;            // the program routine that made the call
  bool wait = false;             // the thread was blocked in the call
  bool unfinished = false;       // still blocked when the run ended
  std::string waited_for;        // a wait: what it waited for, in words
  const Json* record = nullptr;  // the call's event (null for a folded run)
  std::size_t calls = 1;         // calls the span stands for
  std::size_t cycles = 0;        // a folded run: how many times the cycle repeated
};

// A trace line, or a folded run of the same line printed again and again by one thread.
struct LineMark {
  Micros at = 0;
  Micros last = 0;  // the last repeat of a folded run
  std::string thread;
  std::string text;
  std::size_t repeats = 1;
};

// One part of the handset's state over time, as small whole numbers (0 off, 1 on, ...).
struct StateTrack {
  std::string name;                             // "LCD"
  std::string series;                           // what the number counts ("on")
  std::vector<std::string> value_names;         // words for the values 0, 1, 2...
  std::vector<std::pair<Micros, int>> changes;  // the first one is the value at time 0
  // The word for `value` ("on"), or the number itself past the named values.
  std::string Name(int value) const;
};

// A step of the shutdown sequence (or of the prompt, or of the watchdog) on the thread that ran it.
struct Step {
  std::string name;  // "animation", "radio down (wait)", ...
  std::string thread;
  Micros begin = 0;
  Micros end = 0;
};

// A moment worth a line across the picture.
struct Moment {
  Micros at = 0;
  std::string label;  // "box 'Warning' shown"
  std::string kind;   // box, radio, timeout, power, ertc, process, key
};

struct RunStory {
  std::string command_line;
  std::string outcome;
  std::string reason;
  std::uint64_t seed = 0;
  Micros end = 0;                    // when the run ended (never 0)
  std::vector<std::string> threads;  // display order: main, the program's, the handset's
  std::vector<CallSpan> calls;       // grouped by thread in display order, by time within one
  std::vector<LineMark> lines;       // by time
  std::vector<StateTrack> states;
  std::vector<Step> steps;      // by time
  std::vector<Moment> moments;  // by time
  std::vector<const Json*> device_events;

  // Index of `thread` in `threads`, or -1.
  int ThreadIndex(const std::string& thread) const;
};

// Builds the story of `run`. Calls (and trace lines) of one thread that repeat one cycle of at
// most eight at least `fold_cycles` times in a row are folded: the first cycle stays, the others
// become one span (a board without the PMU line loops on its power-off for the rest of the run).
// The story points into `run.events`, which must outlive it.
RunStory BuildRunStory(const RunRecord& run, std::size_t fold_cycles);

}  // namespace sim
