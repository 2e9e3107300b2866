// The run in the Chrome trace-event format (the JSON object form), which Perfetto and the
// Chromium trace viewer open: one track per simulated thread with its platform calls, waits,
// steps and trace lines, and the handset's state as counter tracks, on virtual time.
#pragma once

#include <string>

#include "sim/views/run_story.h"

namespace sim {

// The trace of `run` as {"traceEvents": [...], "displayTimeUnit": "ms", "otherData": {...}}.
// Process 1 "program" has a thread per simulated thread (named by "M" thread_name events) with
// each platform call as a complete ("X") slice (a wait as long as it blocked; the program routine
// behind the call in its args), the steps of the shutdown sequence as enclosing slices and the
// debug trace lines as instants. Process 2 "handset" has a counter track per part of the handset
// (LCD, backlight, radio, rails, PMU line, power state, vibrator, box) and the handset's own
// events as instants; moments that matter are global instants. Time stamps are virtual
// microseconds. Long runs of one repeated cycle of calls are folded into one slice.
Json ChromeTrace(const RunRecord& run);

// Writes ChromeTrace(run) to the file at `path`; false when the file could not be written.
bool WriteChromeTrace(const RunRecord& run, const std::string& path);

}  // namespace sim
