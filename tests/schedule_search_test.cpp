// The schedule search on small model programs whose steps name the variables they touch: the
// sleep-set reduction reaches every final state the full search reaches, finds the same planted
// races, and runs fewer schedules.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sim/explore/schedule_search.h"
#include "sim/kernel/footprint.h"

namespace {

using State = std::array<int, 4>;  // shared variables x, y, z, w
enum Var : std::uint64_t { kX, kY, kZ, kW };

struct Op {
  std::vector<std::uint64_t> keys;  // sorted
  std::function<void(State&, int& reg)> act;
};
using Program = std::vector<std::vector<Op>>;  // one list of steps a thread

Op Read(Var v) {
  return {{v}, [v](State& s, int& r) { r = s[v]; }};
}
Op WriteRegPlus(Var v, int add) {
  return {{v}, [v, add](State& s, int& r) { s[v] = r + add; }};
}
Op Set(Var v, int value) {
  return {{v}, [v, value](State& s, int&) { s[v] = value; }};
}

// Runs `program` under the search's choices: every step is a choice point among the unfinished
// threads; switching away from the thread that ran last while it could go on is a preemption.
// Collects each run's final state in `finals`; `fails` says which final states fail.
sim::ScheduleRunner ModelRunner(const Program& program, std::function<bool(const State&)> fails,
                                std::set<State>& finals) {
  return [&program, fails, &finals](const std::vector<int>& prefix, sim::ScheduleRecord& record) {
    State s{};
    std::vector<int> regs(program.size(), 0);
    std::vector<std::size_t> pc(program.size(), 0);
    int last = -1;
    for (;;) {
      sim::ChoicePoint p;
      for (std::size_t t = 0; t < program.size(); ++t)
        if (pc[t] < program[t].size()) p.threads.push_back(static_cast<sim::ThreadId>(t));
      if (p.threads.empty()) break;
      p.options = static_cast<int>(p.threads.size());
      p.stay = -1;
      for (int i = 0; i < p.options; ++i)
        if (p.threads[i] == last) p.stay = i;
      p.fixed = p.stay >= 0 ? p.stay : 0;
      int pick = p.fixed;
      const std::size_t n = record.points.size();
      if (n < prefix.size())
        pick = prefix[n];
      else if (record.past_list)
        pick = record.past_list(p, record);
      p.chosen = pick >= 0 && pick < p.options ? pick : p.fixed;
      const auto t = static_cast<std::size_t>(p.threads[p.chosen]);
      const Op& op = program[t][pc[t]++];
      op.act(s, regs[t]);
      p.touched = op.keys;
      p.touches_all = false;
      record.points.push_back(p);
      last = static_cast<int>(t);
    }
    finals.insert(s);
    return fails(s);
  };
}

struct Outcome {
  sim::SearchTotals totals;
  std::set<State> finals;
  std::vector<std::string> failing;
};

Outcome SearchModel(const Program& program, const std::function<bool(const State&)>& fails, int bound, bool reduce) {
  Outcome o;
  sim::SearchLimits limits;
  limits.bound = bound;
  limits.reduce = reduce;
  const sim::ScheduleRunner run = ModelRunner(program, fails, o.finals);
  o.totals = sim::SearchSchedules(run, limits, [&o](const sim::ScheduleRecord& r, int) {
    o.failing.push_back(sim::ScheduleText(r.points, r.points.size()));
  });
  return o;
}

// Two threads increment x by a read and a write (a lost update when they interleave), beside
// threads that touch only variables of their own.
Program LostUpdate() {
  return {{Read(kX), WriteRegPlus(kX, 1)},
          {Read(kX), WriteRegPlus(kX, 1)},
          {Set(kY, 1), Set(kY, 2), Set(kY, 3)},
          {Set(kZ, 1), Set(kZ, 2)}};
}
bool XNotTwo(const State& s) { return s[kX] != 2; }

// A read-modify-write of z by two steps against an update of z in one: the single update is lost
// when it comes between the other thread's read and write (z should end at 11).
Program SplitUpdate() {
  return {{Read(kZ), WriteRegPlus(kZ, 1), Set(kY, 5)},
          {Set(kW, 1), {{kZ}, [](State& s, int&) { s[kZ] += 10; }}},
          {Set(kX, 7), Set(kX, 8)}};
}
bool ZNotEleven(const State& s) { return s[kZ] != 11; }

// Nothing shared at all.
Program Independent() {
  return {{Set(kX, 1), Set(kX, 2)}, {Set(kY, 1), Set(kY, 2)}, {Set(kZ, 1), Set(kZ, 2)}, {Set(kW, 1)}};
}
bool Never(const State&) { return false; }

struct Case {
  const char* name;
  Program (*program)();
  bool (*fails)(const State&);
  bool racy;
};
const Case kCases[] = {
    {"lost update", LostUpdate, XNotTwo, true},
    {"split update", SplitUpdate, ZNotEleven, true},
    {"independent", Independent, Never, false},
};

// With a bound high enough to leave every order within it, the reduced search must reach every
// final state the full one reaches, and run fewer schedules wherever some steps commute.
TEST(ScheduleSearch, ReductionKeepsEveryFinalState) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Program program = c.program();
    const Outcome full = SearchModel(program, c.fails, 20, false);
    const Outcome reduced = SearchModel(program, c.fails, 20, true);
    EXPECT_TRUE(full.totals.exhausted);
    EXPECT_TRUE(reduced.totals.exhausted);
    EXPECT_EQ(reduced.finals, full.finals);
    EXPECT_LT(reduced.totals.schedules, full.totals.schedules);
    EXPECT_GT(reduced.totals.asleep + reduced.totals.no_race, 0u);
    EXPECT_EQ(full.totals.asleep + full.totals.no_race, 0u);
    EXPECT_EQ(full.failing.empty(), !c.racy);
    EXPECT_EQ(reduced.failing.empty(), !c.racy);
  }
}

