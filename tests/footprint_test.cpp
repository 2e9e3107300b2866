// Footprints of recorded steps: which objects the steps of two threads touch, that steps on the
// same object share a key and steps on unrelated ones do not, and that a step in which a timer
// fires conflicts with everything.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "platform/platform.h"
#include "sim/devices/handset.h"
#include "sim/explore/batch.h"
#include "sim/kernel/footprint.h"
#include "sim/kernel/listed_schedule.h"

namespace {

// What a worker thread does on each of its rounds.
enum class Act { kOwnEvent, kSharedEvent, kSharedMutex, kName, kWindows };

struct Worker {
  Act act = Act::kOwnEvent;
  const char16_t* name = nullptr;  // kName: the mutex it creates and closes
  HANDLE own = nullptr;            // an unnamed event of its own
  HANDLE shared = nullptr;         // an event or a mutex both workers use
  sim::ThreadId id = sim::kNoThread;
};

constexpr int kRounds = 4;
Worker g_workers[2];

void Act1(Worker& w) {
  switch (w.act) {
    case Act::kOwnEvent:
      SetEvent(w.own);
      break;
    case Act::kSharedEvent:
      SetEvent(w.shared);
      break;
    case Act::kSharedMutex:
      WaitForSingleObject(w.shared, INFINITE);
      ReleaseMutex(w.shared);
      break;
    case Act::kName:
      CloseHandle(CreateMutexW(nullptr, FALSE, w.name));
      break;
    case Act::kWindows:
      FindWindowW(nullptr, u"nobody's window");
      break;
  }
}

DWORD WINAPI Work(LPVOID param) {
  auto* w = static_cast<Worker*>(param);
  w->id = sim::Dev().kernel.Current();
  for (int i = 0; i < kRounds; ++i) Act1(*w);
  return 0;
}

// The main thread starts both workers and waits for them, so that the two are the runnable
// threads at every call they make.
int TwoWorkers() {
  const bool mutex = g_workers[0].act == Act::kSharedMutex;
  const HANDLE shared = mutex ? CreateMutexW(nullptr, FALSE, nullptr) : CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) {
    g_workers[i].own = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_workers[i].shared = shared;
    threads[i] = CreateThread(nullptr, 0, Work, &g_workers[i], 0, nullptr);
  }
  for (int i = 0; i < 2; ++i) {
    WaitForSingleObject(threads[i], INFINITE);
    CloseHandle(threads[i]);
    CloseHandle(g_workers[i].own);
  }
  CloseHandle(shared);
  return 0;
}

std::shared_ptr<sim::ScheduleRecord> Recorded(std::function<int()> entry) {
  sim::BatchItem item{nullptr, {}};
  const sim::Scenario scenario = sim::Scenario::Builtin();
  item.scenario = &scenario;
  item.options.entry = std::move(entry);
  auto record = std::make_shared<sim::ScheduleRecord>();
  item.options.record = record;
  bool reusable = false;
  const sim::BatchResult r = sim::RunItem(item, 0, reusable);
  EXPECT_FALSE(sim::RunFailed(r)) << r.dump();
  return record;
}

// The keys of the keyed steps (those that do not touch everything) in which `thread` was chosen.
std::set<std::uint64_t> KeysOf(const sim::ScheduleRecord& record, sim::ThreadId thread, int& keyed_steps) {
  std::set<std::uint64_t> keys;
  keyed_steps = 0;
  for (const sim::ChoicePoint& p : record.points) {
    if (p.threads.at(p.chosen) != thread || p.touches_all) continue;
    ++keyed_steps;
    keys.insert(p.touched.begin(), p.touched.end());
  }
  return keys;
}

TEST(Footprint, StepsOnTheSameObjectShareAKey) {
  const struct {
    const char* what;
    Act a, b;
    const char16_t *name_a, *name_b;
    bool share;
  } cases[] = {
      {"unrelated events", Act::kOwnEvent, Act::kOwnEvent, nullptr, nullptr, false},
      {"one event", Act::kSharedEvent, Act::kSharedEvent, nullptr, nullptr, true},
      {"one mutex", Act::kSharedMutex, Act::kSharedMutex, nullptr, nullptr, true},
      {"one name", Act::kName, Act::kName, u"FootprintName", u"FootprintName", true},
      {"two names", Act::kName, Act::kName, u"FootprintOne", u"FootprintTwo", false},
      {"the windows", Act::kWindows, Act::kWindows, nullptr, nullptr, true},
      {"an event and the windows", Act::kOwnEvent, Act::kWindows, nullptr, nullptr, false},
  };
  const std::uint64_t memory = sim::TouchKey(sim::TouchKind::kMemory, std::uint64_t{sim::kFirstProgram});
  const std::uint64_t any_write = sim::VariableKey(sim::kFirstProgram, sim::kAnyVariable);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_workers[0] = Worker{c.a, c.name_a};
    g_workers[1] = Worker{c.b, c.name_b};
    const auto record = Recorded(TwoWorkers);
    int steps_a = 0, steps_b = 0;
    std::set<std::uint64_t> a = KeysOf(*record, g_workers[0].id, steps_a);
    std::set<std::uint64_t> b = KeysOf(*record, g_workers[1].id, steps_b);
    ASSERT_GT(steps_a, 0);
    ASSERT_GT(steps_b, 0);
    // Both run the program's code and so read its variables; this entry's variables are in no
    // table, so each step may have written any of them.
    for (const std::uint64_t key : {memory, any_write}) {
      EXPECT_EQ(a.count(key), 1u);
      EXPECT_EQ(b.count(key), 1u);
      a.erase(key);
      b.erase(key);
    }
    EXPECT_FALSE(a.empty());
    std::vector<std::uint64_t> common;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
    EXPECT_EQ(!common.empty(), c.share);
  }
}

