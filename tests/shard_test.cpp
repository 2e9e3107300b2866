// Shards of an exploration or a sweep, merged, report what one run over the whole batch reports.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>

#include "sim/explore/shard.h"
#include "tests/harness.h"

namespace {

#ifdef HS_SANITIZED
constexpr std::uint64_t kLastSeed = 40;
#else
constexpr std::uint64_t kLastSeed = 20000;
#endif

struct Output {
  std::string text;
  int status = 0;
};

Output Devsim(const std::string& args) {
  const testing_support::DevsimOutput r = testing_support::DevsimCommand(args, true);
  return Output{r.out, r.status};
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "/shard_test_" + std::to_string(getpid()) + "_" + name;
}

// What must be equal between shards merged and one run: every line but the timing.
std::string WithoutTiming(const std::string& text) {
  return std::regex_replace(text, std::regex(R"(\) in [^\n]*\n)"), ")\n");
}

sim::Json Comparable(sim::Json report) {
  for (const char* key : {"seconds", "jobs", "shard", "shards", "range", "merged", "missing_shards"}) report.erase(key);
  return report;
}

TEST(Shards, ParseAndCoverEveryItemOnce) {
  for (const char* bad : {"", "1", "0/4", "5/4", "1/0", "a/b", "/4", "1/", "-1/4", "1/4/2", "99999999999/1"})
    EXPECT_FALSE(sim::ParseShard(bad)) << bad;
  ASSERT_TRUE(sim::ParseShard("4/4"));
  EXPECT_EQ(sim::ParseShard("3/4")->index, 3u);
  for (const std::uint64_t total : {0, 1, 3, 4, 7, 20000, 20001}) {
    for (const std::uint64_t n : {1, 2, 3, 4, 7, 16}) {
      std::uint64_t next = 0;
      for (std::uint64_t k = 1; k <= n; ++k) {
        const sim::ShardRange r = sim::ShardOf(total, {k, n});
        EXPECT_EQ(r.begin, next) << total << " " << k << "/" << n;
        EXPECT_LE(r.end - r.begin, total / n + 1);
        next = r.end;
      }
      EXPECT_EQ(next, total) << total << " /" << n;
    }
  }
}

TEST(Shards, FourExploreShardsMergedEqualOneRun) {
  // A broken platform guarantee makes some seeds fail, so that the failures shown and their
  // replay lines are compared too.
  const std::string batch = "explore --scenario " + std::string(HS_SOURCE_DIR) +
                            "/scenarios/race_answer_timeout.toml --seeds 1.." + std::to_string(kLastSeed) +
                            " --max-reported 3 --fail CreateMutexW.already_exists_lost:NormalShutdown";
  const std::string whole_json = TempPath("whole.json");
  const Output whole = Devsim(batch + " --report-json " + whole_json + " -- 3");
  ASSERT_EQ(whole.status, 5) << whole.text;
  std::string reports;
  for (int k = 1; k <= 4; ++k) {
    const std::string path = TempPath("part" + std::to_string(k) + ".json");
    const Output part = Devsim(batch + " --shard " + std::to_string(k) + "/4 --report-json " + path + " -- 3");
    ASSERT_NE(part.text.find("shard " + std::to_string(k) + " of 4"), std::string::npos) << part.text;
    reports += " " + path;
  }
  const std::string merged_json = TempPath("merged.json");
  const Output merged = Devsim("merge --report-json " + merged_json + reports);
  EXPECT_EQ(merged.status, 5) << merged.text;
  EXPECT_NE(merged.text.find("4 shards merged"), std::string::npos) << merged.text;
  EXPECT_EQ(WithoutTiming(std::regex_replace(merged.text, std::regex(", 4 shards merged"), "")),
            WithoutTiming(whole.text));
  EXPECT_EQ(Comparable(sim::ReadReport(merged_json)), Comparable(sim::ReadReport(whole_json)));
  EXPECT_GT(sim::ReadReport(whole_json)["failures"].get<int>(), 0);

  // Reports that do not belong together are refused, and a missing shard is said.
  const Output twice = Devsim("merge" + reports + " " + TempPath("part1.json"));
  EXPECT_EQ(twice.status, 2) << twice.text;
  EXPECT_NE(twice.text.find("given twice"), std::string::npos) << twice.text;
  const Output other = Devsim("merge " + TempPath("part1.json") + " " + whole_json);
  EXPECT_EQ(other.status, 2) << other.text;
  const Output partial = Devsim("merge " + TempPath("part1.json") + " " + TempPath("part3.json"));
  EXPECT_EQ(partial.status, 2) << partial.text;
  EXPECT_NE(partial.text.find("missing shards: 2 4 of 4"), std::string::npos) << partial.text;
  std::ofstream(TempPath("junk.json")) << "{\"kind\": 3";
  EXPECT_EQ(Devsim("merge " + TempPath("junk.json")).status, 2);
}

TEST(Shards, SweepShardsMergedCoverWhatOneSweepCovers) {
#ifdef HS_SANITIZED
  // Two whole sweeps: FaultSweep takes the sanitizers through the sweep's runs once, and the
  // merging is the same plain code the exploring shards above go through.
  GTEST_SKIP() << "too slow under the sanitizers";
#endif
  const std::string whole_json = TempPath("sweep.json");
  const Output whole = Devsim("sweep --modes 1 --report-json " + whole_json);
  ASSERT_EQ(whole.status, 0) << whole.text;
  std::string reports;
  for (int k = 1; k <= 3; ++k) {
    const std::string path = TempPath("sweep" + std::to_string(k) + ".json");
    ASSERT_EQ(Devsim("sweep --modes 1 --shard " + std::to_string(k) + "/3 --report-json " + path).status, 0);
    reports += " " + path;
  }
  const Output merged = Devsim("merge" + reports);
  EXPECT_EQ(merged.status, 0) << merged.text;
  EXPECT_EQ(std::regex_replace(merged.text, std::regex(" \\(3 shards merged\\)"), ""), whole.text);
}

TEST(Shards, BadShardOrUnwritableReportIsAnError) {
  EXPECT_EQ(Devsim("explore --seeds 1..2 --shard 5/4 -- 1").status, 2);
  EXPECT_EQ(Devsim("explore --seeds 1..2 --shard x -- 1").status, 2);
  EXPECT_EQ(Devsim("explore --seeds 1..2 --report-json /nonexistent/dir/r.json -- 1").status, 2);
}

}  // namespace

