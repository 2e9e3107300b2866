#include "sim/explore/systematic.h"

#include <ostream>

#include "sim/explore/batch.h"

namespace sim {
namespace {

// One run of `prefix`, judged, recording every choice point into `record`.
BatchResult RunSchedule(const Scenario& scenario, const RunOptions& base, const std::vector<int>& prefix,
                        ScheduleRecord& record, std::uint64_t index) {
  BatchItem item{&scenario, base};
  // A run on host threads leaves its kernel, and the record it holds, behind: it gets its own.
  auto own = std::make_shared<ScheduleRecord>();
  own->past_list = std::move(record.past_list);
  item.options.record = own;
  item.options.schedule.clear();
  for (std::size_t i = 0; i < prefix.size(); ++i) item.options.schedule += (i ? "." : "") + std::to_string(prefix[i]);
  bool reusable = false;
  BatchResult r = RunItem(item, index, reusable);
  own->past_list = nullptr;
  record.points = std::move(own->points);
  record.mismatches = own->mismatches;
  return r;
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

void PrintTotals(const SystematicResult& r, const SystematicOptions& o, std::ostream& out) {
  out << "systematic exploration up to " << o.preemptions << " preemptions, "
      << (o.reduce ? "race-directed, with sleep sets" : "no reduction (--no-reduction)") << ":\n";
  for (std::size_t k = 0; k < r.per_bound.size(); ++k)
    out << "  " << k << " preemptions: " << r.per_bound[k] << " schedules\n";
  if (r.exhausted)
    out << "exhausted up to " << o.preemptions << " preemptions: " << r.schedules << " schedules";
  else
    out << "stopped at bound " << r.bound_reached << " after " << r.schedules << " schedules: " << r.stop_reason
        << (r.bound_reached > 0 ? " (exhausted up to " + std::to_string(r.bound_reached - 1) + " preemptions)" : "");
  out << "\nchoice points: " << r.points_seen << " passed, at most " << r.most_points << " in a run\n";
  if (o.reduce)
    out << "reduction: " << r.asleep << " alternatives skipped as asleep, " << r.no_race << " as racing with nothing; "
        << r.late << " queued when a later run showed their race\n";
  out << "time: " << r.seconds << " s, " << static_cast<long>(r.schedules / std::max(r.seconds, 1e-9))
      << " schedules/s (each replayed from the start, one process)\n";
  out << "failing schedules: " << r.failures;
  if (r.failures > 0)
    out << " (the first was schedule " << r.first_failure << ", with " << r.first_failure_bound << " preemptions)";
  out << "\n";
}

}  // namespace

SystematicResult ExploreSystematic(const Scenario& scenario, const SystematicOptions& o, std::ostream& out) {
  SystematicResult r;
  BatchResult last;
  std::uint64_t index = 0;
  const ScheduleRunner run = [&](const std::vector<int>& prefix, ScheduleRecord& record) {
    last = RunSchedule(scenario, o.base, prefix, record, index++);
    return RunFailed(last);
  };
  const FailureSink on_failure = [&](const ScheduleRecord& record, int) {
    RunOptions replay = o.base;
    replay.schedule = ScheduleText(record.points, record.points.size());
    if (r.failing.size() < static_cast<std::size_t>(o.max_reported)) PrintFailure(last, replay, out);
    r.failing.push_back(replay.schedule);
  };
  SearchLimits limits;
  limits.bound = o.preemptions;
  limits.max_schedules = o.max_schedules;
  limits.max_seconds = o.max_seconds;
  limits.reduce = o.reduce;
  static_cast<SearchTotals&>(r) = SearchSchedules(run, limits, on_failure);
  PrintTotals(r, o, out);
  return r;
}

}  // namespace sim
