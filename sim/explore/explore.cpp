#include "sim/explore/explore.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include "sim/explore/batch.h"

namespace sim {

namespace {

std::string Replay(const ExploreOptions& o, std::uint64_t seed) {
  RunOptions replay = o.base;
  replay.seed = seed;
  return ReplayLine(replay);
}

// The failure of one run as the report keeps it.
Json Failure(const Json& r, const std::string& replay) {
  Json f = FailureRecord(r, Json{{"seed", r["seed"]}});
  f["unmet"] = r.value("unmet", Json::array());
  f["replay"] = replay;
  return f;
}

void Count(const Json& r, Json& report) {
  report["runs"] = report["runs"].get<std::uint64_t>() + 1;
  const std::string outcome = r.contains("crash") ? "crash" : r.value("outcome", "?");
  Json& outcomes = report["outcomes"];
  outcomes[outcome] = outcomes.value(outcome, std::uint64_t{0}) + 1;
  CountViolations(r, report["violations"]);
}

Json EmptyReport(const ExploreOptions& o, std::uint64_t pct_steps, std::uint64_t first, std::uint64_t last) {
  // The batch is every run's command line but the seed: shards of one batch have the same.
  Json batch{{"scenario", o.base.scenario_file},
             {"command_line", RunWords(o.base, false)},
             {"scheduler", o.base.pct ? "pct" : "uniform"},
             {"pct_depth", o.base.pct_depth},
             {"pct_steps", pct_steps},
             {"first_seed", o.first_seed},
             {"last_seed", o.first_seed + o.runs - 1}};
  return Json{{"kind", "explore"},
              {"batch", batch},
              {"shard", {{"index", o.shard.index}, {"count", o.shard.count}}},
              {"shards", Json::array({o.shard.index})},
              {"range", {{"first", first}, {"last", last}}},
              {"max_reported", o.max_reported},
              {"jobs", o.jobs},
              {"seconds", 0.0},
              {"runs", 0},
              {"failures", 0},
              {"outcomes", Json::object()},
              {"violations", Json::object()},
              {"failing_seeds", Json::array()},
              {"shown", Json::array()}};
}

}  // namespace

std::uint64_t LearnRunLength(const Scenario& scenario, RunOptions options) {
  options.seed = 0;
  options.pct = false;
  options.real_clock = false;
  options.interactive = false;
  std::uint64_t steps = 0;
  RunBatch({BatchItem{&scenario, options}}, 1, false,
           [&](std::size_t, const BatchResult& r) { steps = r.value("steps", std::uint64_t{0}); });
  return steps;
}

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  const ShardRange part = ShardOf(o.runs, o.shard);
  // PCT draws its change points over the whole length of a run, learnt once for the batch.
  const std::uint64_t pct_steps = o.base.pct ? LearnRunLength(scenario, o.base) : 0;
  std::vector<BatchItem> items;
  items.reserve(part.end - part.begin);
  for (std::uint64_t i = part.begin; i < part.end; ++i) {
    BatchItem item{&scenario, o.base};
    item.options.seed = o.first_seed + i;
    if (pct_steps != 0) item.options.pct_steps = pct_steps;
    item.world = o.world;
    items.push_back(std::move(item));
  }
  ExploreResult result;
  Json report = EmptyReport(o, pct_steps, o.first_seed + part.begin, o.first_seed + part.end - 1);
  std::vector<Json> failures;
  RunBatch(items, o.jobs, o.progress, [&](std::size_t, const BatchResult& r) {
    Count(r, report);
    if (!RunFailed(r)) return;
    const std::uint64_t seed = r["seed"].get<std::uint64_t>();
    failures.push_back(Failure(r, Replay(o, seed)));
    // A swarm seed is replayed through its world: the lines that describe it and write it out.
    if (o.world_report) failures.back()["world"] = o.world_report(seed);
  });
  std::sort(failures.begin(), failures.end(), [](const Json& a, const Json& b) { return a["seed"] < b["seed"]; });
  for (const Json& f : failures) {
    report["failing_seeds"].push_back(f["seed"]);
    if (report["shown"].size() < static_cast<std::size_t>(std::max(0, o.max_reported))) report["shown"].push_back(f);
  }
  report["failures"] = failures.size();
  report["outcomes"] = SortedKeys(report["outcomes"]);
  report["violations"] = SortedKeys(report["violations"]);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report["seconds"] = result.seconds;
  PrintExploreReport(report, std::cout);
  result.runs = report["runs"];
  result.failures = report["failures"];
  for (const auto& [k, v] : report["outcomes"].items()) result.outcomes[k] = v;
  for (const auto& [k, v] : report["violations"].items()) result.violations[k] = v;
  result.failing_seeds = report["failing_seeds"].get<std::vector<std::uint64_t>>();
  if (!o.report_json.empty()) result.report_written = WriteReport(report, o.report_json);
  result.report = std::move(report);
  return result;
}

