#include "sim/devices/board.h"

#include <type_traits>

namespace sim {

void Board::ReadSettings(const Section& root) {
  if (auto run = root.Table("run")) {
    run->Ms("time_limit_ms", 0);  // read by the kernel's schedule
    call_cost_ = static_cast<Micros>(run->Int("call_cost_us", 20, 1, 1000000));
    run->CheckNoUnknownKeys();
  }
  if (auto program = root.Table("program")) program_pid_ = program->U32("pid", program_pid_);
  if (auto expect = root.Table("expect")) {
    expected_outcomes_ = expect->Strings("outcome");
    expected_args_ = expect->Strings("args");
    expected_ertc_ = expect->String("ertc", "");
    for (const auto& o : expected_outcomes_)
      if (o != "off" && o != "suspended" && o != "on" && o != "stuck" && o != "time-limit")
        expect->Fail("outcome", "'" + o + "' is not one of: off, suspended, on, stuck, time-limit");
    expect->CheckNoUnknownKeys();
  }
  if (auto f = root.Table("faults")) {
    fault_rules_ = f->Strings("fail");
    f->CheckNoUnknownKeys();
  }
}

void Board::ConfigureParts(const Section& root, const std::vector<std::string>& answers) {
  ForEachPart(*this, [&](auto& part) {
    using Part = std::decay_t<decltype(part)>;
    if constexpr (std::is_same_v<Part, WindowManager>)
      part.Configure(root, answers);
    else if constexpr (std::is_same_v<Part, Processes>)
      part.Configure(root, windows);
    else if constexpr (std::is_same_v<Part, NotificationDb>)
      part.Configure(root, clock);
    else
      part.Configure(root);
  });
}

}  // namespace sim
