#include "sim/explore/fault_sweep.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <set>

#include "sim/explore/batch.h"

namespace sim {

const std::vector<std::string>& FaultSiteOperations() {
  static const std::vector<std::string> kOps = {
      "CeGetUserNotification", "CeGetUserNotificationHandles", "CreateEventW", "CreateFileW", "CreateMutexW",
      "CreateThread", "CreateToolhelp32Snapshot", "DeviceIoControl", "EnumWindows", "FindWindowW",
      "GetFileSize", "GetModuleFileNameW", "GetProcAddressW", "GetWindowThreadProcessId", "GpioSetDirection",
      "GpioSetValue", "KernelIoControl", "LoadLibraryW", "LoadStringW", "LocalAlloc", "MessageBoxW",
      "NLedGetDeviceInfo", "NLedSetDevice", "OpenProcess", "PlaySoundW", "PostMessageW", "PowerPolicyNotify",
      "Process32First", "Process32Next", "RIL_DevSpecific", "RIL_Initialize", "ReadFile", "RegOpenKeyExW",
      "RegQueryValueExW", "RegistryGetString", "RegistryNotifyCallback", "SetDevicePower", "SetEvent",
      "SetSystemPowerState", "SetWindowsHookExW", "TerminateProcess", "WaitForSingleObject"};
  return kOps;
}

const std::vector<DeviceKnob>& DeviceKnobs() {
  static const std::vector<DeviceKnob> kKnobs = {
      {"radio never confirms", "[radio]\nconfirm = \"never\"\n"},
      {"radio reports another state", "[radio]\nconfirm = \"other_state\"\n"},
      {"radio clears the state mask", "[radio]\nconfirm = \"mask_clear\"\n"},
      {"radio payload too short", "[radio]\nconfirm = \"short_payload\"\n"},
      {"radio payload missing", "[radio]\nconfirm = \"no_payload\"\n"},
      {"radio initialisation fails", "[radio]\ninit_result = 0x80004005\n"},
      {"radio command fails", "[radio]\ncommand_result = 0x80004005\n"},
      {"no LCD driver", "[drivers]\nmissing = [\"SPI5:\"]\n"},
      {"no log-dump driver", "[drivers]\nmissing = [\"DMP1:\"]\n"},
      {"no backlight driver", "[drivers]\nmissing = [\"BKL1:\"]\n"},
      {"LCD refuses", "[drivers]\nrefuse = [\"SPI5:\"]\n"},
      {"log dump refuses", "[drivers]\nrefuse = [\"DMP1:\"]\n"},
      {"backlight refuses", "[drivers]\nrefuse = [\"BKL1:\"]\n"},
      {"forced suspend returns after 90 s", "[power]\nsuspend_returns_after_ms = 90000\n"},
      {"forced suspend ends the run", "[power]\nsuspend = \"ends_run\"\n"},
      {"board without the PMU line",
       "[board]\npmu_line = false\n[run]\ntime_limit_ms = 100000\n[expect]\noutcome = [\"time-limit\", \"on\", \"suspended\"]\n"},
      {"no process snapshot", "[processes]\nsnapshot = \"fails\"\n"},
      {"first process record unreadable", "[processes]\nsnapshot = \"first_unreadable\"\n"},
      {"300 more processes", "[processes]\nextra_processes = 300\n"},
      {"LED count fails", "[leds]\ncount_fails = true\n"},
      {"no LEDs", "[leds]\nleds = []\n"},
      {"vibrator supports query fails", "[leds]\nleds = [{cycle_adjust = -1, supports_fails = true}]\n"},
      {"vibrator settings fail", "[leds]\nleds = [{cycle_adjust = -1, settings_fails = true}]\n"},
      {"animation library without its entry",
       "[[library]]\npath = '\\Windows\\ShutdownAnimation.dll'\nexports = []\n"},
      {"animation library missing", "library = []\n"},
      {"no animation registered",
       "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
      {"no animation, no sound file",
       "file = []\n[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
      {"no animation, sound file short on reading",
       "[[file]]\npath = '\\Windows\\Critbatt.wav'\nwav_ms = 1800\nshort_read_bytes = 100\n"
       "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
      {"no animation, empty sound file",
       "[[file]]\npath = '\\Windows\\Critbatt.wav'\ncontents = \"\"\n"
       "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
      {"no animation, sound file size fails",
       "[[file]]\npath = '\\Windows\\Critbatt.wav'\nwav_ms = 1800\nsize_fails = true\n"
       "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
      {"no alarm settings",
       "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n'''\n"},
      {"illegal boot time",
       "[registry]\npatch = '''\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n\"AutoBootTime\"=\"700\"\n'''\n"},
      {"a call active that ends at 20 s",
       "[registry]\npatch = '''\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call Count\"=dword:00000001\n'''\n"
       "[[timeline]]\nat_ms = 20000\ndo = \"delete_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call Count\"\n"},
      {"another instance holds every name",
       "[[other_process]]\nmutexes = [\"LpShutDown\", \"UIShutDown\", \"UIAutoShutDown\", \"NormalShutdown\"]\n"
       "box = { title = \"Warning\" }\n"},
  };
  return kKnobs;
}

namespace {

std::vector<std::string> AnswersFor(const std::string& mode) {
  if (mode == "2") return {"yes@1500"};
  return {};
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
  for (const auto& k : DeviceKnobs()) knob_scenarios.push_back(scenario.Overridden(k.overrides, "knob '" + k.name + "'"));
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
        for (long i = 1; i <= std::min<long>(it->second, o.max_calls_per_site); ++i) {
          RunOptions opts = base;
          opts.fail = {op + "@" + std::to_string(i)};
          items.push_back(BatchItem{&scenario_at(s), opts});
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
    if (!plan[i].op.empty() && r.value("unused_fault_rules", Json::array()).empty() && !r.contains("crash"))
      fired.insert(plan[i].op);
    if (!RunFailed(r)) return;
    Json f{{"index", i},
           {"what", "mode " + plan[i].mode + ", " + (plan[i].op.empty() ? "" : items[i].options.fail[0] + " ") +
                        (plan[i].knob.empty() ? "" : "knob '" + plan[i].knob + "'")}};
    if (r.contains("crash")) f["crash"] = r["crash"];
    else f["outcome"] = r.value("outcome", "?"), f["reason"] = r.value("reason", "");
    f["violations"] = r.value("violations", Json::array());
    f["replay"] = Replay(o, plan[i], items[i].options);
    failures.push_back(std::move(f));
  });
  std::sort(failures.begin(), failures.end(), [](const Json& a, const Json& b) { return a["index"] < b["index"]; });
  result.failures = failures.size();
  if (failures.size() > static_cast<std::size_t>(std::max(0, o.max_reported))) failures.resize(o.max_reported);
  Json batch{{"scenario", o.scenario_file}, {"modes", o.modes}, {"max_calls_per_site", o.max_calls_per_site},
             {"items", items.size()}, {"sites", FaultSiteOperations()}, {"knobs", DeviceKnobs().size()}};
  Json report{{"kind", "sweep"}, {"batch", batch},
              {"shard", {{"index", o.shard.index}, {"count", o.shard.count}}},
              {"shards", Json::array({o.shard.index})}, {"max_reported", o.max_reported},
              {"runs", result.runs}, {"failures", result.failures}, {"fired", fired}, {"shown", failures}};
  PrintSweepReport(report, std::cout);
  result.sites_total = FaultSiteOperations().size();
  for (const auto& op : FaultSiteOperations()) {
    if (fired.count(op)) ++result.sites_covered;
    else result.sites_not_covered.push_back(op);
  }
  result.knobs_total = DeviceKnobs().size();
  if (!o.report_json.empty()) result.report_written = WriteReport(report, o.report_json);
  return result;
}

void PrintSweepReport(const Json& report, std::ostream& out) {
  for (const Json& f : report["shown"]) {
    out << f["what"].get<std::string>() << ": ";
    if (f.contains("crash")) out << "crashed: " << f["crash"].get<std::string>() << "\n";
    else out << "outcome " << f.value("outcome", "?") << " (" << f.value("reason", "") << ")\n";
    for (const auto& v : f["violations"])
      out << "  violated " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
    out << "  replay: " << f["replay"].get<std::string>() << "\n";
  }
  const Json& batch = report["batch"];
  const Json& shard = report["shard"];
  out << "fault sweep: " << report["runs"].get<std::size_t>() << " runs over modes";
  for (const auto& m : batch["modes"]) out << " " << m.get<std::string>();
  if (report.contains("merged")) out << " (" << report["shards"].size() << " shards merged)";
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
