// What the handset's parts declare about themselves (fault sites, device knobs, the radio's
// confirm modes) and the run settings the board reads: each is read where it is used.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <set>

#include "sim/devices/part_declarations.h"
#include "sim/devices/radio.h"
#include "tests/harness.h"

namespace {

// Runs devsim with `args`; returns what it printed on stdout and stderr, and its status.
std::pair<std::string, int> Devsim(const std::string& args) {
  const std::string cmd = std::string(HS_DEVSIM) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  while (p && fgets(buf, sizeof buf, p)) out += buf;
  const int status = p ? pclose(p) : -1;
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

long Number(const std::string& text, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern))) return -1;
  return std::stol(m[1]);
}

std::string Scenario(const char* name) { return std::string(HS_SOURCE_DIR) + "/scenarios/" + name; }

}  // namespace

TEST(CallCost, EveryPlatformCallMovesTheClockByTheScenariosCost) {
  struct Case {
    const char* run;  // the [run] table laid over the built-in handset
    long factor;      // how the run's length compares with the default's
  };
  const auto plain = testing_support::RunBuiltin("", {"2"}, {"yes@1500"});
  ASSERT_EQ(plain.error, "");
  const long plain_us = plain.summary["ended_us"].get<long>();
  for (const Case& c : std::vector<Case>{
           {"[run]\ncall_cost_us = 20\n", 0}, {"[run]\ncall_cost_us = 400\n", 1}, {"[run]\ncall_cost_us = 1\n", -1}}) {
    SCOPED_TRACE(c.run);
    const auto r = testing_support::RunBuiltin(c.run, {"2"}, {"yes@1500"});
    ASSERT_EQ(r.error, "");
    const long us = r.summary["ended_us"].get<long>();
    EXPECT_EQ(us < plain_us ? -1 : us > plain_us ? 1 : 0, c.factor) << us << " against " << plain_us;
  }
}

TEST(PartDeclarations, KnobsAreNamedOnceAndEachFitsTheBuiltInHandset) {
  std::set<std::string> names;
  for (const sim::DeviceKnob& k : sim::DeviceKnobs()) {
    EXPECT_TRUE(names.insert(k.name).second) << "knob declared twice: " << k.name;
    EXPECT_NO_THROW(sim::Scenario::Builtin().Overridden(k.overrides, "knob '" + k.name + "'")) << k.name;
  }
  // Every confirm mode of the radio that spoils its report is a knob of its own.
  for (std::size_t m = 1; m < sim::Radio::ConfirmModes().size(); ++m) {
    const std::string overrides = "[radio]\nconfirm = \"" + sim::Radio::ConfirmModes()[m] + "\"\n";
    long knobs = 0;
    for (const sim::DeviceKnob& k : sim::DeviceKnobs()) knobs += k.overrides == overrides ? 1 : 0;
    EXPECT_EQ(knobs, 1) << sim::Radio::ConfirmModes()[m];
  }
  EXPECT_EQ(sim::Radio::ConfirmModes().front(), "off");
  const std::set<std::string> sites(sim::FaultSiteOperations().begin(), sim::FaultSiteOperations().end());
  EXPECT_EQ(sites.size(), sim::FaultSiteOperations().size()) << "a fault site declared by two parts";
  for (const std::string& b : sim::GuaranteeBreakingSites())
    EXPECT_TRUE(sites.count(b.substr(0, b.find('.')))) << b << " breaks an operation no part declares";
}

TEST(PartDeclarations, AnUnknownKnobIsNamedOnOneLineWithTheKnobs) {
  const auto [out, status] = Devsim("--knob radio-never-confirm -- 1");
  EXPECT_EQ(status, 2) << out;
  EXPECT_EQ(out.find("\\x0A"), std::string::npos) << out;
  EXPECT_NE(out.find("did you mean radio-never-confirms?"), std::string::npos) << out;
  EXPECT_NE(out.find("radio-never-confirms, radio-reports-another-state"), std::string::npos) << out;
}

#ifndef HS_SANITIZED
TEST(FaultSweep, CoversTheSweepsOwnFaultsWhenTheScenarioHasFaultsOfItsOwn) {
  // The scenario's rule never fires; the sweep's rules do, and count as covered.
  const std::string file = testing::TempDir() + "own_faults.toml";
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("base = \"builtin\"\n[faults]\nfail = [\"CreateMutexW:NoSuchName\"]\n", f);
  std::fclose(f);
  const auto [out, status] = Devsim("sweep --modes 1 --max-reported 3 --scenario " + file);
  EXPECT_EQ(status, 0) << out;
  EXPECT_GT(Number(out, "fault sites covered: (\\d+) of"), 30) << out;
}

TEST(FaultSweep, AMode3PromptWithoutItsTimeoutMayStandUntilTheTimeLimit) {
  // The failed first wait is the timeout thread's: the box stands unanswered. With the prompt
  // on the notification thread the main routine polls on, and the run reaches its time limit,
  // which the sweep accepts as it accepts the same box on the main thread ending "on".
  const auto [single, single_status] =
      Devsim("-q --scenario " + Scenario("call_ends_late.toml") + " --fail WaitForSingleObject@1 -- 3");
  EXPECT_NE(single.find("box 'Warning': shown at 23026 ms, answer none, still standing"), std::string::npos) << single;
  const auto [out, status] = Devsim("sweep --modes 3 --max-reported 3 --scenario " + Scenario("call_ends_late.toml"));
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(Number(out, "; (\\d+) failing"), 0) << out;
}
#endif
