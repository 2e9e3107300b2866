// What a schedule of systematic exploration costs, two ways side by side on race_answer_timeout
// (mode 3), one core each:
//   - replayed: each schedule built, run from the start and judged (what the search does);
//   - forked: one run forks at a choice point (a fraction of the way through the run) and each
//     child takes the rest of the run from there, is judged and exits; the prefix runs once.
// Both count schedules per second; the ratio is what forking at choice points could gain.
//
//   build/default/bench/benchmarks --benchmark_filter='Schedule'
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <sstream>

#include "bench/in_child.h"
#include "sim/checks/checked_run.h"
#include "sim/explore/systematic.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSchedules = 200;

sim::Scenario RaceAnswerTimeout() {
  return sim::Scenario::FromFile(std::string(HS_SOURCE_DIR) + "/scenarios/race_answer_timeout.toml");
}

sim::RunOptions Mode3() {
  sim::RunOptions o;
  o.args = {"3"};
  o.mechanism = sim::KernelMechanism::kFibers;
  o.name_host_thread = false;
  return o;
}

// The systematic search itself at bound 0, capped at kSchedules schedules, each replayed.
void BM_ScheduleReplayed(benchmark::State& state) {
  const sim::Scenario scenario = RaceAnswerTimeout();
  double total = 0;
  for (auto _ : state) {
    total += bench::InChild([&] {
      sim::SystematicOptions o;
      o.base = Mode3();
      o.preemptions = 0;
      o.max_schedules = kSchedules;
      std::ostringstream out;
      const auto start = Clock::now();
      sim::ExploreSystematic(scenario, o, out);
      return std::chrono::duration<double>(Clock::now() - start).count();
    });
  }
  state.SetIterationTime(total / state.iterations());
  state.counters["schedules/s"] = kSchedules * state.iterations() / total;
  state.SetLabel("build, run from the start, judge: one process, one core");
}
BENCHMARK(BM_ScheduleReplayed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

bool g_forked_child = false;

// One run that, at its choice point numbered `at`, forks kSchedules children one after another;
// each takes the rest of the run, is judged and exits. Returns the seconds the children took.
double ForkedSchedules(const sim::Scenario& scenario, std::size_t at) {
  double seconds = 0;
  sim::RunOptions o = Mode3();
  o.record = std::make_shared<sim::ScheduleRecord>();
  o.record->past_list = [&](const sim::ChoicePoint&, const sim::ScheduleRecord& r) {
    if (g_forked_child || r.points.size() != at) return sim::kDefaultChoice;
    const auto start = Clock::now();
    for (int i = 0; i < kSchedules; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        g_forked_child = true;
        return sim::kDefaultChoice;
      }
      waitpid(pid, nullptr, 0);
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return sim::kDefaultChoice;
  };
  auto handset = std::make_unique<sim::Handset>(scenario, o);
  benchmark::DoNotOptimize(sim::RunChecked(*handset, sim::SummaryScope::kVerdict).summary);
  if (g_forked_child) _exit(0);
  return seconds;
}

// Forking at the choice point a given percentage of the way through the run.
void BM_ScheduleForked(benchmark::State& state) {
  const sim::Scenario scenario = RaceAnswerTimeout();
  std::size_t points = 0;
  {
    sim::RunOptions o = Mode3();
    o.record = std::make_shared<sim::ScheduleRecord>();
    auto handset = std::make_unique<sim::Handset>(scenario, o);
    sim::RunChecked(*handset, sim::SummaryScope::kVerdict);
    points = o.record->points.size();
  }
  const std::size_t at = points * static_cast<std::size_t>(state.range(0)) / 100;
  double total = 0;
  for (auto _ : state) total += bench::InChild([&] { return ForkedSchedules(scenario, at); });
  state.SetIterationTime(total / state.iterations());
  state.counters["schedules/s"] = kSchedules * state.iterations() / total;
  state.SetLabel("fork at point " + std::to_string(at) + " of " + std::to_string(points) +
                 ", the rest run and judged in the child: one core");
}
BENCHMARK(BM_ScheduleForked)->Arg(0)->Arg(50)->Arg(90)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
