// Swarm worlds: every seed draws its own world, the worlds cover every feature and every mode,
// and a world written out as a scenario replays the seed's run without the seed's world.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>

#include "sim/explore/swarm.h"
#include "tests/harness.h"

namespace {

std::string Devsim(const std::string& args) { return testing_support::DevsimCommand(args).out; }

std::string Match(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

}  // namespace

TEST(Swarm, WorldsComeFromTheSeedAndCoverEveryFeature) {
  const std::vector<std::string> features = {"answers",   "call ending",    "radio",       "keys",
                                             "holds",     "held from",      "another box", "clock alarms",
                                             "auto-boot", "forced suspend", "faults"};
  std::map<std::string, int> seen;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    const sim::SwarmWorld w = sim::DrawSwarmWorld(seed, {});
    EXPECT_EQ(sim::DescribeSwarmWorld(w), sim::DescribeSwarmWorld(sim::DrawSwarmWorld(seed, {})));
    ++seen["mode " + w.mode];
    const std::string text = sim::DescribeSwarmWorld(w);
    for (const auto& f : features) seen[f] += text.find(f) != std::string::npos ? 1 : 0;
    // Every world fits the built-in handset.
    EXPECT_NO_THROW(sim::SwarmScenario(sim::Scenario::Builtin(), w, seed)) << text;
  }
  for (const std::string m : {"1", "2", "3"}) EXPECT_GT(seen["mode " + m], 50) << m;
  for (const auto& f : features) EXPECT_GT(seen[f], 0) << f;
  // A subset per world, not everything at once.
  EXPECT_LT(seen["faults"], 300);
  EXPECT_EQ(sim::DrawSwarmWorld(7, {"2"}).mode, "2");
}

TEST(Swarm, ADumpedWorldReplaysWithoutTheSeedsWorld) {
  const std::string dir = std::filesystem::temp_directory_path() / ("swarm-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  int compared = 0;
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string file = dir + "/world.toml";
    const std::string s = std::to_string(seed);
    const std::string explored =
        Devsim("explore --swarm --jobs 1 --seeds " + s + ".." + s + " --dump-scenario " + file);
    const std::string outcome = Match(explored, "outcomes: ([a-z-]+)=1");
    ASSERT_FALSE(outcome.empty()) << explored;
    const std::string mode = sim::DrawSwarmWorld(seed, {}).mode;
    const std::string replayed = Devsim("-q --scenario " + file + " --seed " + s + " -- " + mode);
    EXPECT_EQ(Match(replayed, "outcome: ([a-z-]+)"), outcome) << replayed;
    EXPECT_EQ(explored.find("violations: none") != std::string::npos,
              replayed.find("INVARIANT VIOLATED") == std::string::npos)
        << explored << replayed;
    ++compared;
  }
  EXPECT_EQ(compared, 12);
  std::filesystem::remove_all(dir);
}

TEST(Swarm, AFailingSeedIsReportedWithItsWorldAndReplay) {
  // Every run of a second's time limit fails: each is reported with its world and two commands.
  const std::string out = Devsim("explore --swarm --jobs 1 --seeds 1..3 --max-reported 1 --time-limit 1000");
  const std::string mode = sim::DrawSwarmWorld(1, {}).mode;
  EXPECT_NE(out.find("  world: mode " + mode), std::string::npos) << out;
  EXPECT_NE(out.find("--seeds 1..1 --dump-scenario swarm-1.toml --time-limit 1000"), std::string::npos) << out;
  EXPECT_NE(out.find("  replay: devsim --scenario 'swarm-1.toml' --seed 1 --time-limit 1000 -- '" + mode + "'"),
            std::string::npos)
      << out;
}

// The worlds in which the swarm found a race: a No or Cancel crossing the prompt's timeout
// (3805 to 19264), and the timeout's Yes sent to another application's "Warning" box while the
// shutdown could not run (26094, 40451). Replayed from their dumped scenarios, each must keep
// every invariant (the harness judges them).
TEST(Swarm, WorldsThatFoundARaceKeepEveryInvariant) {
  for (const std::uint64_t seed : {3805u, 11094u, 16476u, 16482u, 19264u, 26094u, 40451u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const sim::SwarmWorld world = sim::DrawSwarmWorld(seed, {});
    testing_support::RunSpec spec;
    spec.scenario = sim::SwarmScenarioFile(sim::RunOptions{}, "", world, seed);
    spec.args = {world.mode};
    spec.seed = seed;
    spec.keep_events = false;
    const auto r = testing_support::RunProgram(spec);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(world.mode, "3");
  }
}
