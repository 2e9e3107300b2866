#include "sim/explore/systematic.h"

#include <chrono>
#include <ostream>

#include "sim/explore/batch.h"

namespace sim {
namespace {

// A schedule still to run: the choices up to its last one off the fixed order.
using Prefix = std::vector<int>;

// One run of `prefix`, judged; fills `record` with every choice point it passed.
BatchResult RunSchedule(const Scenario& scenario, const RunOptions& base, const Prefix& prefix,
                        std::shared_ptr<ScheduleRecord>& record, std::uint64_t index) {
  BatchItem item{&scenario, base};
  record = std::make_shared<ScheduleRecord>();
  item.options.record = record;
  item.options.schedule.clear();
  for (std::size_t i = 0; i < prefix.size(); ++i) item.options.schedule += (i ? "." : "") + std::to_string(prefix[i]);
  bool reusable = false;
  return RunItem(item, index, reusable);
}

// Prints one failing schedule: what went wrong and the line that replays it.
void PrintFailure(const BatchResult& r, const RunOptions& replay, std::ostream& out) {
  out << "FAIL schedule " << (replay.schedule.empty() ? "(the fixed order)" : replay.schedule) << ": ";
  if (r.contains("crash")) {
    out << "crash: " << r["crash"].get<std::string>() << "\n";
  } else {
    out << r["outcome"].get<std::string>() << ": " << r["reason"].get<std::string>() << "\n";
    for (const auto& v : r["violations"])
      out << "  " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
    for (const auto& u : r["unmet"]) out << "  unmet: " << (u.is_string() ? u.get<std::string>() : u.dump()) << "\n";
  }
  out << "  replay: " << ReplayLine(replay) << "\n";
}

// Queues every schedule that leaves the run of `prefix` at one of its points past the prefix,
// by the preemptions it costs (`cost` is the prefix's); those beyond the bound are dropped.
void QueueAlternatives(const ScheduleRecord& record, const Prefix& prefix, int cost, int bound,
                       std::vector<std::vector<Prefix>>& work) {
  for (std::size_t i = record.points.size(); i-- > prefix.size();) {
    const ChoicePoint& p = record.points[i];
    for (int j = p.options - 1; j >= 0; --j) {
      if (j == p.chosen) continue;
      const int c = cost + (p.Preempts(j) ? 1 : 0);
      if (c > bound) continue;
      Prefix next;
      next.reserve(i + 1);
      for (std::size_t k = 0; k < i; ++k) next.push_back(record.points[k].chosen);
      next.push_back(j);
      work[c].push_back(std::move(next));
    }
  }
}

void PrintTotals(const SystematicResult& r, const SystematicOptions& o, std::ostream& out) {
  out << "systematic exploration up to " << o.preemptions << " preemptions:\n";
  for (std::size_t k = 0; k < r.per_bound.size(); ++k)
    out << "  " << k << " preemptions: " << r.per_bound[k] << " schedules\n";
  if (r.exhausted)
    out << "exhausted up to " << o.preemptions << " preemptions: " << r.schedules << " schedules";
  else
    out << "stopped at bound " << r.bound_reached << " after " << r.schedules
        << " schedules: the cap of --max-schedules " << o.max_schedules;
  out << ", at most " << r.most_points << " choice points in a run\n";
  out << "time: " << r.seconds << " s, " << static_cast<long>(r.schedules / std::max(r.seconds, 1e-9))
      << " schedules/s (each replayed from the start, one process)\n";
  out << "failing schedules: " << r.failures << "\n";
}

}  // namespace

SystematicResult ExploreSystematic(const Scenario& scenario, const SystematicOptions& o, std::ostream& out) {
  const auto start = std::chrono::steady_clock::now();
  SystematicResult r;
  r.per_bound.assign(o.preemptions + 1, 0);
  std::vector<std::vector<Prefix>> work(o.preemptions + 1);
  work[0].push_back({});
  bool capped = false;
  for (int k = 0; k <= o.preemptions && !capped; ++k) {
    r.bound_reached = k;
    while (!work[k].empty()) {
      if (r.schedules >= o.max_schedules) {
        capped = true;
        break;
      }
      const Prefix prefix = std::move(work[k].back());
      work[k].pop_back();
      std::shared_ptr<ScheduleRecord> record;
      const BatchResult result = RunSchedule(scenario, o.base, prefix, record, r.schedules);
      ++r.schedules;
      ++r.per_bound[k];
      r.most_points = std::max<std::uint64_t>(r.most_points, record->points.size());
      if (RunFailed(result)) {
        RunOptions replay = o.base;
        replay.schedule = ScheduleText(record->points, prefix.size());
        if (r.failures < static_cast<std::uint64_t>(o.max_reported)) PrintFailure(result, replay, out);
        ++r.failures;
        r.failing.push_back(replay.schedule);
      }
      QueueAlternatives(*record, prefix, k, o.preemptions, work);
    }
  }
  r.exhausted = !capped;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintTotals(r, o, out);
  return r;
}

}  // namespace sim
