// The kernel: a run does not depend on how simulated threads are carried, PCT reaches the whole
// length of a run, and a real-clock run follows the wall clock while it waits for a person.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "sim/explore/batch.h"
#include "sim/explore/explore.h"
#include "tests/harness.h"

namespace {

constexpr std::uint64_t kSeedsPerCase = testing_support::SeedsToRun(40);
constexpr std::uint64_t kPctSeeds = 150;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Kernel, FibersAndHostThreadsGiveTheSameRun) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "under ThreadSanitizer the kernel keeps host threads for both mechanisms";
#endif
  struct Case {
    const char* scenario;
    const char* mode;
    bool pct;
  };
  for (const Case& c : std::vector<Case>{{"race_answer_timeout.toml", "3", false},
                                         {"race_answer_timeout.toml", "3", true},
                                         {"race_radio_wait.toml", "1", false},
                                         {"race_radio_wait.toml", "1", true},
                                         {"race_call_end_registration.toml", "3", false},
                                         {"race_call_end_registration.toml", "3", true}}) {
    testing_support::RunSpec spec;
    spec.scenario = ReadFile(std::string(HS_SOURCE_DIR) + "/scenarios/" + c.scenario);
    spec.args = {c.mode};
    spec.pct = c.pct;
    for (std::uint64_t seed = 1; seed <= kSeedsPerCase; ++seed) {
      SCOPED_TRACE(std::string(c.scenario) + (c.pct ? " pct" : "") + " seed " + std::to_string(seed));
      spec.seed = seed;
      spec.mechanism = sim::KernelMechanism::kFibers;
      const auto fibers = testing_support::RunProgram(spec);
      spec.mechanism = sim::KernelMechanism::kHostThreads;
      const auto threads = testing_support::RunProgram(spec);
      ASSERT_EQ(fibers.error, "");
      ASSERT_EQ(threads.error, "");
      EXPECT_TRUE(fibers.summary["violations"].empty()) << fibers.summary.dump(1);
      EXPECT_EQ(fibers.summary, threads.summary);
      ASSERT_EQ(fibers.events.size(), threads.events.size());
      for (std::size_t i = 0; i < fibers.events.size(); ++i) ASSERT_EQ(fibers.events[i], threads.events[i]) << i;
    }
  }
}

// Two threads, each making many platform calls. The first opens a window of 1,000 calls late in
// the run, after the first 6,000; the race is seen when the second thread runs inside it, which under PCT needs a
// priority change point within those calls.
int LateRace() {
  static std::atomic<int> phase{0};
  static constexpr int kLead = 3000;
  const HANDLE other = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        for (int i = 0; i < kLead; ++i) GetTickCount();
        if (phase.load() == 1) sim::Dev().kernel.End(sim::EndKind::kStuck, "the late race was seen");
        return 0;
      },
      nullptr, 0, nullptr);
  for (int i = 0; i < kLead; ++i) GetTickCount();
  phase = 1;
  for (int i = 0; i < 1000; ++i) GetTickCount();
  phase = 2;
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
  return 0;
}

std::uint64_t RacesFound(const sim::Scenario& scenario, const sim::RunOptions& base, std::uint64_t pct_steps) {
  std::vector<sim::BatchItem> items;
  for (std::uint64_t seed = 1; seed <= kPctSeeds; ++seed) {
    sim::BatchItem item{&scenario, base};
    item.options.seed = seed;
    item.options.pct = true;
    item.options.pct_depth = 2;
    item.options.pct_steps = pct_steps;
    items.push_back(item);
  }
  std::uint64_t found = 0;
  sim::RunBatch(items, 2, false,
                [&](std::size_t, const sim::BatchResult& r) { found += r.value("outcome", "") == "stuck" ? 1 : 0; });
  return found;
}

TEST(Kernel, PctFindsARaceLateInARun) {
#ifdef HS_SANITIZED
  // Hundreds of whole runs of plain scheduling arithmetic: the optimised build checks it, and the
  // exploring tests take the sanitizers through the same scheduler.
  GTEST_SKIP() << "too slow under the sanitizers";
#endif
  const sim::Scenario scenario = sim::Scenario::Builtin();
  sim::RunOptions base;
  base.entry = LateRace;
  const std::uint64_t length = sim::LearnRunLength(scenario, base);
  ASSERT_GT(length, 7000u);
  EXPECT_GT(RacesFound(scenario, base, length), 0u);
  // Change points drawn over a horizon shorter than the run (as a fixed one of 20,000 calls is
  // for a long run) never reach the window.
  EXPECT_EQ(RacesFound(scenario, base, 2500), 0u);
}

// Signalled from outside the simulation.
class Flag final : public sim::Waitable {
 public:
  bool IsSignaled(sim::ThreadId) const override { return set; }
  void Acquire(sim::ThreadId) override {}
  bool set = false;
};

