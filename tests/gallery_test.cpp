// Every scenario of the gallery runs with the outcome it documents, keeps every invariant, and
// programs the ERTC as it says.
#include <gtest/gtest.h>

#include <toml++/toml.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/harness.h"

TEST(Gallery, EveryScenarioEndsAsItSays) {
  int checked = 0;
  const std::filesystem::path folder = std::filesystem::path(HS_SOURCE_DIR) / "scenarios";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const auto path = entry.path();
    if (path.extension() != ".toml" || path.filename() == "builtin.toml") continue;
    SCOPED_TRACE(path.filename().string());
    const toml::table t = toml::parse_file(path.string());
    const auto* args = t["expect"]["args"].as_array();
    ASSERT_NE(args, nullptr) << "a gallery scenario names its program arguments in [expect] args";
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    testing_support::RunSpec spec;
    spec.scenario = text.str();
    for (const auto& a : *args) spec.args.push_back(a.value_or(std::string()));
    spec.keep_events = false;
    const auto r = testing_support::RunProgram(spec);
    ASSERT_EQ(r.error, "");
    bool met = false;
    for (const auto& o : r.summary["expected_outcomes"]) met |= o == r.outcome;
    EXPECT_TRUE(met) << "ended " << r.outcome << ": " << r.summary["reason"];
    EXPECT_TRUE(r.summary["violations"].empty()) << r.summary["violations"].dump(2);
    if (r.summary.contains("expected_ertc")) {
      const std::string ertc = r.summary.value("ertc", "");
      EXPECT_NE(ertc.find(r.summary["expected_ertc"].get<std::string>()), std::string::npos) << ertc;
    }
    ++checked;
  }
  EXPECT_GE(checked, 13);
}
