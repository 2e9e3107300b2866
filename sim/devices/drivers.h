// Drivers reached by device name: the LCD panel "SPI5:", the log dump "DMP1:" and the backlight
// "BKL1:". Each can be missing or refuse its control, as the scenario says.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct DriverState {
  std::string name;
  bool present = true;
  bool refuse = false;
  int opens = 0;
  int controls = 0;
};

class Drivers {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::uint32_t kIoctlSetDevicePower = 0x1000;
  static constexpr std::uint32_t kIoctlDumpLog = 0x00221000;

  // Reads [drivers] missing and refuse lists.
  void Configure(const Section& root);
  // The driver named `name` ("SPI5:"), present or not; null for names that are no device.
  DriverState* Find(const std::u16string& name);
  static bool IsDeviceName(const std::u16string& name);

  // LCD panel power state (0 = D0 on ... 4 = D4 off).
  int lcd_state = 0;
  std::vector<std::string> lcd_inputs;
  int log_dumps = 0;
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  std::map<std::string, DriverState> drivers_;
};

}  // namespace sim
