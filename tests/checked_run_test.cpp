// One judgement for every run: the explorer judges each of its runs on the verdict alone (the
// members of the summary that the invariants and the scenario's expectations read) and must
// judge every run as the whole summary does; the exit status follows one rule; a batch counts
// every violation of a run, also those it does not list.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "harness.h"
#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/checks/checked_run.h"
#include "sim/checks/expectations.h"
#include "sim/explore/batch.h"
#include "sim/views/report.h"

namespace {

using testing_support::RunSpec;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// (invariant, detail) pairs, whatever their order.
std::multiset<std::string> Findings(const sim::Json& violations) {
  std::multiset<std::string> out;
  for (const auto& v : violations)
    out.insert(v["invariant"].get<std::string>() + ": " + v["detail"].get<std::string>());
  return out;
}

TEST(CheckedRun, TheVerdictJudgesAsTheWholeSummary) {
  struct Case {
    std::string name;
    std::string scenario;  // TOML text; empty: the built-in handset
    std::vector<std::string> args;
    std::function<int()> entry;
    std::vector<std::string> fail;
    std::uint64_t time_limit_ms = 0;
    std::vector<std::string> violations;  // what the run breaks, for the harness
  };
  const std::string gallery = std::string(HS_SOURCE_DIR) + "/scenarios/";
  const std::vector<Case> cases = {
      {"timeout race", ReadFile(gallery + "race_answer_timeout.toml"), {"3"}, nullptr, {}, 0, {}},
      {"radio wait race", ReadFile(gallery + "race_radio_wait.toml"), {"1"}, nullptr, {}, 0, {}},
      {"a thread that cannot start", "", {"2"}, nullptr, {"CreateThread"}, 0, {}},
      // Judged from the summary's open handles.
      {"a handle left open",
       "",
       {},
       [] {
         CreateEventW(nullptr, FALSE, FALSE, nullptr);
         return 0;
       },
       {},
       0,
       {"handles-closed"}},
      // Judged from the summary's outcome and reason.
      {"cut off by the time limit",
       "base = \"builtin\"\n[[timeline]]\nat_ms = 0\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\n"
       "value = \"Active Call Count\"\ndword = 1\n",
       {"3"},
       nullptr,
       {},
       1000,
       {"run-ends"}},
      // Judged from the summary's ERTC against the scenario's expectation.
      {"an ERTC the scenario did not expect",
       "base = \"builtin\"\n[expect]\nertc = \"2001-01-01 00:00:00\"\n",
       {"1"},
       nullptr,
       {},
       0,
       {}},
  };
  std::vector<sim::Scenario> scenarios;
  scenarios.reserve(cases.size());
  for (const Case& c : cases)
    scenarios.push_back(c.scenario.empty() ? sim::Scenario::Builtin() : sim::Scenario::FromText(c.scenario, c.name));
  std::vector<sim::BatchItem> items;
  std::vector<RunSpec> specs;
  for (std::uint64_t seed = 1; seed <= 2; ++seed) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      sim::BatchItem item{&scenarios[i], {}};
      item.options.seed = seed;
      item.options.args = c.args;
      item.options.entry = c.entry;
      item.options.fail = c.fail;
      item.options.time_limit_ms = c.time_limit_ms;
      items.push_back(item);
      RunSpec spec;
      spec.scenario = c.scenario;
      spec.args = c.args;
      spec.entry = c.entry;
      spec.fail = c.fail;
      spec.time_limit_ms = c.time_limit_ms;
      spec.seed = seed;
      spec.expect_violations = c.violations;
      specs.push_back(spec);
    }
  }
  std::vector<sim::BatchResult> verdicts(items.size());
  sim::RunBatch(items, 2, false, [&](std::size_t i, const sim::BatchResult& r) { verdicts[i] = r; });
  std::set<std::string> unmet_seen, broken_seen;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Case& c = cases[i % cases.size()];
    SCOPED_TRACE(c.name + ", seed " + std::to_string(specs[i].seed));
    const testing_support::RunResult whole = testing_support::Run(specs[i]);
    ASSERT_EQ(whole.error, "");
    ASSERT_FALSE(verdicts[i].contains("crash")) << verdicts[i].dump();
    EXPECT_EQ(verdicts[i]["outcome"], whole.outcome);
    EXPECT_EQ(Findings(verdicts[i]["violations"]), Findings(whole.summary["violations"]));
    EXPECT_EQ(verdicts[i]["unmet"], sim::Json(sim::UnmetExpectations(whole.summary)));
    EXPECT_EQ(verdicts[i]["unused_fault_rules"], whole.summary["unused_fault_rules"]);
    if (!verdicts[i]["unmet"].empty()) unmet_seen.insert(c.name);
    for (const auto& v : verdicts[i]["violations"]) broken_seen.insert(v["invariant"].get<std::string>());
  }
  // The cases reach what the summary decides: open handles, the outcome, the ERTC.
  EXPECT_EQ(broken_seen, (std::set<std::string>{"handles-closed", "run-ends"}));
  EXPECT_EQ(unmet_seen, std::set<std::string>{"an ERTC the scenario did not expect"});
}