// A timer due while two threads take turns: the step in which it fires touches everything, the
// steps around it only their events. The point that was last when it fired is that step's.
std::shared_ptr<sim::ScheduleRecord> g_record;
std::size_t g_points_at_fire = 0;

DWORD WINAPI UntilFired(LPVOID own) {
  for (int i = 0; i < 1000 && g_points_at_fire == 0; ++i) SetEvent(static_cast<HANDLE>(own));
  return 0;
}

int TimerAmongTurns() {
  sim::Kernel& k = sim::Dev().kernel;
  k.At(k.Now() + 5 * sim::kMicrosPerMs, "test timer", [] { g_points_at_fire = g_record->points.size(); });
  const HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  const HANDLE other = CreateThread(nullptr, 0, UntilFired, events[0], 0, nullptr);
  UntilFired(events[1]);
  WaitForSingleObject(other, INFINITE);
  for (HANDLE h : {other, events[0], events[1]}) CloseHandle(h);
  return 0;
}

TEST(Footprint, AStepThatFiresATimerTouchesEverything) {
  g_points_at_fire = 0;
  g_record = nullptr;
  auto entry = [] {
    // The record the kernel fills is the one the run's options carry.
    return TimerAmongTurns();
  };
  sim::BatchItem item{nullptr, {}};
  const sim::Scenario scenario = sim::Scenario::Builtin();
  item.scenario = &scenario;
  item.options.entry = entry;
  g_record = std::make_shared<sim::ScheduleRecord>();
  item.options.record = g_record;
  bool reusable = false;
  EXPECT_FALSE(sim::RunFailed(sim::RunItem(item, 0, reusable)));
  ASSERT_GE(g_points_at_fire, 3u);
  const auto& points = g_record->points;
  ASSERT_GT(points.size(), g_points_at_fire);
  EXPECT_TRUE(points[g_points_at_fire - 1].touches_all);
  // The turns before it touched their own event and the program's variables (read, and any of
  // them written: a test's entry has no table of variables), nothing more.
  for (std::size_t i = g_points_at_fire - 3; i < g_points_at_fire - 1; ++i) {
    EXPECT_FALSE(points[i].touches_all) << i;
    EXPECT_EQ(points[i].touched.size(), 3u) << i;
  }
  g_record = nullptr;
}

// Three outside events due at one instant: with a schedule in use, which fires first is a choice
// point of its own kind; without one they fire in the order they were scheduled.
std::string g_fired;

int ThreeAtOnce() {
  g_fired.clear();
  sim::Kernel& k = sim::Dev().kernel;
  const sim::Micros at = k.Now() + sim::kMicrosPerMs;
  for (const char* tag : {"a", "b", "c"}) k.At(at, tag, [tag] { g_fired += tag; });
  Sleep(5);
  return 0;
}

std::string FiredWith(const std::string& schedule, std::shared_ptr<sim::ScheduleRecord> record) {
  sim::BatchItem item{nullptr, {}};
  const sim::Scenario scenario = sim::Scenario::Builtin();
  item.scenario = &scenario;
  item.options.entry = ThreeAtOnce;
  item.options.schedule = schedule;
  item.options.record = std::move(record);
  bool reusable = false;
  EXPECT_FALSE(sim::RunFailed(sim::RunItem(item, 0, reusable)));
  return g_fired;
}