TEST(Kernel, RealClockFollowsTheWallWhileWaitingForAPerson) {
  for (const auto mechanism : {sim::KernelMechanism::kFibers, sim::KernelMechanism::kHostThreads}) {
    sim::SchedulerConfig config;
    config.real_clock = true;
    config.mechanism = mechanism;
    // Host threads stay parked on the kernel after the run: it is kept for the process's life.
    static auto* kept = new std::vector<std::pair<sim::Kernel*, Flag*>>;  // never torn down
    auto* kernel = new sim::Kernel(config);
    auto* flag = new Flag;
    kept->emplace_back(kernel, flag);
    sim::Micros answered_at = 0, woke_at = 0;
    // The person starts counting only once the run has begun, so that the run's clock, which
    // starts with the run, cannot have missed any of the person's delay.
    std::atomic<bool> running{false};
    const sim::ThreadId main = kernel->Spawn(
        "main",
        [&] {
          running = true;
          kernel->Wait(flag, sim::kNever, "a box waits for the person");
          answered_at = kernel->Now();
          kernel->Wait(nullptr, 50 * sim::kMicrosPerMs, "sleeps");
          woke_at = kernel->Now();
          kernel->End(sim::EndKind::kProcessEnded, "done");
        },
        false);
    kernel->SetQuiescenceJudge([] { return sim::RunEnd{sim::EndKind::kNone, "a person is at the terminal"}; });
    std::thread person([&] {
      while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      kernel->Post([flag] { flag->set = true; });
    });
    const auto start = std::chrono::steady_clock::now();
    const sim::RunEnd end = kernel->Run(main);
    const auto wall = std::chrono::steady_clock::now() - start;
    person.join();
    EXPECT_EQ(end.kind, sim::EndKind::kProcessEnded);
    EXPECT_GE(answered_at, 150 * sim::kMicrosPerMs);
    EXPECT_GE(woke_at, answered_at + 50 * sim::kMicrosPerMs);
    // The sleep after the answer is paced, not skipped.
    EXPECT_GE(wall, std::chrono::milliseconds(195));
  }
}

}  // namespace

// The explorer runs many handsets one after another in one process. Each must run exactly as it
// does alone in a fresh process: nothing of an earlier run (the program's variables, thread names,
// reused stacks, the order of waits) may leak into a later one. The runs differ in scenario, mode,
// scheduler and faults, and some end with threads still parked.
TEST(Kernel, HandsetsRunInOneProcessRunAsInFreshOnes) {
  struct Case {
    const char* scenario;
    const char* mode;
    bool pct;
    std::vector<std::string> fail;
  };
  const std::vector<Case> cases = {{"race_answer_timeout.toml", "3", false, {}},
                                   {"radio_never_answers.toml", "1", false, {}},
                                   {"race_no_crossing_timeout.toml", "3", true, {}},
                                   {"builtin.toml", "2", false, {"CreateThread"}},
                                   {"race_radio_wait.toml", "1", true, {}},
                                   {"many_processes.toml", "1", false, {"LocalAlloc"}},
                                   {"race_call_end_registration.toml", "3", false, {}}};
#ifdef HS_SANITIZED
  const std::uint64_t kSeeds = 1;
#else
  const std::uint64_t kSeeds = 3;
#endif
  std::vector<testing_support::RunSpec> specs;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed)
    for (const Case& c : cases) {
      testing_support::RunSpec spec;
      spec.scenario = ReadFile(std::string(HS_SOURCE_DIR) + "/scenarios/" + c.scenario);
      spec.args = {c.mode};
      spec.pct = c.pct;
      spec.fail = c.fail;
      spec.seed = seed;
      specs.push_back(spec);
    }
  const auto together = testing_support::RunInOneProcess(specs);
  std::set<std::string> outcomes;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const Case& c = cases[i % cases.size()];
    SCOPED_TRACE(std::string(c.scenario) + " mode " + c.mode + (c.pct ? " pct" : "") + " seed " +
                 std::to_string(specs[i].seed));
    const auto alone = testing_support::RunInOneProcess({specs[i]}).front();
    ASSERT_EQ(together[i].error, "");
    ASSERT_EQ(alone.error, "");
    outcomes.insert(together[i].outcome);
    EXPECT_EQ(together[i].outcome, alone.outcome);
    EXPECT_EQ(together[i].summary, alone.summary);
    EXPECT_EQ(together[i].raw_trace, alone.raw_trace);
    ASSERT_EQ(together[i].events.size(), alone.events.size());
    for (std::size_t e = 0; e < alone.events.size(); ++e) ASSERT_EQ(together[i].events[e], alone.events[e]) << e;
  }
  // Runs that end with the device off and runs that end with threads left waiting both came before
  // others: the test covers both ways a run leaves its process.
  EXPECT_GE(outcomes.size(), 2u);
}
