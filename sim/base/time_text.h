// Virtual time, in microseconds since the handset started, and its text for people: the one
// place where an instant or a duration becomes "1.25 s", "63 ms" or "20 µs".
#pragma once

#include <cstdint>
#include <string>

namespace sim {

using Micros = std::uint64_t;  // virtual time in microseconds since the handset started
inline constexpr Micros kMicrosPerMs = 1000;

// An instant in seconds with `decimals` decimals: "1.250 s".
std::string SecondsText(Micros at, int decimals = 3);

// How precisely DurationText writes a duration.
enum class DurationDigits {
  kHundredths,        // two decimals of its unit: "59.34 s", "997.25 ms"
  kThreeSignificant,  // at most three significant digits, for tight labels: "59.3 s", "997 ms"
};

// A duration in the largest unit that keeps it at least 1 (s, ms or µs), trailing zeros of the
// decimals dropped: "2.5 s", "63 ms", "20 µs".
std::string DurationText(Micros d, DurationDigits digits = DurationDigits::kHundredths);

}  // namespace sim
