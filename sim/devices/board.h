// The handset's board: the parts a scenario configures and the handset's own settings read with
// them, held in one value. A handset built again from the same scenario copies the board whole,
// so a part added here is configured, kept and reused with the others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/devices/drivers.h"
#include "sim/devices/files.h"
#include "sim/devices/gpio.h"
#include "sim/devices/leds.h"
#include "sim/devices/libraries.h"
#include "sim/devices/local_time.h"
#include "sim/devices/notification_db.h"
#include "sim/devices/power_manager.h"
#include "sim/devices/processes.h"
#include "sim/devices/radio.h"
#include "sim/devices/registry.h"
#include "sim/devices/resources.h"
#include "sim/devices/windows.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

// Everything the board holds is a value: copying a board copies the parts as they stand before
// a run (the named objects, shared between handles, and the timeline, whose actions belong to
// one handset, are the handset's own and stay out).
class Board {
 public:
  Registry registry;
  Resources resources;
  WindowManager windows;
  Drivers drivers;
  PowerManager power;
  Gpio gpio;
  Radio radio;
  Leds leds;
  LocalClock clock;
  FileSystem files;
  Libraries libraries;
  Processes processes;
  NotificationDb notifications;

  // Calls `visit(part)` for every part, in the order they are configured (a part that reads
  // another comes after it: processes after windows, notifications after the clock).
  template <class Self, class Visit>
  static void ForEachPart(Self& board, Visit&& visit) {
    visit(board.registry);
    visit(board.resources);
    visit(board.windows);
    visit(board.drivers);
    visit(board.power);
    visit(board.gpio);
    visit(board.radio);
    visit(board.leds);
    visit(board.clock);
    visit(board.files);
    visit(board.libraries);
    visit(board.processes);
    visit(board.notifications);
  }

 protected:
  // Reads [run], [program], [expect] and [faults] into the settings, checking each.
  void ReadSettings(const Section& root);
  // Reads every part's tables, checking each; throws ScenarioError on bad input.
  void ConfigureParts(const Section& root, const std::vector<std::string>& answers);

  Micros call_cost_ = 20;  // virtual time one platform call costs
  std::uint32_t program_pid_ = 0x2A4;
  std::vector<std::string> expected_outcomes_;
  std::vector<std::string> expected_args_;  // the program arguments the scenario is meant for
  std::string expected_ertc_;               // "YYYY-MM-DD hh:mm:ss" or "not written"
  std::vector<std::string> fault_rules_;    // the scenario's own ([faults] fail)
};

}  // namespace sim
