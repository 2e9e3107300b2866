// The wake plan: when the ERTC is written, the handset works out on its own, from the alarm
// settings in the registry that the program could read (a read a fault failed is planned
// without), the notifications the program received and the local time it read, what the
// wake-up instant should be, what it is for and why, and says whether the value written and the
// use the program traced agree. The summary shows it in words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"

namespace sim {

class WakePlan {
 public:
  // Plans the wake-up for an ERTC write of `written` at virtual time `at`, from what the program
  // read since the previous write. Once a write disagreed, later ones leave that plan standing.
  void OnErtcWrite(std::uint32_t written, Micros at);

  // Adds "wake_plan" (the words), "wake_plan_value" (the instant the plan gives) and
  // "wake_plan_agrees" (the written value is that instant), once the ERTC was written.
  // `out` has none of these members yet: they are appended, not looked up.
  void Summarize(Json& out) const;

  const std::string& Text() const { return text_; }

 private:
  bool planned_ = false;
  std::string text_;
  std::uint32_t value_ = 0;
  bool agrees_ = true;
  std::size_t since_ = 0;  // the first event after the previous write: what this plan looks at
};

// The "AutoBootTime" grammar as the program reads it: "h:m" or "h:m:s", each piece read like
// the platform's decimal conversion and kept modulo 65,536; pieces longer than the program's
// storage (hour 3+, rest 10+, minute or second 3+ characters) are illegal. Nothing for illegal.
struct BootClock {
  std::uint16_t hour = 0, minute = 0, second = 0;
};
std::optional<BootClock> ParseBootClock(std::u16string_view text);

}  // namespace sim
