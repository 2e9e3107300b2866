#include "sim/devices/gpio.h"

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

void Gpio::Configure(const Section& root) {
  for (std::uint32_t n : {kGpsRail, kBtRail, kPmuOff}) lines_[n] = GpioLine{1, 1, 0};
  if (auto b = root.Table("board")) {
    pmu_line_ = b->Bool("pmu_line", true);
    b->CheckNoUnknownKeys();
  }
}

void Gpio::Summarize(Json& out) const {
  auto rail = [&](std::uint32_t n) {
    auto it = lines_.find(n);
    const bool off = it != lines_.end() && it->second.direction == 1 && it->second.value == 0;
    return std::string(off ? "off" : "on");
  };
  Append(out, "gps_rail", rail(kGpsRail));
  Append(out, "bt_rail", rail(kBtRail));
  auto pmu = lines_.find(kPmuOff);
  Append(out, "pmu_line", !pmu_line_ ? "absent" : (pmu->second.writes ? "driven low" : "untouched"));
  Append(out, "pmu_writes", pmu->second.writes);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Gpio::Declared() {
  static const PartDeclaration kDeclared{{"GpioSetDirection", "GpioSetValue"},
                                         {},
                                         {{"board without the PMU line",
                                           "[board]\npmu_line = false\n[run]\ntime_limit_ms = "
                                           "100000\n[expect]\noutcome = [\"time-limit\", \"on\", \"suspended\"]\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

BOOL GpioSetDirection(DWORD dwGpio, DWORD dwDirection) {
  Call c("GpioSetDirection");
  c.Arg("gpio", dwGpio).Arg("direction", dwDirection);
  if (c.Injected(std::to_string(dwGpio))) return c.Return<BOOL>(FALSE, false);
  Handset& d = Dev();
  d.gpio.Line(dwGpio).direction = static_cast<int>(dwDirection);
  d.gpio.history.push_back("dir " + std::to_string(dwGpio) + "=" + std::to_string(dwDirection));
  return c.Return<BOOL>(TRUE, true);
}

BOOL GpioSetValue(DWORD dwGpio, DWORD dwValue) {
  Call c("GpioSetValue");
  c.Arg("gpio", dwGpio).Arg("value", dwValue);
  if (c.Injected(std::to_string(dwGpio))) return c.Return<BOOL>(FALSE, false);
  Handset& d = Dev();
  GpioLine& line = d.gpio.Line(dwGpio);
  line.value = static_cast<int>(dwValue);
  ++line.writes;
  d.gpio.history.push_back("set " + std::to_string(dwGpio) + "=" + std::to_string(dwValue));
  const bool driven_low = line.direction == 1 && dwValue == 0;
  if (driven_low && (dwGpio == Gpio::kGpsRail || dwGpio == Gpio::kBtRail) && line.writes == 1)
    d.Note("rail", dwGpio == Gpio::kGpsRail ? "gps_off" : "bt_off");
  if (driven_low && dwGpio == Gpio::kPmuOff && d.gpio.HasPmuLine()) {
    c.Done();
    d.Note("pmu", "power_off");
    d.kernel.End(EndKind::kPowerLost, "the PMU power-off line removed the power");
  }
  return c.Return<BOOL>(TRUE, true);
}
