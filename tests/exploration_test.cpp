// Exploration over thread orders and the fault sweep find nothing wrong with the program, and do
// find a broken platform guarantee (the canary).
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>

#include "sim/explore/fault_sweep.h"
#include "tests/harness.h"

namespace {

#ifdef HS_SANITIZED
constexpr const char* kRacySeeds = "1..20";
constexpr const char* kCanarySeeds = "1..60";
constexpr const char* kSweepModes = "--modes 1";
#else
constexpr const char* kRacySeeds = "1..150";
constexpr const char* kCanarySeeds = "1..1000";
constexpr const char* kSweepModes = "";
#endif

// Runs devsim with `args` and returns what it printed on stdout.
std::string Devsim(const std::string& args) { return testing_support::DevsimCommand(args).out; }

std::string Scenario(const char* name) { return std::string(HS_SOURCE_DIR) + "/scenarios/" + name; }

long Number(const std::string& text, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern))) return -1;
  return std::stol(m[1]);
}

}  // namespace

TEST(Exploration, RacyScenariosHoldEveryInvariant) {
  struct Case {
    const char* scenario;
    const char* mode;
    const char* scheduler;
  };
  for (const Case& c : std::vector<Case>{{"race_answer_timeout.toml", "3", ""},
                                         {"race_answer_timeout.toml", "3", "--pct"},
                                         {"race_radio_wait.toml", "1", ""},
                                         {"race_radio_wait.toml", "1", "--pct"},
                                         {"race_call_end_registration.toml", "3", ""},
                                         {"race_call_end_registration.toml", "3", "--pct"}}) {
    SCOPED_TRACE(std::string(c.scenario) + " " + c.scheduler);
    const std::string out = Devsim("explore --scenario " + Scenario(c.scenario) + " --seeds " + kRacySeeds + " " +
                                   c.scheduler + " -- " + c.mode);
    EXPECT_GT(Number(out, "explored (\\d+) seeds"), 0) << out;
    EXPECT_EQ(Number(out, "failing seeds: (\\d+)"), 0) << out;
  }
}

TEST(Exploration, CanaryBrokenMutexIsCaughtWithinAThousandSeeds) {
  // A platform that forgets to report an existing name lets both crossing callers run the
  // shutdown: the single-sequence invariant must notice.
  const std::string out =
      Devsim("explore --scenario " + Scenario("race_answer_timeout.toml") + " --seeds " + kCanarySeeds +
             " --max-reported 1 --fail CreateMutexW.already_exists_lost:NormalShutdown -- 3");
  EXPECT_GT(Number(out, "single-sequence=(\\d+)"), 0) << out;
  EXPECT_NE(out.find("replay: devsim --scenario"), std::string::npos) << out;
}

TEST(Exploration, FailuresComeWithAReplayThatReproducesThem) {
  const std::string out = Devsim(
      "explore --seeds 5..9 --max-reported 1 --fail CreateMutexW.already_exists_lost:NormalShutdown"
      " --scenario " +
      Scenario("race_answer_timeout.toml") + " -- 3");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("replay: devsim (.*)\n"))) << out;
  const std::string replay = Devsim(std::string("-q ") + m[1].str());
  EXPECT_NE(replay.find("INVARIANT VIOLATED"), std::string::npos) << replay;
}

TEST(FaultSweep, EveryKnobAndEveryFailedCallEndsCleanly) {
#if defined(__SANITIZE_THREAD__)
  // A failed call changes which branch the program takes, not how the kernel hands over between
  // threads, which is what ThreadSanitizer watches here; the ASan suite takes the sweep's runs.
  GTEST_SKIP() << "the sweep runs under AddressSanitizer and in the optimised build";
#endif
  const std::string out = Devsim(std::string("sweep --max-reported 5 ") + kSweepModes);
  EXPECT_EQ(Number(out, "; (\\d+) failing"), 0) << out;
  EXPECT_GT(Number(out, "fault sweep: (\\d+) runs"), 100) << out;
#ifndef HS_SANITIZED
  EXPECT_EQ(Number(out, "fault sites covered: (\\d+) of"), static_cast<long>(sim::FaultSiteOperations().size())) << out;
#endif
}

TEST(FaultSweep, EverySiteTheHandsetConsultsIsListed) {
  const std::set<std::string> listed(sim::FaultSiteOperations().begin(), sim::FaultSiteOperations().end());
  for (const auto& [mode, knob] :
       std::vector<std::pair<std::string, std::string>>{{"1", ""},
                                                        {"2", ""},
                                                        {"3", ""},
                                                        {"1", "no animation, sound file short on reading"},
                                                        {"3", "a call active that ends at 20 s"}}) {
    testing_support::RunSpec spec;
    spec.scenario = "base = \"builtin\"\n";
    for (const auto& k : sim::DeviceKnobs())
      if (k.name == knob) spec.scenario += k.overrides;
    spec.args = {mode};
    spec.answers = {"yes@1500"};
    spec.keep_events = false;
    const auto r = testing_support::RunProgram(spec);
    ASSERT_EQ(r.error, "");
    for (const auto& [op, n] : r.summary["fault_sites"].items()) EXPECT_TRUE(listed.count(op)) << op;
  }
}
