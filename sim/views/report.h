// Folder sim/views/: what a person sees of a run: the printed trace and summary, the run story,
// the Chrome trace, the SVG timeline and the box at the terminal. Views read the event log, the
// handset's state and the checks' verdict; nothing below includes them.
//
// Text forms of a run for people: the trace lines with virtual time and thread, and the summary
// of the handset's end state.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/devices/debug_output.h"
#include "sim/kernel/eventlog.h"

namespace sim {

// "   1.234 main              | text": virtual seconds, thread, the line as traced.
std::string FormatTraceLine(const TraceLine& line);

// Prints trace lines as they come, folding long runs of the same line from the same thread
// (a power-off loop on a board without the PMU line repeats one line many thousand times).
class TracePrinter {
 public:
  explicit TracePrinter(std::ostream& out) : out_(out) {}
  void Print(const TraceLine& line);
  void Flush();

 private:
  std::ostream& out_;
  std::string last_thread_, last_text_;
  long repeats_ = 0;
  TraceLine last_;
};

// The summary as text; the first line is "outcome: STATE (reason)".
void PrintSummary(std::ostream& out, const Json& summary);

// `text` safe to print on a terminal: control characters (escape sequences, NUL, C1 codes)
// become \xHH, except a line feed when `keep_newlines`.
std::string Printable(std::string_view text, bool keep_newlines = false);

// Completes the summary's boxes from the event log: who answered each and when ("answered_by",
// "answered_ms"), and lists under "unused_answers" the scripted answers (`scripted`, in box
// order) that no box took.
void AddBoxAnswers(Json& summary, const std::vector<Json>& events, const std::vector<std::string>& scripted);

// One platform call as a person reads it: "  13.017 AutoShutdownThread | AutoShutdown:
// SendMessageW(window=0x10050, ...) = 0 [blocked 1.2 ms]", injected faults marked.
std::string FormatCall(const Json& event);

}  // namespace sim
