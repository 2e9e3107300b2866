#include "sim/explore/systematic.h"

#include <algorithm>
#include <ostream>
#include <set>

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

// The failing run `r` of `replay.schedule` as the report keeps it.
Json Failure(const BatchResult& r, const RunOptions& replay, int preemptions) {
  Json f = FailureRecord(r, Json{{"schedule", replay.schedule}, {"preemptions", preemptions}});
  f["unmet"] = r.value("unmet", Json::array());
  f["replay"] = ReplayLine(replay);
  return f;
}

// Prints one failing schedule: what went wrong and the line that replays it.
void PrintFailure(const Json& f, std::ostream& out) {
  const std::string schedule = f["schedule"].get<std::string>();
  out << "FAIL schedule " << (schedule.empty() ? "(the fixed order)" : schedule) << ": ";
  if (f.contains("crash")) {
    out << "crash: " << f["crash"].get<std::string>() << "\n";
  } else {
    out << f["outcome"].get<std::string>() << ": " << f["reason"].get<std::string>() << "\n";
    for (const auto& v : f["violations"])
      out << "  " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
    for (const auto& u : f["unmet"]) out << "  unmet: " << (u.is_string() ? u.get<std::string>() : u.dump()) << "\n";
  }
  out << "  replay: " << f["replay"].get<std::string>() << "\n";
}

std::uint64_t U(const Json& report, const char* key) { return report[key].get<std::uint64_t>(); }

// The shard's or the merge's own lines: which part of the search the schedules below cover.
void PrintParts(const Json& report, std::ostream& out) {
  const std::uint64_t count = report["shard"]["count"].get<std::uint64_t>();
  if (count <= 1) return;
  const bool merged = report.contains("merged");
  out << (merged ? std::to_string(report["shards"].size()) + " shards merged: "
                 : "shard " + std::to_string(report["shard"]["index"].get<std::uint64_t>()) + " of " +
                       std::to_string(count) + ": ");
  if (U(report, "parts") == 0)
    out << "nothing dealt out: the search ended within its first " << U(report, "shared")
        << " schedules, which every shard runs (shard 1 counts them)";
  else
    out << (merged ? "the " : std::to_string(U(report, "parts_run")) + " of the ") << U(report, "parts")
        << " schedules queued after the first " << U(report, "shared")
        << (merged ? " were dealt out" : " were dealt to it") << " (every shard runs the first " << U(report, "shared")
        << "; shard 1 counts them)";
  if (merged && !report["missing_shards"].empty()) {
    out << "; missing shards:";
    for (const auto& k : report["missing_shards"]) out << " " << k.get<std::uint64_t>();
    out << " of " << count;
  }
  out << "\n";
  out << "outside " << (merged ? "their shard's part: " : "the shard's part: ") << U(report, "outside")
      << " schedules, queued by a race " << (merged ? "a" : "the") << " shard saw (another shard may run them too)\n";
}