// A systematic search's text, less what differs between shards merged and one search: the time,
// the lines that tell how the search was dealt out, and which shard found the first failure.
std::string SearchText(const std::string& text) {
  std::string out = std::regex_replace(text, std::regex(R"(\ntime: [^\n]*)"), "");
  // The shards' sum: a schedule left unrun below the bound may be left in several shards.
  out = std::regex_replace(out, std::regex(R"(\nleft unrun: [^\n]*)"), "");
  out =
      std::regex_replace(out, std::regex(R"([0-9]+ shards merged: [^\n]*\noutside their shard's part: [^\n]*\n)"), "");
  return std::regex_replace(out, std::regex(" of shard [0-9]+"), "");
}

std::set<std::string> FailingSchedules(const sim::Json& report) {
  std::set<std::string> out;
  for (const auto& f : report["failing"]) out.insert(f["schedule"].get<std::string>());
  return out;
}

// N shards of a systematic search, merged, give the single search's totals, failing schedules and
// text: with the reduction on the gallery's race (where no race calls for a schedule in two
// shards), with failures planted by a broken platform guarantee, and without the reduction (where
// the shards cut the tree of schedules exactly).
TEST(Shards, SystematicShardsMergedEqualOneSearch) {
  const std::string fail = " --max-reported 3 --fail CreateMutexW.already_exists_lost:NormalShutdown";
  const struct {
    const char* name;
    std::string options;
    int shards;
    int status;
  } cases[] = {
      {"planted failures", "--preemptions 1" + fail, 3, 5},
#ifdef HS_SANITIZED
      // The search without the reduction is cut exactly on the models (ScheduleSearch) already.
      {"reduced", "--preemptions 1", 4, 0},
#else
      {"reduced", "--preemptions 2", 4, 0},
      {"no reduction", "--preemptions 0 --no-reduction", 2, 0},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string batch = "explore --systematic --scenario " + std::string(HS_SOURCE_DIR) +
                              "/scenarios/race_answer_timeout.toml " + c.options;
    const std::string whole_json = TempPath("sys_whole.json");
    const Output whole = Devsim(batch + " --report-json " + whole_json + " -- 3");
    ASSERT_EQ(whole.status, c.status) << whole.text;
    std::string reports;
    for (int k = 1; k <= c.shards; ++k) {
      const std::string path = TempPath("sys" + std::to_string(k) + ".json");
      const std::string shard = std::to_string(k) + "/" + std::to_string(c.shards);
      const Output part = Devsim(batch + " --shard " + shard + " --report-json " + path + " -- 3");
      EXPECT_TRUE(part.status == 0 || part.status == 5) << part.text;
      ASSERT_NE(part.text.find("shard " + std::to_string(k) + " of " + std::to_string(c.shards)), std::string::npos)
          << part.text;
      EXPECT_GT(sim::ReadReport(path)["parts"].get<int>(), 0) << "the search was not dealt out";
      reports += " " + path;
    }
    const std::string merged_json = TempPath("sys_merged.json");
    const Output merged = Devsim("merge --report-json " + merged_json + reports);
    EXPECT_EQ(merged.status, c.status) << merged.text;
    EXPECT_EQ(SearchText(merged.text), SearchText(whole.text));
    const sim::Json one = sim::ReadReport(whole_json), all = sim::ReadReport(merged_json);
    for (const char* key : {"schedules", "per_bound", "points_seen", "exhausted", "failures", "no_race", "late"})
      EXPECT_EQ(all[key], one[key]) << key;
    EXPECT_TRUE(all["exhausted"].get<bool>());
    EXPECT_EQ(FailingSchedules(all), FailingSchedules(one));
    EXPECT_EQ(FailingSchedules(one).empty(), c.status == 0);
  }
}

