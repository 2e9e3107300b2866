// What a simulated run costs: one platform call, one whole mode-3 run (fibers and host threads),
// building a handset, its summary, one explored seed in a process that has run seeds before, and
// seeds per second of the explorer over race_answer_timeout (fibers and host threads).
// The label of each benchmark gives the figure measured before the work it measures (fibers and
// call-site naming; runs one after another in a process), on this project's 2-core build machine.
//
//   build/default/bench/benchmarks --benchmark_filter='Kernel|Explore|Mode3|Handset'
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "bench/in_child.h"
#include "platform/platform.h"
#include "sim/checks/checked_run.h"
#include "sim/explore/batch.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCallsPerRun = 20000;

sim::KernelMechanism MechanismOf(const benchmark::State& state) {
  return state.range(0) == 0 ? sim::KernelMechanism::kFibers : sim::KernelMechanism::kHostThreads;
}

int ManyCalls() {
  const HANDLE other = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        for (int i = 0; i < kCallsPerRun / 2; ++i) GetTickCount();
        return 0;
      },
      nullptr, 0, nullptr);
  for (int i = 0; i < kCallsPerRun / 2; ++i) GetTickCount();
  WaitForSingleObject(other, INFINITE);
  return 0;
}

// Microseconds per platform call (the counter us/call): two threads making 20,000 calls in all,
// switching at random; an iteration is the whole run.
void BM_KernelPlatformCall(benchmark::State& state) {
  double total = 0;
  for (auto _ : state) {
    const double seconds = bench::InChild([&] {
      sim::RunOptions o;
      o.seed = 7;
      o.entry = ManyCalls;
      o.mechanism = MechanismOf(state);
      auto* handset = new sim::Handset(sim::Scenario::Builtin(), o);
      const auto start = Clock::now();
      handset->Run();
      return std::chrono::duration<double>(Clock::now() - start).count();
    });
    state.SetIterationTime(seconds);
    total += seconds;
  }
  state.counters["us/call"] =
      total * 1e6 / (static_cast<double>(kCallsPerRun) * static_cast<double>(state.iterations()));
  state.SetLabel(state.range(0) == 0 ? "fibers; before: about 20 us a call" : "host threads");
}
BENCHMARK(BM_KernelPlatformCall)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One mode-3 run with the box left unanswered (the timeout answers it), checked by the
// invariants, in process: from the handset's construction to its verdict.
void BM_Mode3UnansweredRun(benchmark::State& state) {
  const sim::Scenario scenario = sim::Scenario::Builtin();
  for (auto _ : state) {
    const double seconds = bench::InChild([&] {
      const auto start = Clock::now();
      sim::RunOptions o;
      o.seed = 3;
      o.args = {"3"};
      o.mechanism = MechanismOf(state);
      auto* handset = new sim::Handset(scenario, o);
      benchmark::DoNotOptimize(sim::RunChecked(*handset).summary);
      return std::chrono::duration<double>(Clock::now() - start).count();
    });
    state.SetIterationTime(seconds);
  }
  state.SetLabel(state.range(0) == 0 ? "fibers; before: about 4 ms of CPU" : "host threads");
}
BENCHMARK(BM_Mode3UnansweredRun)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Building and tearing down the handset of race_answer_timeout, without running it: the part of
// each explored seed that does not depend on the seed.
void BM_BuildHandset(benchmark::State& state) {
  const sim::Scenario scenario =
      sim::Scenario::FromFile(std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml");
  sim::RunOptions o;
  o.args = {"3"};
  o.mechanism = sim::KernelMechanism::kFibers;
  for (auto _ : state) {
    auto handset = std::make_unique<sim::Handset>(scenario, o);
    benchmark::DoNotOptimize(handset.get());
  }
  state.SetLabel(
      "before: about 55 us (the string table and the .reg text parsed for each handset), "
      "then 30 us (every table of the scenario read for each handset)");
}
BENCHMARK(BM_BuildHandset)->Unit(benchmark::kMicrosecond);

// The summary of a finished run of race_answer_timeout (mode 3): every part's end state as JSON,
// as each explored seed makes it once.
void BM_HandsetSummary(benchmark::State& state) {
  const sim::Scenario scenario =
      sim::Scenario::FromFile(std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml");
  sim::RunOptions o;
  o.seed = 5;
  o.args = {"3"};
  o.mechanism = sim::KernelMechanism::kFibers;
  o.name_host_thread = false;
  auto handset = std::make_unique<sim::Handset>(scenario, o);
  handset->Run();
  for (auto _ : state) benchmark::DoNotOptimize(handset->Summary());
  state.SetLabel("before: about 58 us (each member looked up in the ordered object)");
}
BENCHMARK(BM_HandsetSummary)->Unit(benchmark::kMicrosecond);

// One explored seed of race_answer_timeout in a process that has run seeds before, as the
// explorer's children do: build, run, judge on the verdict, tear down. Seeds change with every iteration.
void BM_ExploredSeedInProcess(benchmark::State& state) {
  const sim::Scenario scenario =
      sim::Scenario::FromFile(std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml");
  sim::RunOptions o;
  o.args = {"3"};
  o.mechanism = sim::KernelMechanism::kFibers;
  o.name_host_thread = false;
  std::uint64_t seed = 0;
  for (auto _ : state) {
    o.seed = ++seed;
    auto handset = std::make_unique<sim::Handset>(scenario, o);
    benchmark::DoNotOptimize(sim::RunChecked(*handset, sim::SummaryScope::kVerdict).summary);
  }
  state.SetLabel(
      "before: about 2 ms a seed, a fresh process each (fork, page faults, cold caches); "
      "about 490 us with JSON records and the whole summary");
}
BENCHMARK(BM_ExploredSeedInProcess)->Unit(benchmark::kMicrosecond);

// Seeds per second of race_answer_timeout over the explorer's batch on two processes.
void BM_ExploreRaceAnswerTimeout(benchmark::State& state) {
  const sim::Scenario scenario =
      sim::Scenario::FromFile(std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml");
  constexpr int kSeeds = 2000;
  std::vector<sim::BatchItem> items;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    sim::BatchItem item{&scenario, {}};
    item.options.seed = static_cast<std::uint64_t>(seed);
    item.options.args = {"3"};
    item.options.mechanism = MechanismOf(state);
    items.push_back(item);
  }
  for (auto _ : state) {
    std::size_t failed = 0;
    sim::RunBatch(items, 2, false, [&](std::size_t, const sim::BatchResult& r) { failed += sim::RunFailed(r); });
    if (failed != 0) state.SkipWithError("a run failed");
  }
  state.counters["seeds/s"] =
      benchmark::Counter(static_cast<double>(kSeeds) * state.iterations(), benchmark::Counter::kIsRate);
  state.SetLabel(state.range(0) == 0 ? "fibers; before: 261 to 413 seeds/s, then about 3,100 with JSON records"
                                     : "host threads");
}
// Real time: the runs happen in child processes, so the benchmark's own CPU time says nothing.
BENCHMARK(BM_ExploreRaceAnswerTimeout)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
