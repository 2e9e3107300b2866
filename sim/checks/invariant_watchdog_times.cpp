// The power-off watchdog takes the handset down only when its 60 seconds are out: a watchdog
// that cuts the power early (a failed wait not slept out, a shortened constant) switches a
// handset off under a sequence that is still closing its applications.
#include "sim/checks/invariants.h"

namespace sim {

namespace {

constexpr std::int64_t kWatchdogUs = 60'000'000;

bool TakesPowerDown(const RunView& run, std::size_t i) {
  const std::string_view op = run.events[i].op;
  return op == "SetDevicePower" || (op == "GpioSetValue" && run.Arg(i, "gpio") == "68");
}

}  // namespace

void CheckWatchdogTimes(const RunView& run, std::vector<Violation>& out) {
  std::int64_t started = -1;
  for (std::size_t i = 0; i < run.events.size(); ++i) {
    const Event& e = run.events[i];
    if (!e.IsCall() || e.thread != "AnimTimeoutThread") continue;
    const auto at = static_cast<std::int64_t>(e.t_us);
    if (started < 0) started = at;
    if (!TakesPowerDown(run, i)) continue;
    if (at - started < kWatchdogUs)
      out.push_back({"watchdog-times", "the watchdog took the power down " + std::to_string((at - started) / 1000) +
                                           " ms after it started instead of after 60,000 ms"});
    return;
  }
}

const InvariantEntry kWatchdogTimes{{"watchdog-times", 110, CheckWatchdogTimes, false, {}}};

}  // namespace sim