// Reports that are not shards of one search are refused, naming the file; a missing shard is
// said and the search is not called exhausted.
TEST(Shards, SystematicMergeRefusesWhatDoesNotBelong) {
  const std::string scenario = " --scenario " + std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml";
  const std::string batch = "explore --systematic --preemptions 1" + scenario;
  auto shard = [&](const std::string& name, const std::string& options) {
    const std::string path = TempPath(name + ".json");
    const Output r = Devsim(batch + " " + options + " --report-json " + path + " -- 3");
    EXPECT_EQ(r.status, 0) << r.text;
    return path;
  };
  const std::string one = shard("sys_a1", "--shard 1/3"), two = shard("sys_a2", "--shard 2/3");
  const std::string other_bound = TempPath("sys_b2.json");
  ASSERT_EQ(
      Devsim("explore --systematic --preemptions 0" + scenario + " --shard 2/3 --report-json " + other_bound + " -- 3")
          .status,
      0);
  sim::Json bent = sim::ReadReport(two);
  bent["per_bound"][0] = "many";
  const std::string malformed = TempPath("sys_bent.json");
  ASSERT_TRUE(sim::WriteReport(bent, malformed));
  const std::string seeds = TempPath("sys_seeds.json");
  ASSERT_EQ(Devsim("explore --seeds 1..3" + scenario + " --report-json " + seeds + " -- 3").status, 0);
  const struct {
    std::string files;
    std::string says;  // in the message
  } refused[] = {
      {one + " " + two + " " + one, "shard 1 is given twice"},
      {one + " " + other_bound, "a shard of another batch than " + one + " (its preemptions is 0, not 1)"},
      {one + " " + seeds, "a seed exploration's report, " + one + " a systematic search's one"},
      {seeds + " " + one, "a systematic search's report"},
      {one + " " + shard("sys_c2", "--shard 2/4"), "cut into 4 shards"},
      {one + " " + malformed, malformed + ": a malformed report"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.files);
    const Output out = Devsim("merge " + r.files);
    EXPECT_EQ(out.status, 2) << out.text;
    EXPECT_NE(out.text.find(r.says), std::string::npos) << out.text;
  }
  const Output partial = Devsim("merge " + one + " " + two);
  EXPECT_EQ(partial.status, 2) << partial.text;
  EXPECT_NE(partial.text.find("missing shards: 3 of 3"), std::string::npos) << partial.text;
  EXPECT_NE(partial.text.find("not exhausted up to 1 preemptions"), std::string::npos) << partial.text;
  // A shard that stopped at its cap leaves the whole search stopped.
  std::string capped;
  for (int k = 1; k <= 3; ++k)
    capped += " " + shard("sys_cap" + std::to_string(k), "--max-schedules 5 --shard " + std::to_string(k) + "/3");
  const Output stopped = Devsim("merge" + capped);
  EXPECT_EQ(stopped.status, 0) << stopped.text;
  EXPECT_TRUE(std::regex_search(stopped.text, std::regex("\nstopped at bound 1 after [0-9]+ schedules: the cap of "
                                                         "--max-schedules 5 \\(exhausted up to 0 preemptions\\)\n")))
      << stopped.text;
  EXPECT_EQ(Devsim(batch + " --report-json /nonexistent/dir/r.json -- 3").status, 2);
  EXPECT_EQ(Devsim(batch + " --shard 4/3 -- 3").status, 2);
}
