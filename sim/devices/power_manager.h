// The power manager: system power state requests (on, forced suspend), device power by name
// (the backlight "BKL1:"), unattended mode and idle-timer resets.
#pragma once

#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

class PowerManager {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Reads [power] suspend ("returns" or "ends_run") and suspend_returns_after_ms.
  void Configure(const Section& root);

  // What a forced suspend does.
  bool suspend_ends_run = false;
  Micros suspend_delay = 0;

  std::string system_state = "on";
  int suspends_requested = 0;
  int forced_on_requests = 0;
  int backlight_state = 0;  // D-state; 4 is off
  int unattended_level = 0;
  int unattended_enters = 0;
  int unattended_leaves = 0;
  int idle_resets = 0;
  std::vector<std::string> requests;

  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;
};

}  // namespace sim