TEST(SameInstantEvents, AreChoicesOnlyWhenListed) {
  EXPECT_EQ(FiredWith("", nullptr), "abc");
  auto record = std::make_shared<sim::ScheduleRecord>();
  EXPECT_EQ(FiredWith("", record), "abc");
  std::vector<std::size_t> at;  // the event points, by index in the record
  for (std::size_t i = 0; i < record->points.size(); ++i)
    if (record->points[i].kind == sim::ChoiceKind::kEvent) at.push_back(i);
  ASSERT_EQ(at.size(), 2u);  // which of three, then which of the two left
  EXPECT_EQ(record->points[at[0]].options, 3);
  EXPECT_EQ(record->points[at[1]].options, 2);
  EXPECT_EQ(record->points[at[0]].stay, -1);  // choosing another order preempts nobody
  EXPECT_TRUE(record->points[at[0]].touches_all);
  // The thread points before the first event point as the fixed order takes them.
  std::string lead;
  for (std::size_t i = 0; i < at[0]; ++i) lead += "d.";
  const struct {
    std::string choices;
    const char* fired;
  } cases[] = {{"2.1", "cba"}, {"1.0", "bac"}, {"0.1", "acb"}, {"2.0", "cab"}};
  for (const auto& c : cases) {
    EXPECT_EQ(FiredWith(lead + c.choices, nullptr), c.fired) << c.choices;
  }
}

// The racy gallery scenario in the fixed order: its steps are keyed where the program and the
// handset touch objects, and touch everything where timers fire or deadlines pass; the counts are
// printed for the record.
// A gallery scenario's run in mode 3 in the fixed order, with its record.
std::shared_ptr<sim::ScheduleRecord> RecordedGalleryRun(const char* file) {
#if defined(__SANITIZE_ADDRESS__)
  // The run ends with the power gone and the program's own allocations still held, which the
  // end of its process frees; they are not a leak of the simulator's.
  __lsan::ScopedDisabler no_leak_check;
#endif
  const sim::Scenario scenario = sim::Scenario::FromFile(std::string(HS_SOURCE_DIR "/scenarios/") + file);
  sim::BatchItem item{&scenario, {}};
  item.options.args = {"3"};
  auto record = std::make_shared<sim::ScheduleRecord>();
  item.options.record = record;
  bool reusable = false;
  EXPECT_FALSE(sim::RunFailed(sim::RunItem(item, 0, reusable)));
  return record;
}

TEST(Footprint, AGalleryRaceHasKeyedAndUnkeyedSteps) {
  const auto record = RecordedGalleryRun("race_answer_timeout.toml");
  int all = 0, keyed = 0, events = 0;
  for (const sim::ChoicePoint& p : record->points) {
    (p.touches_all ? all : keyed) += 1;
    events += p.kind == sim::ChoiceKind::kEvent ? 1 : 0;
    EXPECT_TRUE(std::is_sorted(p.touched.begin(), p.touched.end()));
    EXPECT_EQ(std::adjacent_find(p.touched.begin(), p.touched.end()), p.touched.end());
  }
  std::cout << record->points.size() << " choice points: " << keyed << " keyed, " << all << " touch everything, "
            << events << " among same-instant events\n";
  EXPECT_GT(keyed, 0);
  EXPECT_GT(all, 0);
  // The program's variables are keyed one by one where a step changed them; most of its steps
  // only read them.
  int writing = 0, reading_only = 0;
  const std::uint64_t first_write = sim::VariableKey(sim::kFirstProgram, 0);
  const std::uint64_t any_write = sim::VariableKey(sim::kFirstProgram, sim::kAnyVariable);
  for (const sim::ChoicePoint& p : record->points) {
    if (p.touches_all) continue;
    const bool wrote = std::any_of(p.touched.begin(), p.touched.end(),
                                   [&](std::uint64_t k) { return k >= first_write && k < any_write; });
    EXPECT_FALSE(std::binary_search(p.touched.begin(), p.touched.end(), any_write));
    (wrote ? writing : reading_only) += 1;
  }
  EXPECT_GT(writing, 0);
  EXPECT_GT(reading_only, writing);
}

// A variable the program writes is keyed by its place in the program's table, in the step that
// wrote it, and only there: the step that counts the shutdown run in writes the run count.
TEST(Footprint, AWriteOfAProgramVariableIsKeyedInItsStep) {
  const auto record = RecordedGalleryRun("race_no_crossing_timeout.toml");
  // g_lNormalShutdownRuns is the fourth variable of the table: counted in, then out again.
  const std::uint64_t runs = sim::VariableKey(sim::kFirstProgram, 3);
  int steps = 0;
  for (const sim::ChoicePoint& p : record->points)
    steps += std::binary_search(p.touched.begin(), p.touched.end(), runs) ? 1 : 0;
  EXPECT_GE(steps, 1);
  EXPECT_LE(steps, 2);
}

// A run that keeps no record gathers nothing.
TEST(Footprint, OnlyARecordedRunGathers) {
  bool gathered = true;
  sim::BatchItem item{nullptr, {}};
  const sim::Scenario scenario = sim::Scenario::Builtin();
  item.scenario = &scenario;
  item.options.entry = [&gathered] {
    gathered = sim::Dev().kernel.Footprint() != nullptr;
    return 0;
  };
  bool reusable = false;
  sim::RunItem(item, 0, reusable);
  EXPECT_FALSE(gathered);
}

}  // namespace
