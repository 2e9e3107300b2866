#include "sim/explore/explore.h"

#include <chrono>
#include <iostream>

#include "sim/explore/batch.h"

namespace sim {

namespace {

std::string Replay(const ExploreOptions& o, std::uint64_t seed) {
  std::string cmd = "devsim";
  if (!o.scenario_file.empty()) cmd += " --scenario " + o.scenario_file;
  cmd += " --seed " + std::to_string(seed);
  if (o.pct) cmd += " --pct --pct-depth " + std::to_string(o.pct_depth);
  cmd += o.replay_prefix;
  cmd += " --";
  for (const auto& a : o.args) cmd += " '" + a + "'";
  return cmd;
}

void Report(const Json& r, const ExploreOptions& o, ExploreResult& result, std::ostream& out) {
  ++result.runs;
  ++result.outcomes[r.contains("crash") ? "crash" : r.value("outcome", "?")];
  for (const auto& v : r.value("violations", Json::array())) ++result.violations[v["invariant"].get<std::string>()];
  if (!RunFailed(r)) return;
  ++result.failures;
  const std::uint64_t seed = r["seed"].get<std::uint64_t>();
  result.failing_seeds.push_back(seed);
  if (result.failures > static_cast<std::uint64_t>(o.max_reported)) return;
  out << "seed " << seed << ": ";
  if (r.contains("crash")) out << "crashed: " << r["crash"].get<std::string>();
  else out << "outcome " << r.value("outcome", "?") << " (" << r.value("reason", "") << ")";
  out << "\n";
  for (const auto& v : r.value("violations", Json::array()))
    out << "  violated " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
  for (const auto& u : r.value("unmet", Json::array())) out << "  expectation not met: " << u.get<std::string>() << "\n";
  if (o.world_report) out << o.world_report(seed);
  else out << "  replay: " << Replay(o, seed) << "\n";
}

}  // namespace

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<BatchItem> items;
  items.reserve(o.runs);
  for (std::uint64_t i = 0; i < o.runs; ++i) {
    BatchItem item{&scenario, o.base};
    item.options.seed = o.first_seed + i;
    item.options.pct = o.pct;
    item.options.pct_depth = o.pct_depth;
    item.world = o.world;
    items.push_back(std::move(item));
  }
  ExploreResult result;
  RunBatch(items, o.jobs, o.progress, [&](std::size_t, const BatchResult& r) { Report(r, o, result, std::cout); });
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "explored " << result.runs << " seeds (" << o.first_seed << " to " << o.first_seed + o.runs - 1
            << ", " << (o.pct ? "PCT depth " + std::to_string(o.pct_depth) : std::string("uniform random"))
            << ") in " << result.seconds << " s: " << static_cast<long>(result.runs / std::max(result.seconds, 1e-9))
            << " seeds/s on " << o.jobs << " processes\n";
  std::cout << "outcomes:";
  for (const auto& [k, v] : result.outcomes) std::cout << " " << k << "=" << v;
  std::cout << "\nviolations:";
  if (result.violations.empty()) std::cout << " none";
  for (const auto& [k, v] : result.violations) std::cout << " " << k << "=" << v;
  std::cout << "\nfailing seeds: " << result.failures << "\n";
  return result;
}

}  // namespace sim