// The planted races need one preemption: neither search finds them with none, both with one,
// and each failing schedule the reduced search reports fails again when replayed.
TEST(ScheduleSearch, ReducedSearchFindsThePlantedRacesAtTheSameBound) {
  for (const Case& c : kCases) {
    if (!c.racy) continue;
    SCOPED_TRACE(c.name);
    const Program program = c.program();
    for (bool reduce : {false, true}) {
      EXPECT_TRUE(SearchModel(program, c.fails, 0, reduce).failing.empty());
      const Outcome one = SearchModel(program, c.fails, 1, reduce);
      ASSERT_FALSE(one.failing.empty());
      for (const std::string& text : one.failing) {
        std::set<State> finals;
        const sim::ScheduleRunner run = ModelRunner(program, c.fails, finals);
        sim::ScheduleRecord record;
        EXPECT_TRUE(run(*sim::ParseScheduleText(text.empty() ? "d" : text), record)) << text;
      }
    }
  }
}

// Counted by hand: with no reduction, two threads of two steps each have 6 orders, of which the
// ones with at most one preemption are 4 (no preemption: 2; one: 2 more). With the steps
// independent, the reduction keeps a single order's worth of new states.
TEST(ScheduleSearch, CountsByBound) {
  const Program two = {{Set(kX, 1), Set(kX, 2)}, {Set(kY, 1), Set(kY, 2)}};
  const Outcome full = SearchModel(two, Never, 2, false);
  ASSERT_EQ(full.totals.per_bound.size(), 3u);
  EXPECT_EQ(full.totals.per_bound[0], 2u);
  EXPECT_EQ(full.totals.per_bound[1], 2u);
  EXPECT_EQ(full.totals.per_bound[2], 2u);
  const Outcome reduced = SearchModel(two, Never, 2, true);
  EXPECT_EQ(reduced.finals.size(), 1u);
  EXPECT_LT(reduced.totals.schedules, full.totals.schedules);
}

// What shards of one search ran between them: every run's schedule (the runs every shard makes
// before the search is dealt out taken once), final state and failing schedule.
struct InShards {
  std::multiset<std::string> runs;
  std::set<State> finals;
  std::set<std::string> failing;
  std::uint64_t dealt = 0;
  std::uint64_t dealt_here = 0;
};

InShards SearchInShards(const Program& program, const std::function<bool(const State&)>& fails, int bound, bool reduce,
                        std::uint64_t shards) {
  InShards all;
  for (std::uint64_t k = 1; k <= shards; ++k) {
    sim::SearchLimits limits;
    limits.bound = bound;
    limits.reduce = reduce;
    limits.shard_index = k;
    limits.shard_count = shards;
    std::vector<std::string> runs;
    std::set<State> finals;
    const sim::ScheduleRunner model = ModelRunner(program, fails, finals);
    const sim::ScheduleRunner run = [&](const std::vector<int>& prefix, sim::ScheduleRecord& record) {
      const bool failed = model(prefix, record);
      runs.push_back(sim::ScheduleText(record.points, record.points.size()));
      return failed;
    };
    const sim::SearchTotals t = sim::SearchSchedules(run, limits, [&all](const sim::ScheduleRecord& r, int) {
      all.failing.insert(sim::ScheduleText(r.points, r.points.size()));
    });
    EXPECT_TRUE(t.exhausted);
    // The shared runs come first; shard 1 counts them.
    const std::size_t skip = k == 1 ? 0 : t.shared;
    EXPECT_EQ(runs.size() - skip, t.schedules);
    all.runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(skip), runs.end());
    all.finals.insert(finals.begin(), finals.end());
    all.dealt = t.parts;
    all.dealt_here += t.parts_run;
  }
  return all;
}

