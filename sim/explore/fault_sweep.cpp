#include "sim/explore/fault_sweep.h"

#include <algorithm>
#include <deque>
#include <iostream>
#include <map>
#include <set>

#include "sim/explore/batch.h"

namespace sim {

namespace {

std::vector<std::string> AnswersFor(const std::string& mode) {
  if (mode == "2") return {"yes@1500"};
  return {};
}

// Whether the run's rule `rule` failed a call; the scenario's own rules may stay unused.
bool Fired(const BatchResult& r, const std::string& rule) {
  if (!r.contains("unused_fault_rules")) return true;
  for (const Json& unused : r["unused_fault_rules"])
    if (unused == rule) return false;
  return true;
}

// `scenario` where a run may also end at its time limit. Mode 3's prompt is not answered in the
// sweep, and a failed wait can be its timeout thread's, which then ends without answering the box:
// the box stands until somebody answers it, as the program's rules have it. Where the prompt
// runs on the main thread, the run falls quiet and ends "on", waiting for the person; where it
// runs on the notification thread (a call ended first), the main routine keeps polling for the
// prompt's end, so the same run reaches the time limit instead. The swarm allows the same.
Scenario BoxMayStand(const Scenario& scenario) {
  std::vector<std::string> outcomes = {"off", "suspended", "on"};
  if (auto expect = scenario.Root().Table("expect"))
    for (const std::string& o : expect->Strings("outcome"))
      if (std::find(outcomes.begin(), outcomes.end(), o) == outcomes.end()) outcomes.push_back(o);
  if (std::find(outcomes.begin(), outcomes.end(), "time-limit") == outcomes.end()) outcomes.push_back("time-limit");
  std::string list;
  for (const std::string& o : outcomes) list += (list.empty() ? "\"" : ", \"") + o + "\"";
  return scenario.Overridden("[expect]\noutcome = [" + list + "]\n", "sweep");
}

struct Planned {
  std::string mode, op, knob;  // op empty: the knob alone
};

std::string Replay(const SweepOptions& o, const Planned& p, const RunOptions& opts) {
  RunOptions replay = opts;
  replay.scenario_file = o.scenario_file;
  replay.knob = p.knob;
  return ReplayLine(replay);
}

}  // namespace

SweepResult Sweep(const Scenario& scenario, const SweepOptions& o) {
  SweepResult result;
  std::vector<Scenario> knob_scenarios;
  knob_scenarios.reserve(DeviceKnobs().size());
  for (const auto& k : DeviceKnobs())
    knob_scenarios.push_back(scenario.Overridden(k.overrides, "knob '" + k.name + "'"));
  // Scenario 0 is the one given; 1.. are the knobs.
  auto scenario_at = [&](std::size_t s) -> const Scenario& { return s == 0 ? scenario : knob_scenarios[s - 1]; };
  const std::size_t scenarios = knob_scenarios.size() + 1;

  // First a clean run of each mode on each scenario, to learn how often each fault site is
  // reached; a site the plain scenario never reaches is failed on the first knob that reaches it.
  std::vector<std::map<std::string, long>> reached(o.modes.size() * scenarios);
  {
    std::vector<BatchItem> clean;
    for (const auto& mode : o.modes)
      for (std::size_t s = 0; s < scenarios; ++s) {
        RunOptions opts;
        opts.args = {mode};
        opts.answers = AnswersFor(mode);
        clean.push_back(BatchItem{&scenario_at(s), opts, true});
      }
    RunBatch(clean, o.jobs, false, [&](std::size_t i, const BatchResult& r) {
      if (r.contains("sites"))
        for (const auto& [op, n] : r["sites"].items()) reached[i][op] = n.get<long>();
    });
  }
  std::vector<BatchItem> items;
  std::vector<Planned> plan;
  std::deque<Scenario> standing_box;  // scenarios of BoxMayStand, where the items point
  for (std::size_t m = 0; m < o.modes.size(); ++m) {
    const std::string& mode = o.modes[m];
    RunOptions base;
    base.args = {mode};
    base.answers = AnswersFor(mode);
    for (const auto& op : FaultSiteOperations()) {
      for (std::size_t s = 0; s < scenarios; ++s) {
        const auto& counts = reached[m * scenarios + s];
        auto it = counts.find(op);
        if (it == counts.end()) continue;
        const Scenario* at = &scenario_at(s);
        if (mode == "3" && op == "WaitForSingleObject") at = &standing_box.emplace_back(BoxMayStand(*at));
        for (long i = 1; i <= std::min<long>(it->second, o.max_calls_per_site); ++i) {
          RunOptions opts = base;
          opts.fail = {op + "@" + std::to_string(i)};
          items.push_back(BatchItem{at, opts});
          plan.push_back({mode, op, s == 0 ? "" : DeviceKnobs()[s - 1].name});
        }
        break;
      }
    }
    for (std::size_t k = 0; k < DeviceKnobs().size(); ++k) {
      items.push_back(BatchItem{&knob_scenarios[k], base});
      plan.push_back({mode, "", DeviceKnobs()[k].name});
    }
  }
  // This shard's part of the plan; the clean runs above are cheap and made by every shard.
  const ShardRange part = ShardOf(items.size(), o.shard);
  std::vector<BatchItem> mine(items.begin() + static_cast<std::ptrdiff_t>(part.begin),
                              items.begin() + static_cast<std::ptrdiff_t>(part.end));
  std::set<std::string> fired;
  std::vector<Json> failures;
  RunBatch(mine, o.jobs, o.progress, [&](std::size_t j, const BatchResult& r) {
    const std::size_t i = part.begin + j;
    ++result.runs;
    if (!plan[i].op.empty() && !r.contains("crash") && Fired(r, items[i].options.fail[0])) fired.insert(plan[i].op);
    if (!RunFailed(r)) return;
    Json f = FailureRecord(
        r, Json{{"index", i},
                {"what", "mode " + plan[i].mode + ", " + (plan[i].op.empty() ? "" : items[i].options.fail[0] + " ") +
                             (plan[i].knob.empty() ? "" : "knob '" + plan[i].knob + "'")}});
    f["replay"] = Replay(o, plan[i], items[i].options);
    failures.push_back(std::move(f));
  });
  std::sort(failures.begin(), failures.end(), [](const Json& a, const Json& b) { return a["index"] < b["index"]; });
  result.failures = failures.size();
  if (failures.size() > static_cast<std::size_t>(std::max(0, o.max_reported))) failures.resize(o.max_reported);
  Json batch{{"scenario", o.scenario_file},
             {"modes", o.modes},
             {"max_calls_per_site", o.max_calls_per_site},
             {"items", items.size()},
             {"sites", FaultSiteOperations()},
             {"knobs", DeviceKnobs().size()}};
  Json report{{"kind", "sweep"},
              {"batch", batch},
              {"shard", {{"index", o.shard.index}, {"count", o.shard.count}}},
              {"shards", Json::array({o.shard.index})},
              {"max_reported", o.max_reported},
              {"runs", result.runs},
              {"failures", result.failures},
              {"fired", fired},
              {"shown", failures}};
  PrintSweepReport(report, std::cout);
  result.sites_total = FaultSiteOperations().size();
  for (const auto& op : FaultSiteOperations()) {
    if (fired.count(op))
      ++result.sites_covered;
    else
      result.sites_not_covered.push_back(op);
  }
  result.knobs_total = DeviceKnobs().size();
  if (!o.report_json.empty()) result.report_written = WriteReport(report, o.report_json);
  return result;
}

void PrintSweepReport(const Json& report, std::ostream& out) {
  for (const Json& f : report["shown"]) {
    out << f["what"].get<std::string>() << ": ";
    if (f.contains("crash"))
      out << "crashed: " << f["crash"].get<std::string>() << "\n";
    else
      out << "outcome " << f.value("outcome", "?") << " (" << f.value("reason", "") << ")\n";
    for (const auto& v : f["violations"])
      out << "  violated " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
    if (const std::string more = NotListed(f); !more.empty()) out << "  " << more << "\n";
    out << "  replay: " << f["replay"].get<std::string>() << "\n";
  }
  const Json& batch = report["batch"];
  const Json& shard = report["shard"];
  out << "fault sweep: " << report["runs"].get<std::size_t>() << " runs over modes";
  for (const auto& m : batch["modes"]) out << " " << m.get<std::string>();
  if (report.contains("merged"))
    out << " (" << report["shards"].size() << " shards merged)";
  else if (shard["count"].get<std::uint64_t>() > 1)
    out << " (shard " << shard["index"].get<std::uint64_t>() << " of " << shard["count"].get<std::uint64_t>() << ")";
  out << "; " << report["failures"].get<std::size_t>() << " failing\n";
  if (report.contains("missing_shards") && !report["missing_shards"].empty()) {
    out << "missing shards:";
    for (const auto& k : report["missing_shards"]) out << " " << k.get<std::uint64_t>();
    out << " of " << shard["count"].get<std::uint64_t>() << "\n";
  }
  const std::set<std::string> fired = report["fired"].get<std::set<std::string>>();
  std::vector<std::string> missed;
  for (const auto& op : batch["sites"])
    if (!fired.count(op.get<std::string>())) missed.push_back(op.get<std::string>());
  out << "fault sites covered: " << batch["sites"].size() - missed.size() << " of " << batch["sites"].size()
      << " platform operations";
  if (!missed.empty()) {
    out << " (never reached:";
    for (const auto& s : missed) out << " " << s;
    out << ")";
  }
  const auto knobs = batch["knobs"].get<std::size_t>();
  out << "; device knobs: " << knobs << " of " << knobs << ", each in every mode\n";
}

}  // namespace sim
