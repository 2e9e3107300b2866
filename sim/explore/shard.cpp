#include "sim/explore/shard.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sim/explore/explore.h"
#include "sim/explore/fault_sweep.h"
#include "sim/explore/systematic.h"

namespace sim {

std::optional<Shard> ParseShard(const std::string& text) {
  const auto slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return std::nullopt;
  const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
  auto digits = [](const std::string& s) { return s.size() <= 9 && std::all_of(s.begin(), s.end(), ::isdigit); };
  if (!digits(k) || !digits(n)) return std::nullopt;
  const Shard shard{std::stoull(k), std::stoull(n)};
  if (shard.count == 0 || shard.index == 0 || shard.index > shard.count) return std::nullopt;
  return shard;
}

ShardRange ShardOf(std::uint64_t total, Shard shard) {
  const std::uint64_t k = shard.index - 1, n = shard.count;
  const std::uint64_t base = total / n, extra = total % n;
  const std::uint64_t begin = k * base + std::min(k, extra);
  return ShardRange{begin, begin + base + (k < extra ? 1 : 0)};
}

Json SortedKeys(const Json& counts) {
  std::map<std::string, Json> sorted;
  for (const auto& [k, v] : counts.items()) sorted[k] = v;
  Json out = Json::object();
  for (auto& [k, v] : sorted) out[k] = v;
  return out;
}

Json ReadReport(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw MergeError(path + ": cannot be read");
  Json report;
  try {
    report = Json::parse(in);
  } catch (const Json::exception& e) {
    throw MergeError(path + ": not a JSON report (" + std::string(e.what()) + ")");
  }
  const std::string kind = report.is_object() && report.contains("kind") && report["kind"].is_string()
                               ? report["kind"].get<std::string>()
                               : "";
  if (kind != "explore" && kind != "sweep" && kind != "systematic")
    throw MergeError(path + ": not an explore, sweep or systematic report");
  for (const char* key : {"batch", "shard", "shards", "runs", "failures"})
    if (!report.contains(key)) throw MergeError(path + ": the report has no '" + key + "'");
  if (kind == "systematic") {
    std::vector<const char*> keys = kSystematicSums;
    keys.insert(keys.end(), {"per_bound", "exhausted", "bound_reached", "stop_reason", "most_points", "parts", "shared",
                             "first_failure", "failing", "shown"});
    for (const char* key : keys)
      if (!report.contains(key)) throw MergeError(path + ": the report has no '" + key + "'");
  }
  // A value of the wrong type shows when the report is merged and printed on its own.
  try {
    std::ostringstream sink;
    const Json alone = MergeReports({report}, {path});
    if (kind == "explore")
      PrintExploreReport(alone, sink);
    else if (kind == "sweep")
      PrintSweepReport(alone, sink);
    else
      PrintSystematicReport(alone, sink);
  } catch (const Json::exception& e) {
    throw MergeError(path + ": a malformed report (" + std::string(e.what()) + ")");
  }
  return report;
}

bool WriteReport(const Json& report, const std::string& path) {
  std::ofstream out(path);
  out << report.dump(1) << "\n";
  out.flush();
  return static_cast<bool>(out);
}

namespace {

void AddCounts(Json& into, const Json& from) {
  for (const auto& [k, v] : from.items()) into[k] = into.value(k, std::uint64_t{0}) + v.get<std::uint64_t>();
}

// The failures shown in full, lowest key first, as many as one run would show.
Json MergeShown(const std::vector<Json>& reports, const char* key) {
  std::vector<Json> shown;
  for (const Json& r : reports)
    for (const Json& f : r["shown"]) shown.push_back(f);
  std::sort(shown.begin(), shown.end(), [key](const Json& a, const Json& b) { return a[key] < b[key]; });
  const auto limit = static_cast<std::size_t>(std::max(0, reports.front().value("max_reported", 10)));
  if (shown.size() > limit) shown.resize(limit);
  return shown;
}

void MergeExplore(Json& merged, const std::vector<Json>& reports) {
  std::vector<std::uint64_t> seeds;
  for (const Json& r : reports) {
    AddCounts(merged["outcomes"], r["outcomes"]);
    AddCounts(merged["violations"], r["violations"]);
    for (const auto& s : r["failing_seeds"]) seeds.push_back(s.get<std::uint64_t>());
  }
  std::sort(seeds.begin(), seeds.end());
  merged["outcomes"] = SortedKeys(merged["outcomes"]);
  merged["violations"] = SortedKeys(merged["violations"]);
  merged["failing_seeds"] = seeds;
  merged["shown"] = MergeShown(reports, "seed");
  merged["range"] = {{"first", merged["batch"]["first_seed"]}, {"last", merged["batch"]["last_seed"]}};
}

void MergeSweep(Json& merged, const std::vector<Json>& reports) {
  std::set<std::string> fired;
  for (const Json& r : reports)
    for (const auto& op : r["fired"]) fired.insert(op.get<std::string>());
  merged["fired"] = fired;
  merged["shown"] = MergeShown(reports, "index");
}

std::string Kind(const Json& report) {
  const std::string kind = report["kind"].get<std::string>();
  return kind == "explore" ? "a seed exploration's" : kind == "sweep" ? "a sweep's" : "a systematic search's";
}

// What tells two batches apart: " (its KEY is X, not Y)" for the first key that differs.
std::string Difference(const Json& batch, const Json& other) {
  for (const auto& [key, value] : batch.items())
    if (!other.contains(key) || other[key] != value)
      return " (its " + key + " is " + value.dump() + ", not " + (other.contains(key) ? other[key].dump() : "absent") +
             ")";
  return "";
}

}  // namespace

Json MergeReports(const std::vector<Json>& reports, const std::vector<std::string>& names) {
  if (reports.empty()) throw MergeError("no reports to merge");
  const Json& first = reports.front();
  std::set<std::uint64_t> shards;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Json& r = reports[i];
    if (r["kind"] != first["kind"])
      throw MergeError(names[i] + ": " + Kind(r) + " report, " + names[0] + " " + Kind(first) + " one");
    if (r["batch"] != first["batch"])
      throw MergeError(names[i] + ": a shard of another batch than " + names[0] +
                       Difference(r["batch"], first["batch"]));
    if (r["shard"]["count"] != first["shard"]["count"])
      throw MergeError(names[i] + ": cut into " + r["shard"]["count"].dump() + " shards, " + names[0] + " into " +
                       first["shard"]["count"].dump());
    for (const auto& k : r["shards"])
      if (!shards.insert(k.get<std::uint64_t>()).second)
        throw MergeError(names[i] + ": shard " + k.dump() + " is given twice");
  }
  Json merged = first;
  merged["merged"] = true;
  merged["shards"] = shards;
  Json missing = Json::array();
  for (std::uint64_t k = 1; k <= first["shard"]["count"].get<std::uint64_t>(); ++k)
    if (!shards.count(k)) missing.push_back(k);
  merged["missing_shards"] = missing;
  std::uint64_t runs = 0, failures = 0;
  double seconds = 0;
  for (const Json& r : reports) {
    runs += r["runs"].get<std::uint64_t>();
    failures += r["failures"].get<std::uint64_t>();
    seconds = std::max(seconds, r.value("seconds", 0.0));
  }
  merged["runs"] = runs;
  merged["failures"] = failures;
  merged["seconds"] = seconds;
  if (first["kind"] != "systematic") {
    merged["outcomes"] = Json::object();
    merged["violations"] = Json::object();
  }
  if (first["kind"] == "explore")
    MergeExplore(merged, reports);
  else if (first["kind"] == "sweep")
    MergeSweep(merged, reports);
  else
    MergeSystematic(merged, reports);
  return merged;
}

}  // namespace sim