void PrintTotals(const Json& r, std::ostream& out) {
  const Json& batch = r["batch"];
  const int bound = batch["preemptions"].get<int>();
  const bool reduce = batch["reduction"].get<bool>();
  // The report of a whole search, merged on its own, prints as the search printed it.
  const bool merged = r.contains("merged") && r["shard"]["count"].get<std::uint64_t>() > 1;
  const std::uint64_t schedules = U(r, "schedules");
  out << "systematic exploration up to " << bound << " preemptions, "
      << (reduce ? "race-directed, with sleep sets" : "no reduction (--no-reduction)") << ":\n";
  PrintParts(r, out);
  for (std::size_t k = 0; k < r["per_bound"].size(); ++k)
    out << "  " << k << " preemptions: " << r["per_bound"][k].get<std::uint64_t>() << " schedules\n";
  const int reached = r["bound_reached"].get<int>();
  if (r["exhausted"].get<bool>())
    out << "exhausted up to " << bound << " preemptions: " << schedules << " schedules";
  else if (r["stop_reason"].get<std::string>().empty())
    out << "not exhausted up to " << bound << " preemptions: " << schedules << " schedules in the shards given";
  else
    out << "stopped at bound " << reached << " after " << schedules
        << " schedules: " << r["stop_reason"].get<std::string>()
        << (reached > 0 ? " (exhausted up to " + std::to_string(reached - 1) + " preemptions)" : "");
  out << "\nchoice points: " << U(r, "points_seen") << " passed, at most " << U(r, "most_points") << " in a run\n";
  if (reduce)
    out << "reduction: " << U(r, "asleep") << " alternatives skipped as asleep, " << U(r, "no_race")
        << " as racing with nothing; " << U(r, "late") << " queued when a later run showed their race\n";
  if (reduce && U(r, "left_below") > 0)
    out << "left unrun: " << U(r, "left_below")
        << " schedules with fewer preemptions, queued by races seen after their bound was searched "
           "(the bound and the reduction together are approximate: docs/systematic.md)\n";
  const double seconds = r["seconds"].get<double>();
  out << "time: " << seconds << " s" << (merged ? " (the longest shard)" : "") << ", "
      << static_cast<long>(schedules / std::max(seconds, 1e-9)) << " schedules/s (each replayed from the start, "
      << (merged ? std::to_string(r["shards"].size()) + " shards" : std::string("one process")) << ")\n";
  out << "failing schedules: " << U(r, "failures");
  if (const Json& first = r["first_failure"]; !first.is_null()) {
    out << " (the first was schedule " << first["schedule"].get<std::uint64_t>();
    if (merged) out << " of shard " << first["shard"].get<std::uint64_t>();
    out << ", with " << first["preemptions"].get<int>() << " preemptions)";
  }
  out << "\n";
}

Json EmptyReport(const SystematicOptions& o) {
  // The search is every run's command line and the options that bound it: shards of one search
  // have the same.
  Json batch{{"scenario", o.base.scenario_file}, {"command_line", RunWords(o.base, false)},
             {"preemptions", o.preemptions},     {"reduction", o.reduce},
             {"max_schedules", o.max_schedules}, {"max_seconds", o.max_seconds}};
  return Json{{"kind", "systematic"},
              {"batch", batch},
              {"shard", {{"index", o.shard.index}, {"count", o.shard.count}}},
              {"shards", Json::array({o.shard.index})},
              {"max_reported", o.max_reported},
              {"seconds", 0.0},
              {"runs", 0},
              {"failures", 0},
              {"failing", Json::array()},
              {"shown", Json::array()}};
}

// The totals into the report.
void AddTotals(const SearchTotals& t, Json& report) {
  report["seconds"] = t.seconds;
  report["runs"] = t.schedules;
  report["failures"] = t.failures;
  report["schedules"] = t.schedules;
  report["per_bound"] = t.per_bound;
  report["exhausted"] = t.exhausted;
  report["bound_reached"] = t.bound_reached;
  report["stop_reason"] = t.stop_reason;
  report["points_seen"] = t.points_seen;
  report["most_points"] = t.most_points;
  report["asleep"] = t.asleep;
  report["steered"] = t.steered;
  report["cut"] = t.cut;
  report["no_race"] = t.no_race;
  report["late"] = t.late;
  report["left_below"] = t.left_below;
  report["parts"] = t.parts;
  report["parts_run"] = t.parts_run;
  report["shared"] = t.shared;
  report["outside"] = t.outside;
  report["first_failure"] = t.failures == 0 ? Json()
                                            : Json{{"schedule", t.first_failure},
                                                   {"preemptions", t.first_failure_bound},
                                                   {"shard", report["shard"]["index"]}};
}

}  // namespace

SystematicResult ExploreSystematic(const Scenario& scenario, const SystematicOptions& o, std::ostream& out) {
  SystematicResult r;
  r.report = EmptyReport(o);
  BatchResult last;
  std::uint64_t index = 0;
  const ScheduleRunner run = [&](const std::vector<int>& prefix, ScheduleRecord& record) {
    last = RunSchedule(scenario, o.base, prefix, record, index++);
    return RunFailed(last);
  };
  const FailureSink on_failure = [&](const ScheduleRecord& record, int preemptions) {
    RunOptions replay = o.base;
    replay.schedule = ScheduleText(record.points, record.points.size());
    r.report["failing"].push_back({{"schedule", replay.schedule}, {"preemptions", preemptions}});
    if (r.failing.size() < static_cast<std::size_t>(o.max_reported)) {
      r.report["shown"].push_back(Failure(last, replay, preemptions));
      PrintFailure(r.report["shown"].back(), out);
    }
    r.failing.push_back(replay.schedule);
  };
  SearchLimits limits;
  limits.bound = o.preemptions;
  limits.max_schedules = o.max_schedules;
  limits.max_seconds = o.max_seconds;
  limits.reduce = o.reduce;
  limits.shard_index = o.shard.index;
  limits.shard_count = o.shard.count;
  static_cast<SearchTotals&>(r) = SearchSchedules(run, limits, on_failure);
  AddTotals(r, r.report);
  PrintTotals(r.report, out);
  if (!o.report_json.empty()) r.report_written = WriteReport(r.report, o.report_json);
  return r;
}

