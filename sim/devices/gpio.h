// The board's GPIO lines. Lines 152 and 154 switch the GPS and Bluetooth battery rails; on a
// board that has it, driving the PMU power-off line 68 low as an output removes the power.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct GpioLine {
  int direction = 0;  // 0 input, 1 output
  int value = 1;
  int writes = 0;
};

class Gpio {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::uint32_t kGpsRail = 152;
  static constexpr std::uint32_t kBtRail = 154;
  static constexpr std::uint32_t kPmuOff = 68;

  // Reads [board] pmu_line (default true).
  void Configure(const Section& root);
  bool HasPmuLine() const { return pmu_line_; }
  GpioLine& Line(std::uint32_t n) { return lines_[n]; }
  const std::map<std::uint32_t, GpioLine>& Lines() const { return lines_; }
  // "dir 152=1", "set 152=0", ... in call order.
  std::vector<std::string> history;
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  bool pmu_line_ = true;
  std::map<std::uint32_t, GpioLine> lines_;
};

}  // namespace sim
