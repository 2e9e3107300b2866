// Notification LEDs of the handset, the vibrator among them (the LED whose cycle adjustment is
// -1). The scenario lists the LEDs and can make the count query, the supports query of one LED
// or the settings call fail; the times the vibrator is switched on and off are recorded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct Led {
  std::int32_t cycle_adjust = 0;
  bool supports_fails = false;  // the supports query of this LED fails
  bool settings_fails = false;  // the settings call for this LED fails
  int state = 0;                // 0 off, 1 on, 2 blink
  Micros on_since = 0;
  bool IsVibrator() const { return cycle_adjust == -1; }
};

// One time a vibrator was on; `off` is empty while it still is.
struct Vibration {
  std::uint32_t led = 0;
  Micros on = 0;
  std::optional<Micros> off;
};

class Leds {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr int kOff = 0;
  static constexpr int kOn = 1;
  static constexpr int kBlink = 2;

  // Reads [leds]: `leds = [{cycle_adjust = 0, supports_fails = false, settings_fails = false}, ...]`
  // and `count_fails`. Without the table the handset has no LEDs.
  void Configure(const Section& root);

  bool CountFails() const { return count_fails_; }
  std::uint32_t Count() const { return static_cast<std::uint32_t>(leds_.size()); }
  // The LED with number `n`, or null when the driver knows no such LED.
  Led* Find(std::uint32_t n);
  // Records a new state of LED `n` at virtual time `now` (the LED exists).
  void SetState(std::uint32_t n, int state, Micros now);

  // Adds "vibrator" (text such as "on 0.034 s–3.034 s") and "vibrations" (the intervals).
  // `out` has none of these members yet: they are appended, not looked up.
  void Summarize(Json& out) const;

 private:
  std::vector<Led> leds_;
  bool count_fails_ = false;
  std::vector<Vibration> vibrations_;
};

}  // namespace sim