void PrintSystematicReport(const Json& report, std::ostream& out) {
  for (const Json& f : report["shown"]) PrintFailure(f, out);
  PrintTotals(report, out);
}

const std::vector<const char*> kSystematicSums = {"schedules", "points_seen", "asleep",     "steered",   "cut",
                                                  "no_race",   "late",        "left_below", "parts_run", "outside"};

void MergeSystematic(Json& merged, const std::vector<Json>& reports) {
  for (const char* key : kSystematicSums) {
    std::uint64_t sum = 0;
    for (const Json& r : reports) sum += r[key].get<std::uint64_t>();
    merged[key] = sum;
  }
  std::vector<std::uint64_t> per_bound(merged["per_bound"].size(), 0);
  std::uint64_t most = 0;
  bool exhausted = merged["missing_shards"].empty();
  const Json* stopped = nullptr;  // the shard that stopped at the lowest bound
  for (const Json& r : reports) {
    for (std::size_t k = 0; k < per_bound.size() && k < r["per_bound"].size(); ++k)
      per_bound[k] += r["per_bound"][k].get<std::uint64_t>();
    most = std::max(most, r["most_points"].get<std::uint64_t>());
    if (r["exhausted"].get<bool>()) continue;
    exhausted = false;
    if (stopped == nullptr || r["bound_reached"] < (*stopped)["bound_reached"]) stopped = &r;
  }
  merged["per_bound"] = per_bound;
  merged["most_points"] = most;
  merged["runs"] = merged["schedules"];
  merged["exhausted"] = exhausted;
  merged["bound_reached"] = stopped ? (*stopped)["bound_reached"] : merged["batch"]["preemptions"];
  merged["stop_reason"] = stopped ? (*stopped)["stop_reason"] : Json("");
  // Every failing schedule once, fewest preemptions first, then by shard in the order found.
  using Entry = std::pair<const Json*, const Json*>;  // the failing schedule and its report
  std::vector<Entry> failing;
  for (const Json& r : reports)
    for (const Json& f : r["failing"]) failing.emplace_back(&f, &r);
  std::stable_sort(failing.begin(), failing.end(), [](const Entry& a, const Entry& b) {
    const Json& fa = *a.first;
    const Json& fb = *b.first;
    if (fa["preemptions"] != fb["preemptions"]) return fa["preemptions"] < fb["preemptions"];
    return (*a.second)["shard"]["index"] < (*b.second)["shard"]["index"];
  });
  std::set<std::string> seen;
  Json all = Json::array();
  Json shown = Json::array();
  const auto limit = static_cast<std::size_t>(std::max(0, merged.value("max_reported", 10)));
  for (const auto& [f, r] : failing) {
    const std::string schedule = (*f)["schedule"].get<std::string>();
    if (!seen.insert(schedule).second) continue;
    all.push_back(*f);
    if (shown.size() >= limit) continue;
    for (const Json& s : (*r)["shown"])
      if (s["schedule"] == schedule) shown.push_back(s);
  }
  merged["failing"] = all;
  merged["shown"] = shown;
  merged["failures"] = all.size();
  // The first failure: of the shard whose first failure took the fewest preemptions.
  Json first;
  for (const Json& r : reports) {
    const Json& f = r["first_failure"];
    if (f.is_null()) continue;
    if (first.is_null() || f["preemptions"] < first["preemptions"] ||
        (f["preemptions"] == first["preemptions"] && f["shard"] < first["shard"]))
      first = f;
  }
  merged["first_failure"] = first;
}

}  // namespace sim
