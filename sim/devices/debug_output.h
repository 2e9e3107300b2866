// The kernel debug output of the handset. Each thread's text is assembled into lines, so that a
// failure traced as a tag without a line end followed by its message forms one line, as on the
// device's serial port; each finished line carries the virtual time and thread of its end.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/kernel.h"

namespace sim {

struct TraceLine {
  Micros at = 0;
  std::string thread;
  std::string text;  // UTF-8, without the line end
};

class DebugOutput {
 public:
  // Virtual time one character costs on the debug port (115,200 baud, 10 bits a character).
  static constexpr Micros kMicrosPerChar = 87;

  // Appends text (UTF-8) printed by `thread`; completes lines at each "\n".
  void Write(Micros at, const std::string& thread, std::string_view text);
  // Every completed line, in order.
  const std::vector<TraceLine>& Lines() const { return lines_; }
  // The raw output, as printed, in UTF-8.
  const std::string& Raw() const { return raw_; }
  // Lines still without their line end, per thread.
  std::vector<TraceLine> Pending() const;
  // Called for every completed line (the runner prints lines as they come).
  void OnLine(std::function<void(const TraceLine&)> sink) { sink_ = std::move(sink); }

 private:
  std::vector<TraceLine> lines_;
  std::map<std::string, std::string> partial_;
  std::string raw_;
  std::function<void(const TraceLine&)> sink_;
};

}  // namespace sim
