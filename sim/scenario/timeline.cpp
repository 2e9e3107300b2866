#include "sim/scenario/timeline.h"

namespace sim {

void Timeline::Register(const std::string& name, Parser parser) { parsers_[name] = std::move(parser); }

void Timeline::Configure(const Section& root) {
  for (const Section& entry : root.Tables("timeline")) {
    // `at_us` places an event between two platform calls, for tests of races.
    const Micros at = entry.Has("at_us") ? static_cast<Micros>(entry.Int("at_us", 0, 0, 1LL << 50))
                                         : entry.Ms("at_ms", 0) * kMicrosPerMs;
    // `jitter_us` moves the event by a seeded random offset in [-jitter, +jitter], so that
    // exploring seeds also explores when the outside world acts.
    const Micros jitter = static_cast<Micros>(entry.Int("jitter_us", 0, 0, 1LL << 40));
    if (!entry.Has("do")) entry.Fail("do", "missing: what happens at this time");
    const std::string what = entry.String("do", "");
    auto it = parsers_.find(what);
    if (it == parsers_.end()) {
      std::string known;
      for (const auto& [name, parser] : parsers_) known += (known.empty() ? "" : ", ") + name;
      entry.Fail("do", "unknown action '" + what + "' (known: " + known + ")");
    }
    Action action = it->second(entry);
    entry.CheckNoUnknownKeys();
    entries_.push_back(Entry{at, jitter, what, std::move(action)});
  }
}

void Timeline::Start(Kernel& kernel) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    kernel.At(Jittered(kernel.Random(), e.at, e.jitter), e.what, [this, i] {
      if (on_fire) on_fire(entries_[i].what, i);
      entries_[i].action();
    });
  }
}

Micros Jittered(Rng& rng, Micros at, Micros jitter) {
  if (jitter == 0) return at;
  const Micros offset = rng.Below(2 * jitter + 1);
  return at + offset >= jitter ? at + offset - jitter : 0;
}

}  // namespace sim
