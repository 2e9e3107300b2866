// A picture of one run as a self-contained SVG document: a lane per simulated thread (platform
// calls, waits, the steps of the shutdown sequence, trace lines) and per part of the handset (its
// state over time), the moments that matter marked across the lanes, a time axis in virtual
// seconds, and the outcome in the title. It uses no scripts, external fonts or links, so it
// renders offline in any browser.
#pragma once

#include <string>
#include <string_view>

#include "sim/views/run_story.h"

namespace sim {

struct TimelineOptions {
  bool linear = false;  // one scale for the whole run instead of compressed quiet stretches
};

// The SVG document of `run`. Unless `options.linear`, stretches where nothing happens (a 60 s
// watchdog wait) are drawn compressed, with a break mark that gives their length. Each step is
// labelled with its duration; the scenario's outside events are moments.
std::string TimelineSvg(const RunRecord& run, const TimelineOptions& options = {});

// Writes TimelineSvg(run, options) to the file at `path`; false when the file could not be written.
bool WriteTimelineSvg(const RunRecord& run, const std::string& path, const TimelineOptions& options = {});

// `text` for XML character data and attribute values: markup characters escaped, invalid UTF-8
// replaced by U+FFFD, and characters that XML does not allow (control characters) dropped.
std::string XmlEscape(std::string_view text);

}  // namespace sim