void PrintExploreReport(const Json& report, std::ostream& out) {
  for (const Json& f : report["shown"]) {
    out << "seed " << f["seed"].get<std::uint64_t>() << ": ";
    if (f.contains("crash"))
      out << "crashed: " << f["crash"].get<std::string>();
    else
      out << "outcome " << f.value("outcome", "?") << " (" << f.value("reason", "") << ")";
    out << "\n";
    for (const auto& v : f["violations"])
      out << "  violated " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
    if (const std::string more = NotListed(f); !more.empty()) out << "  " << more << "\n";
    for (const auto& u : f.value("unmet", Json::array()))
      out << "  expectation not met: " << u.get<std::string>() << "\n";
    if (f.contains("world"))
      out << f["world"].get<std::string>();
    else
      out << "  replay: " << f["replay"].get<std::string>() << "\n";
  }
  const Json& batch = report["batch"];
  const Json& shard = report["shard"];
  const auto runs = report["runs"].get<std::uint64_t>();
  const double seconds = report["seconds"].get<double>();
  out << "explored " << runs << " seeds (" << report["range"]["first"].get<std::uint64_t>() << " to "
      << report["range"]["last"].get<std::uint64_t>();
  if (report.contains("merged"))
    out << ", " << report["shards"].size() << " shards merged";
  else if (shard["count"].get<std::uint64_t>() > 1)
    out << ", shard " << shard["index"].get<std::uint64_t>() << " of " << shard["count"].get<std::uint64_t>();
  out << ", "
      << (batch["scheduler"] == "pct" ? "PCT depth " + std::to_string(batch["pct_depth"].get<int>()) + " over " +
                                            std::to_string(batch["pct_steps"].get<std::uint64_t>()) + " steps"
                                      : std::string("uniform random"))
      << ") in " << seconds << " s" << (report.contains("merged") ? " (the longest shard)" : "") << ": "
      << static_cast<long>(runs / std::max(seconds, 1e-9)) << " seeds/s";
  if (!report.contains("merged")) out << " on " << report["jobs"].get<int>() << " processes";
  out << "\n";
  if (report.contains("missing_shards") && !report["missing_shards"].empty()) {
    out << "missing shards:";
    for (const auto& k : report["missing_shards"]) out << " " << k.get<std::uint64_t>();
    out << " of " << shard["count"].get<std::uint64_t>() << "\n";
  }
  out << "outcomes:";
  for (const auto& [k, v] : report["outcomes"].items()) out << " " << k << "=" << v.get<std::uint64_t>();
  out << "\nviolations:";
  if (report["violations"].empty()) out << " none";
  for (const auto& [k, v] : report["violations"].items()) out << " " << k << "=" << v.get<std::uint64_t>();
  out << "\nfailing seeds: " << report["failures"].get<std::uint64_t>() << "\n";
}

}  // namespace sim