TEST(CheckedRun, OneRuleGivesTheExitStatus) {
  struct Case {
    std::string name;
    sim::Json summary;
    int status;
    std::vector<sim::Json> events = {};
  };
  const sim::Json misuse{{"kind", "call"},   {"op", "SetEvent"},
                         {"thread", "main"}, {"args", {{"handle", "0x9"}}},
                         {"result", false},  {"misuse", "SetEvent on a handle that is not an open event"}};
  const sim::Json none = sim::Json::array();
  const std::vector<Case> cases = {
      {"ended off", {{"outcome", "off"}}, 0},
      {"stuck", {{"outcome", "stuck"}}, 3},
      {"at the time limit", {{"outcome", "time-limit"}}, 4},
      {"at the time limit, as expected", {{"outcome", "time-limit"}, {"expected_outcomes", {"time-limit"}}}, 0},
      {"stuck, as one of the outcomes expected", {{"outcome", "stuck"}, {"expected_outcomes", {"off", "stuck"}}}, 0},
      {"an outcome not expected", {{"outcome", "on"}, {"expected_outcomes", {"off"}}}, 5},
      {"an ERTC not expected",
       {{"outcome", "off"}, {"expected_ertc", "2008-06-15 07:00:00"}, {"ertc", "not written"}},
       5},
      // An expectation not met outweighs the time limit and getting stuck.
      {"at the time limit, expected off", {{"outcome", "time-limit"}, {"expected_outcomes", {"off"}}}, 5},
      {"stuck, expected off", {{"outcome", "stuck"}, {"expected_outcomes", {"off"}}}, 5},
      // So does any other invariant.
      {"at the time limit with a platform call misused", {{"outcome", "time-limit"}}, 5, {misuse}},
      {"stuck with a platform call misused", {{"outcome", "stuck"}}, 5, {misuse}},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.summary.contains("handles_open")) c.summary["handles_open"] = none;
    EXPECT_EQ(sim::Judge(sim::EventsFromJson(c.events), c.summary, sim::EndKind::kNone).status, c.status);
  }
}

// A run with many violations: the batch lists the first five in full and counts the others by
// invariant, and the counts add up to what the run broke.
TEST(CheckedRun, TheBatchCountsEveryViolation) {
  const sim::Scenario scenario =
      sim::Scenario::FromText(ReadFile(std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml"), "race");
  std::vector<sim::BatchItem> items;
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    sim::BatchItem item{&scenario, {}};
    item.options.seed = seed;
    item.options.args = {"3"};
    item.options.fail = {"CreateMutexW.already_exists_lost:NormalShutdown"};
    items.push_back(item);
  }
  std::size_t beyond = 0;
  sim::RunBatch(items, 2, false, [&](std::size_t, const sim::BatchResult& r) {
    ASSERT_FALSE(r.contains("crash")) << r.dump();
    sim::Json counts = sim::Json::object();
    sim::CountViolations(r, counts);
    std::uint64_t total = 0;
    for (const auto& [name, n] : counts.items()) total += n.get<std::uint64_t>();
    EXPECT_EQ(total, r["violation_count"].get<std::uint64_t>()) << r.dump();
    EXPECT_LE(r["violations"].size(), 5u);
    const std::string more = sim::NotListed(r);
    if (r["violation_count"].get<std::size_t>() <= 5) {
      EXPECT_EQ(more, "");
      return;
    }
    ++beyond;
    EXPECT_EQ(more.rfind("and " + std::to_string(total - 5) + " more:", 0), 0u) << more;
    for (const auto& [name, n] : r["violations_not_listed"].items())
      EXPECT_NE(more.find(" " + name + "=" + std::to_string(n.get<std::uint64_t>())), std::string::npos) << more;
  });
  EXPECT_GT(beyond, 0u) << "no seed broke more than five invariants";
}

}  // namespace
