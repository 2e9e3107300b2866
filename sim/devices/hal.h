// The kernel's OEM I/O control: the kernel shutdown command and the external real-time clock
// (ERTC) wake-up register. The control checks its 8-byte input {command, value}.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"

namespace sim {

class Hal {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::uint32_t kIoctlOemCommand = 0x01013E80;
  static constexpr std::uint32_t kCmdShutdown = 1;
  static constexpr std::uint32_t kCmdWriteErtc = 10;

  struct ErtcWrite {
    std::uint32_t value;
    Micros at;
    bool lcd_was_on;  // the LCD had not yet been switched off when the ERTC was written
  };
  std::optional<std::uint32_t> ertc;  // the register; empty until written
  std::vector<ErtcWrite> ertc_writes;
  std::vector<Micros> kernel_shutdowns;
  std::vector<std::string> inputs;  // input bytes of every OEM command, in order

  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;
};

// "YYYY-MM-DD hh:mm:ss" of an ERTC value (seconds since 1950-01-01 00:00:00).
std::string ErtcDate(std::uint32_t seconds);

}  // namespace sim
