#include "sim/devices/board.h"

#include <cstdio>
#include <type_traits>

namespace sim {

namespace {

// True when `text` is a wake-up the ERTC can hold, written as the summary writes it: "not
// written", or a date and time "YYYY-MM-DD hh:mm:ss" from 1950-01-01 00:00:00 to
// 2086-02-06 06:28:15 (the ERTC counts seconds since 1950 in 32 bits).
bool IsErtcExpectation(const std::string& text) {
  if (text == "not written") return true;
  CivilTime t;
  if (text.size() != 19 || !ParseCivil(text, t)) return false;
  char canonical[32];
  std::snprintf(canonical, sizeof canonical, "%04d-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text == canonical && text >= "1950-01-01 00:00:00" && text <= "2086-02-06 06:28:15";
}

}  // namespace

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
    if (!expected_ertc_.empty() && !IsErtcExpectation(expected_ertc_))
      expect->Fail("ertc",
                   "expected \"not written\" or a date and time \"YYYY-MM-DD hh:mm:ss\" from 1950-01-01 00:00:00 to "
                   "2086-02-06 06:28:15");
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
