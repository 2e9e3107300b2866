#include "sim/base/time_text.h"

#include <cstdio>

namespace sim {

std::string SecondsText(Micros at, int decimals) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f s", decimals, static_cast<double>(at) / 1e6);
  return buf;
}

std::string DurationText(Micros d, DurationDigits digits) {
  const char* unit = d >= 1000000 ? "s" : d >= 1000 ? "ms" : "\u00b5s";
  const double v = static_cast<double>(d) / (d >= 1000000 ? 1e6 : d >= 1000 ? 1e3 : 1);
  const int decimals = digits == DurationDigits::kHundredths ? 2 : v >= 100 ? 0 : v >= 10 ? 1 : 2;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string text = buf;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text + " " + unit;
}

}  // namespace sim
