#include "sim/checks/expectations.h"

namespace sim {

std::vector<std::string> UnmetExpectations(const Json& summary) {
  std::vector<std::string> unmet;
  const std::string outcome = summary.value("outcome", "");
  if (summary.contains("expected_outcomes") && !summary["expected_outcomes"].empty()) {
    std::string names;
    bool met = false;
    for (const auto& o : summary["expected_outcomes"]) {
      met |= o.get<std::string>() == outcome;
      names += (names.empty() ? "" : " or ") + o.get<std::string>();
    }
    if (!met) unmet.push_back("outcome " + outcome + ", expected " + names);
  }
  if (summary.contains("expected_ertc")) {
    const std::string want = summary["expected_ertc"].get<std::string>();
    const std::string got = summary.value("ertc", "not written");
    // "0x6DF35B70 (2008-06-15 07:00:00)" or "not written".
    const bool met = want == "not written" ? got == want : got.find("(" + want + ")") != std::string::npos;
    if (!met) unmet.push_back("ERTC wake-up " + got + ", expected " + want);
  }
  return unmet;
}

const std::vector<std::string>& ExpectationMembers() {
  static const std::vector<std::string> members = {"outcome", "expected_outcomes", "expected_ertc", "ertc"};
  return members;
}

}  // namespace sim