// Shards cover what the single search covers: without the reduction, exactly its schedules, each
// once; with it, every final state it reaches and a failure wherever it finds one. (The reduced
// search of some models ends before anything is dealt out; that of the lost update does not.)
TEST(ScheduleSearch, ShardsCoverTheWholeSearch) {
  std::uint64_t reduced_dealt = 0;
  for (const Case& c : kCases) {
    for (const bool reduce : {false, true}) {
      for (const std::uint64_t shards : {2u, 3u, 5u}) {
        SCOPED_TRACE(std::string(c.name) + (reduce ? ", reduced, " : ", full, ") + std::to_string(shards) + " shards");
        const Program program = c.program();
        std::multiset<std::string> runs;
        std::set<State> finals;
        const sim::ScheduleRunner model = ModelRunner(program, c.fails, finals);
        sim::SearchLimits limits;
        limits.bound = 2;
        limits.reduce = reduce;
        const sim::SearchTotals one = sim::SearchSchedules(
            [&](const std::vector<int>& prefix, sim::ScheduleRecord& record) {
              const bool failed = model(prefix, record);
              runs.insert(sim::ScheduleText(record.points, record.points.size()));
              return failed;
            },
            limits, [](const sim::ScheduleRecord&, int) {});
        const InShards all = SearchInShards(program, c.fails, 2, reduce, shards);
        if (!reduce) {
          EXPECT_GT(all.dealt, 0u);
        } else {
          reduced_dealt += all.dealt;
        }
        EXPECT_EQ(all.dealt_here, all.dealt);
        EXPECT_EQ(all.finals, finals);
        EXPECT_EQ(all.failing.empty(), one.failures == 0);
        if (!reduce) {
          EXPECT_EQ(all.runs, runs);
        }
      }
    }
  }
  EXPECT_GT(reduced_dealt, 0u);
}

TEST(ScheduleSearch, StopsAtTheCapAndSaysWhere) {
  sim::SearchLimits limits;
  limits.bound = 2;
  limits.max_schedules = 3;
  limits.reduce = false;
  std::set<State> finals;
  const Program program = LostUpdate();
  const sim::SearchTotals t =
      sim::SearchSchedules(ModelRunner(program, Never, finals), limits, [](const sim::ScheduleRecord&, int) {});
  EXPECT_FALSE(t.exhausted);
  EXPECT_EQ(t.schedules, 3u);
  EXPECT_NE(t.stop_reason.find("--max-schedules 3"), std::string::npos);
}

// Program variables are keyed by reads (every variable of a process whose code ran) and writes
// (one variable): two reads commute, a write meets any read or write of its process.
TEST(ScheduleSearch, StepsConflictOnASharedKeyOrOnEverything) {
  auto reads = [](std::uint64_t process) { return sim::TouchKey(sim::TouchKind::kMemory, process); };
  const std::uint64_t device = sim::TouchKey(sim::TouchKind::kDevice, std::string_view("radio"));
  auto sorted = [](std::vector<std::uint64_t> keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  const struct {
    std::vector<std::uint64_t> a;
    bool a_all;
    std::vector<std::uint64_t> b;
    bool b_all;
    bool conflict;
  } cases[] = {
      {{1, 3, 5}, false, {2, 4, 6}, false, false},
      {{1, 3, 5}, false, {0, 5}, false, true},
      {{}, false, {}, false, false},
      {{}, true, {}, false, true},
      {{7}, false, {8}, true, true},
      // reads and writes of program variables
      {{reads(1)}, false, {reads(1)}, false, false},
      {sorted({reads(1), sim::VariableKey(1, 3)}), false, {reads(1)}, false, true},
      {{reads(1)}, false, sorted({reads(1), sim::VariableKey(1, 0)}), false, true},
      {sorted({reads(1), sim::VariableKey(1, 3)}), false, sorted({reads(2), sim::VariableKey(2, 3)}), false, false},
      {sorted({reads(2), sim::VariableKey(2, 3)}), false, sorted({reads(1), device}), false, false},
      {{sim::VariableKey(1, 5)}, false, {sim::VariableKey(1, 5)}, false, true},
      {{sim::VariableKey(1, 5)}, false, {sim::VariableKey(1, 6)}, false, false},
      {sorted({reads(1), device}), false, sorted({reads(1), device}), false, true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(sim::StepsConflict(c.a, c.a_all, c.b, c.b_all), c.conflict) << "case " << i;
    EXPECT_EQ(sim::StepsConflict(c.b, c.b_all, c.a, c.a_all), c.conflict) << "case " << i << ", swapped";
  }
}

}  // namespace
