// Systematic exploration and the schedules it replays: the text of a schedule, the count of
// schedules per bound, and that a failing schedule's replay gives the same failure.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

#include "platform/platform.h"
#include "sim/devices/handset.h"
#include "sim/devices/run_options.h"
#include "sim/explore/batch.h"
#include "sim/explore/systematic.h"
#include "sim/kernel/listed_schedule.h"

namespace {

TEST(ScheduleText, ReadsAndRefuses) {
  const int d = sim::kDefaultChoice;
  const struct {
    const char* text;
    std::vector<int> choices;  // empty: refused
  } cases[] = {
      {"0", {0}},
      {"dx3.1", {d, d, d, 1}},
      {"2x2.d.0", {2, 2, d, 0}},
      {"", {}},
      {"1..2", {}},
      {"x3", {}},
      {"1x0", {}},
      {"-1", {}},
      {"d3", {}},
      {"1.", {}},
      {"1x2x3", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = sim::ParseScheduleText(c.text);
    EXPECT_EQ(parsed.has_value(), !c.choices.empty());
    if (parsed) {
      EXPECT_EQ(*parsed, c.choices);
    }
    EXPECT_EQ(sim::ScheduleTextProblem(c.text).empty(), !c.choices.empty());
  }
}

// Text written from recorded points reads back as the same choices, the fixed order's as "d",
// and trailing fixed-order choices left out.
TEST(ScheduleText, WritesWhatWasChosen) {
  auto point = [](int chosen, int fixed) {
    sim::ChoicePoint p;
    p.options = 3;
    p.chosen = chosen;
    p.fixed = fixed;
    return p;
  };
  const struct {
    std::vector<sim::ChoicePoint> points;
    const char* text;
  } cases[] = {
      {{point(0, 0), point(0, 0), point(2, 0)}, "dx2.2"},
      {{point(1, 0), point(1, 0), point(1, 1)}, "1x2"},
      {{point(0, 0)}, ""},
      {{point(2, 1), point(0, 1), point(1, 1), point(0, 2)}, "2.0.d.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::ScheduleText(c.points, c.points.size()), c.text);
}

// Two threads: the main one starts a worker and makes one call before waiting for it; the
// worker makes two calls. `g_seen` tells whether the main thread's call ran between the worker's.
std::atomic<int> g_step{0};
std::atomic<bool> g_seen{false};

int TwoThreads() {
  g_step = 0;
  g_seen = false;
  const HANDLE worker = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        GetTickCount();
        g_step = 1;
        GetTickCount();
        g_step = 2;
        return 0;
      },
      nullptr, 0, nullptr);
  GetTickCount();
  if (g_step == 1) g_seen = true;
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  return 0;
}

// The same, where seeing the worker half way ends the run as stuck: a planted race.
int PlantedRace() {
  TwoThreads();
  if (g_seen) sim::Dev().kernel.End(sim::EndKind::kStuck, "the planted race was seen");
  return 0;
}

sim::SystematicResult Search(int (*entry)(), int bound, bool reduce = true) {
  sim::SystematicOptions o;
  o.base.entry = entry;
  o.preemptions = bound;
  o.reduce = reduce;
  std::ostringstream out;
  return sim::ExploreSystematic(sim::Scenario::Builtin(), o, out);
}

// By hand: the worker starts at once and its two calls are the only points where both threads
// can run, each a preemption point (the worker could go on). With no preemption the worker runs
// to its end. With one, the main thread takes over at either call; once it has, switching back
// before it waits would be a second preemption, and after it waits nothing is left to choose.
// So 1 schedule at bound 0 and 2 more at bound 1.
TEST(Systematic, CountsSchedulesPerBound) {
  const sim::SystematicResult none = Search(TwoThreads, 0);
  EXPECT_TRUE(none.exhausted);
  EXPECT_EQ(none.schedules, 1u);
  const sim::SystematicResult one = Search(TwoThreads, 1);
  EXPECT_TRUE(one.exhausted);
  EXPECT_EQ(one.failures, 0u);
  ASSERT_EQ(one.per_bound.size(), 2u);
  EXPECT_EQ(one.per_bound[0], 1u);
  EXPECT_EQ(one.per_bound[1], 2u);
}

TEST(Systematic, FindsAPlantedRaceThatReplays) {
  const sim::SystematicResult none = Search(PlantedRace, 0);
  EXPECT_EQ(none.failures, 0u);
  const sim::SystematicResult one = Search(PlantedRace, 1);
  // Only the switch at the worker's second call (index 0: the main thread) shows the half-way step.
  ASSERT_EQ(one.failing, std::vector<std::string>{"d.0"});
  for (const std::string& text : one.failing) {
    sim::RunOptions o;
    o.entry = PlantedRace;
    o.schedule = text;
    EXPECT_NE(sim::ReplayLine(o).find("--schedule " + text), std::string::npos);
    sim::BatchItem item{nullptr, o};
    const sim::Scenario scenario = sim::Scenario::Builtin();
    item.scenario = &scenario;
    bool reusable = false;
    const sim::BatchResult r = sim::RunItem(item, 0, reusable);
    EXPECT_TRUE(sim::RunFailed(r)) << text;
    EXPECT_EQ(r["reason"], "the planted race was seen") << text;
  }
}

// The reduced search finds every planted failure the full one finds, at the same bound, in no
// more schedules: the steps' keys are whatever the kernel records for them.
TEST(Systematic, ReductionFindsWhatTheFullSearchFinds) {
  for (int bound : {0, 1, 2}) {
    SCOPED_TRACE(bound);
    const sim::SystematicResult full = Search(PlantedRace, bound, false);
    const sim::SystematicResult reduced = Search(PlantedRace, bound, true);
    EXPECT_TRUE(full.exhausted);
    EXPECT_TRUE(reduced.exhausted);
    EXPECT_EQ(full.failures == 0, reduced.failures == 0);
    EXPECT_LE(reduced.schedules, full.schedules);
    EXPECT_EQ(full.asleep, 0u);
  }
}

// Past the listed choices the record's chooser is asked at each point, with the points before
// it, and its answer is what the run takes: here the main thread at the worker's second call,
// the planted race's schedule.
TEST(Systematic, ThePolicyAsksTheChooserPastTheList) {
  auto record = std::make_shared<sim::ScheduleRecord>();
  std::vector<std::size_t> asked;
  record->past_list = [&asked](const sim::ChoicePoint& p, const sim::ScheduleRecord& r) {
    asked.push_back(r.points.size());
    EXPECT_EQ(p.threads.size(), static_cast<std::size_t>(p.options));
    return r.points.size() == 1 ? 0 : sim::kDefaultChoice;
  };
  sim::RunOptions o;
  o.entry = PlantedRace;
  o.schedule = "d";
  o.record = record;
  sim::BatchItem item{nullptr, o};
  const sim::Scenario scenario = sim::Scenario::Builtin();
  item.scenario = &scenario;
  bool reusable = false;
  const sim::BatchResult r = sim::RunItem(item, 0, reusable);
  EXPECT_EQ(r["reason"], "the planted race was seen");
  ASSERT_GE(record->points.size(), 2u);
  EXPECT_EQ(asked.front(), 1u);  // the listed "d" answered the first point
  EXPECT_EQ(sim::ScheduleText(record->points, record->points.size()), "d.0");
  record->past_list = nullptr;
}

}  // namespace
