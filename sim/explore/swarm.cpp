#include "sim/explore/swarm.h"

#include <sstream>

#include "sim/base/rng.h"
#include "sim/devices/part_declarations.h"
#include "sim/devices/radio.h"
#include "sim/explore/fault_sweep.h"
#include "sim/scenario/limits.h"

namespace sim {

extern const char* const kBuiltinScenario;

namespace {

// Instants the program itself keeps, in ms: a world's events gather around them, since that is
// where two actors meet.
constexpr std::uint64_t kPromptTimeoutAfterBoxMs = 10000;  // the prompt's 13 s less its 3 s vibration
constexpr std::uint64_t kRadioBoundMs = 15000;
constexpr std::uint64_t kWatchdogMs = 60000;
constexpr std::uint64_t kDefaultRadioConfirmMs = 1100;
// Without its change callback the program reads the call counter once a second. A new call drawn
// closer than that to the end of the last one could hide the end from it, and the program would
// rightly wait for good on a call that never ends; so a new call comes a poll and a margin later.
constexpr std::uint64_t kNewCallAfterEndUs = (1000 + 200) * 1000;

// A salt, so that the world's draws do not repeat the scheduler's draws of the same seed.
constexpr std::uint64_t kWorldSalt = 0x5157A3D0C0FFEEULL;

class Draw {
 public:
  explicit Draw(std::uint64_t seed) : rng_(seed ^ kWorldSalt) {}
  bool Chance(int percent) { return static_cast<int>(rng_.Below(100)) < percent; }
  std::uint64_t Between(std::uint64_t lo, std::uint64_t hi) { return lo + rng_.Below(hi - lo + 1); }
  template <typename T>
  const T& Pick(const std::vector<T>& v) {
    return v[rng_.Below(v.size())];
  }
  // An instant in ms up to `spread`, drawn near `mark` (within `near` ms) half of the time.
  std::uint64_t Instant(std::uint64_t mark, std::uint64_t near, std::uint64_t spread) {
    if (Chance(50)) return mark > near ? Between(mark - near, mark + near) : Between(0, mark + near);
    return Between(0, spread);
  }

 private:
  Rng rng_;
};

toml::table ParseToml(const std::string& text, const std::string& name) {
  try {
    return toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    throw ScenarioError(name + ": " + std::string(e.description()));
  }
}

// Lays `over` on `base` as scenarios do: tables merge key by key, anything else is replaced.
void MergeToml(toml::table& base, const toml::table& over) {
  for (const auto& [key, value] : over) {
    auto* existing = base.get(key);
    if (existing != nullptr && existing->is_table() && value.is_table())
      MergeToml(*existing->as_table(), *value.as_table());
    else
      base.insert_or_assign(key, value);
  }
}

void DrawAnswers(Draw& d, SwarmWorld& w) {
  if (w.mode == "1" || !d.Chance(85)) return;
  static const std::vector<std::string> kKinds = {"yes", "no", "cancel", "none"};
  const std::uint64_t mark = w.mode == "3" ? kPromptTimeoutAfterBoxMs : kDefaultRadioConfirmMs;
  std::string list;
  const std::uint64_t boxes = d.Between(1, 2);
  for (std::uint64_t i = 0; i < boxes; ++i) {
    const std::string kind = d.Pick(kKinds);
    std::string a = kind;
    if (kind != "none") a += "@" + std::to_string(d.Instant(mark, 6, 14000));
    list += (list.empty() ? "\"" : ", \"") + a + "\"";
  }
  w.answers = list;
  w.overrides.push_back("[user]\nanswers = [" + list + "]\n");
  w.features.push_back("answers " + list);
}

// The phone call of mode 3: active at the start, ending (and maybe flapping) at drawn instants.
void DrawCall(Draw& d, SwarmWorld& w, std::string& patch, std::string& t) {
  if (w.mode != "3" || !d.Chance(40)) return;
  patch += "[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call Count\"=dword:00000001\n";
  const std::uint64_t flaps = d.Chance(30) ? d.Between(1, 3) : 0;
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < flaps; ++i) {
    at += d.Between(1, 4000);
    t += "[[timeline]]\nat_ms = " + std::to_string(at) +
         "\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call Count\"\ndword = " +
         std::to_string(d.Between(0, 2)) + "\n";
  }
  const std::uint64_t end_us = at * 1000 + d.Between(0, 20000000);
  t += "[[timeline]]\nat_us = " + std::to_string(end_us) +
       "\ndo = \"delete_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call Count\"\n";
  std::string again;
  if (d.Chance(25)) {  // a new call while the prompt or the sequence runs
    const std::uint64_t again_us = end_us + kNewCallAfterEndUs + d.Between(0, 16000000);
    t += "[[timeline]]\nat_us = " + std::to_string(again_us) +
         "\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call Count\"\ndword = 1\n";
    again = ", a new call at " + std::to_string(again_us) + " us";
  }
  w.features.push_back("call ending at " + std::to_string(end_us) + " us" +
                       (flaps ? " after " + std::to_string(flaps) + " flaps" : "") + again);
}

void DrawRadio(Draw& d, SwarmWorld& w) {
  if (!d.Chance(50)) return;
  // The radio confirms in three worlds of eight; the others draw one of its spoiling modes.
  static const std::vector<std::string> kConfirm = [] {
    std::vector<std::string> modes(3, Radio::ConfirmModes().front());
    modes.insert(modes.end(), Radio::ConfirmModes().begin() + 1, Radio::ConfirmModes().end());
    return modes;
  }();
  const std::string confirm = d.Pick(kConfirm);
  const std::uint64_t after = d.Instant(kRadioBoundMs, 5, 16000);
  std::string t = "[radio]\nconfirm = \"" + confirm + "\"\nconfirm_after_ms = " + std::to_string(after) + "\n";
  std::string what = "radio " + confirm + " after " + std::to_string(after) + " ms";
  const std::uint64_t extra = d.Chance(30) ? d.Between(1, 3) : 0;
  for (std::uint64_t i = 0; i < extra; ++i) {
    // A repeated power-off report, or a short or empty payload.
    static const std::vector<std::string> kWords = {"[1, 0]", "[1]", "[]", "[0x100, 2, 3]"};
    t += "[[radio.notify]]\ncode = 0x00800001\nwords = " + d.Pick(kWords) +
         "\nafter_ms = " + std::to_string(d.Between(0, 3000)) + "\n";
  }
  if (extra) what += ", " + std::to_string(extra) + " extra reports";
  w.overrides.push_back(t);
  w.features.push_back(what);
}

void DrawKeys(Draw& d, SwarmWorld& w, std::string& t) {
  if (!d.Chance(30)) return;
  const std::uint64_t keys = d.Between(1, 6);
  for (std::uint64_t i = 0; i < keys; ++i) {
    t += "[[timeline]]\nat_ms = " + std::to_string(d.Between(0, 20000)) +
         "\ndo = \"key\"\nvk = " + std::to_string(d.Between(1, 254)) + (d.Chance(15) ? "\nhook_code = -1\n" : "\n");
  }
  w.features.push_back(std::to_string(keys) + " keys");
}

// What a world holds that can keep the timeout of mode 3's prompt from ending the run.
struct Hazards {
  bool shutdown_held = false;  // another process holds the sequence's mutex, for good or a while
  bool other_box = false;      // another process shows a box with the prompt's caption
};

void DrawOtherProcesses(Draw& d, SwarmWorld& w, std::string& timeline, Hazards& h) {
  static const std::vector<std::string> kNames = {"LpShutDown", "UIShutDown", "UIAutoShutDown", "NormalShutdown"};
  static const std::string kSequence = kNames.back();
  if (d.Chance(10)) {
    const std::string name = d.Pick(kNames);
    h.shutdown_held |= name == kSequence;
    std::string t = "[[other_process]]\nname = \"another instance\"\nmutexes = [\"" + name + "\"]\n";
    if (d.Chance(50)) {
      t += "box = { title = \"Warning\" }\n";
      h.other_box = true;
    }
    w.overrides.push_back(t);
    w.features.push_back("another process holds " + name);
  }
  if (d.Chance(15)) {
    const std::string name = d.Pick(kNames);
    h.shutdown_held |= name == kSequence;
    const std::uint64_t at = d.Instant(kPromptTimeoutAfterBoxMs + 3000, 10, 20000);
    std::string& t = timeline;
    t += "[[timeline]]\nat_ms = " + std::to_string(at) + "\ndo = \"hold_mutex\"\nname = \"" + name + "\"\n";
    t += "[[timeline]]\nat_ms = " + std::to_string(at + d.Between(1, 8000)) + "\ndo = \"release_mutex\"\nname = \"" +
         name + "\"\n";
    w.features.push_back(name + " held from " + std::to_string(at) + " ms");
  }
  if (d.Chance(15)) {
    const std::uint64_t at = d.Instant(kPromptTimeoutAfterBoxMs + 3000, 10, 20000);
    std::string& t = timeline;
    t += "[[timeline]]\nat_ms = " + std::to_string(at) + "\ndo = \"show_box\"\ntitle = \"Warning\"\n";
    t += "[[timeline]]\nat_ms = " + std::to_string(at + d.Between(1, 8000)) +
         "\ndo = \"close_box\"\ntitle = \"Warning\"\n";
    w.features.push_back("another box from " + std::to_string(at) + " ms");
    h.other_box = true;
  }
}

// The moments of the first instance's run at which a second start meets the most: its box
// appearing, the prompt's timeout, the sequence taking its mutex, the radio wait, the suspend.
std::vector<std::uint64_t> MomentsOf(const std::string& mode) {
  constexpr std::uint64_t kBoxMs = 3000, kSequenceMs = kBoxMs + kPromptTimeoutAfterBoxMs;
  constexpr std::uint64_t kRadioWaitMs = 2600, kSuspendMs = 3700;  // after the sequence began
  if (mode == "1") return {0, kRadioWaitMs, kSuspendMs};
  if (mode == "2") return {0, 2000, 2000 + kRadioWaitMs, 2000 + kSuspendMs};
  return {kBoxMs, kSequenceMs, kSequenceMs + kRadioWaitMs, kSequenceMs + kSuspendMs};
}

// The shell starts the program again while it runs: one or two further instances, in any mode.
void DrawInstances(Draw& d, SwarmWorld& w, std::string& timeline) {
  static const std::vector<std::string> kModes = {"1", "2", "3"};
  if (!d.Chance(20)) return;
  const int starts = d.Chance(25) ? 2 : 1;
  // A call that starts again after the last one ended never ends: a mode 3 start that finds it
  // active waits for its end for as long as the handset runs, polling.
  const std::size_t ended = timeline.find("do = \"delete_registry\"");
  const bool endless_call = ended != std::string::npos && timeline.find("dword = 1", ended) != std::string::npos;
  bool may_wait = false;
  for (int i = 0; i < starts; ++i) {
    const std::string mode = d.Pick(kModes);
    may_wait |= mode == "3" && endless_call;
    const std::uint64_t at = d.Instant(d.Pick(MomentsOf(w.mode)), 50, 20000);
    timeline += "[[timeline]]\nat_ms = " + std::to_string(at) + "\ndo = \"start_program\"\nargs = [\"" + mode + "\"]\n";
    w.features.push_back("mode " + mode + " started again at " + std::to_string(at) + " ms");
  }
  if (may_wait) {
    w.overrides.push_back(
        "[run]\ntime_limit_ms = 200000\n[expect]\n"
        "outcome = [\"off\", \"suspended\", \"on\", \"time-limit\"]\n");
    w.features.push_back("a mode 3 start may wait for the call that never ends");
  }
}

void DrawAlarms(Draw& d, SwarmWorld& w, std::string& patch) {
  if (d.Chance(25)) {
    const std::uint64_t count = d.Between(0, 40);
    static const std::vector<std::uint64_t> kEvery = {1000, 60000, 3600000, 86400000};
    const std::uint64_t every = d.Pick(kEvery);
    w.overrides.push_back("[clock_alarms]\ncount = " + std::to_string(count) + "\nevery_ms = " + std::to_string(every) +
                          (d.Chance(50) ? "\ndescending = true\n" : "\n"));
    w.features.push_back(std::to_string(count) + " clock alarms every " + std::to_string(every) + " ms");
  }
  if (d.Chance(10)) {
    w.overrides.push_back("notifications = []\n");
    w.features.push_back("no notifications");
  }
  if (d.Chance(15)) {
    static const std::vector<std::string> kTimes = {"7:00", "0:00", "23:59", "6:58", "700", "25:00", ""};
    const std::string time = d.Pick(kTimes);
    patch += "[HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n\"AutoBootTime\"=\"" + time +
             "\"\n\"AutoBootEnable\"=dword:0000000" + std::to_string(d.Between(0, 1)) +
             "\n\"RtcAlarmEnable\"=dword:0000000" + std::to_string(d.Between(0, 1)) + "\n";
    w.features.push_back("auto-boot at '" + time + "'");
  }
}

void DrawPower(Draw& d, SwarmWorld& w) {
  if (d.Chance(15)) {
    const std::uint64_t after = d.Instant(kWatchdogMs, 5, 90000);
    w.overrides.push_back("[power]\nsuspend_returns_after_ms = " + std::to_string(after) + "\n");
    w.features.push_back("forced suspend returns after " + std::to_string(after) + " ms");
  }
  // The fault sweep's device knobs, each now and then; those that patch the registry are left
  // to the world's own registry patch.
  for (const DeviceKnob& k : DeviceKnobs()) {
    if (k.overrides.find("[registry]") != std::string::npos || !d.Chance(3)) continue;
    w.overrides.push_back(k.overrides);
    w.features.push_back(k.name);
  }
}

// Platform faults: each fallible operation is switched on for this world now and then, and
// then each of its first calls fails with a small probability. Returns the rules as TOML list
// items ("" for none).
std::string DrawFaults(Draw& d, SwarmWorld& w) {
  if (!d.Chance(40)) return "";
  std::string rules;
  for (const std::string& op : FaultSiteOperations()) {
    if (!d.Chance(8)) continue;
    for (int n = 1; n <= 8; ++n)
      if (d.Chance(15)) rules += (rules.empty() ? "\"" : ", \"") + op + "@" + std::to_string(n) + "\"";
  }
  if (rules.empty()) return "";
  w.overrides.push_back("[faults]\nfail = [" + rules + "]\n");
  w.features.push_back("faults " + rules);
  return rules;
}

bool Fails(const std::string& rules, const std::string& op) { return rules.find("\"" + op + "@") != std::string::npos; }

// Why mode 3's prompt box may stand unanswered until the run's time limit, or "" when it may not.
// The main routine keeps polling meanwhile, so such a run never falls quiet. It stands when no
// answer closes it and its timeout does not: the timeout's wait failed, or the timeout found no
// box to answer (its caption lost, the window search failed, or another process's box of that
// caption came first and the search past it failed) and the sequence it runs was refused (its
// mutex failed or is held by another process).
std::string PromptMayStand(const SwarmWorld& w, const std::string& rules, const Hazards& h) {
  const bool unanswered = w.answers.empty() || w.answers.rfind("\"none\"", 0) == 0;
  if (w.mode != "3" || !unanswered) return "";
  if (Fails(rules, "WaitForSingleObject")) return "the prompt may stand without its timeout";
  const bool box_lost = Fails(rules, "LoadStringW") || Fails(rules, "FindWindowW") ||
                        Fails(rules, "GetWindowThreadProcessId") || (h.other_box && Fails(rules, "EnumWindows"));
  const bool refused = h.shutdown_held || Fails(rules, "CreateMutexW");
  return box_lost && refused ? "the prompt may stand: its timeout may find no box and be refused" : "";
}

}  // namespace

SwarmWorld DrawSwarmWorld(std::uint64_t seed, const std::vector<std::string>& modes) {
  static const std::vector<std::string> kModes = {"1", "2", "3"};
  Draw d(seed);
  SwarmWorld w;
  w.mode = d.Pick(modes.empty() ? kModes : modes);
  // The world is not the base scenario's: its expected outcome and wake-up do not apply.
  w.overrides.push_back("[expect]\noutcome = []\nertc = \"\"\nargs = [\"" + w.mode + "\"]\n");
  // Arrays replace one another when laid over a scenario, so every outside event of the world
  // goes into one [[timeline]] and every registry change into one patch.
  std::string patch, timeline;
  DrawAnswers(d, w);
  DrawCall(d, w, patch, timeline);
  DrawRadio(d, w);
  DrawKeys(d, w, timeline);
  Hazards hazards;
  DrawOtherProcesses(d, w, timeline, hazards);
  DrawAlarms(d, w, patch);
  DrawPower(d, w);
  const std::string rules = DrawFaults(d, w);
  if (const std::string why = PromptMayStand(w, rules, hazards); !why.empty()) {
    w.overrides.push_back(
        "[run]\ntime_limit_ms = 200000\n[expect]\noutcome = [\"off\", \"suspended\", \"on\", \"time-limit\"]\n");
    w.features.push_back(why);
  }
  DrawInstances(d, w, timeline);
  if (!timeline.empty()) w.overrides.push_back(timeline);
  if (!patch.empty()) w.overrides.push_back("[registry]\npatch = '''\nREGEDIT4\n" + patch + "'''\n");
  return w;
}

Scenario SwarmScenario(const Scenario& base, const SwarmWorld& world, std::uint64_t seed) {
  Scenario s = base;
  for (const std::string& o : world.overrides) s = s.Overridden(o, "swarm world of seed " + std::to_string(seed));
  return s;
}

std::string DescribeSwarmWorld(const SwarmWorld& world) {
  std::string out = "mode " + world.mode;
  for (const auto& f : world.features) out += "; " + f;
  return out;
}

namespace {

// The options that replay seed `seed` from its world written to `file`: the exploration's, over
// the file, in the world's mode. The knob and the fail rules are already in the file.
RunOptions WorldReplay(const RunOptions& given, std::uint64_t seed, const std::string& mode, const std::string& file) {
  RunOptions replay = given;
  replay.scenario_file = file;
  replay.knob.clear();
  replay.fail.clear();
  replay.seed = seed;
  replay.args = {mode};
  replay.cmdline.reset();
  return replay;
}

// The exploration's fail rules after the world's own, as a run adds them after its scenario's:
// the file alone then fails the calls the seed's run failed.
void AppendFailRules(toml::table& root, const std::vector<std::string>& rules) {
  if (rules.empty()) return;
  auto* faults = root.get("faults");
  if (faults == nullptr || !faults->is_table()) faults = &root.insert_or_assign("faults", toml::table{}).first->second;
  toml::table& table = *faults->as_table();
  auto* fail = table.get("fail");
  if (fail == nullptr || !fail->is_array()) fail = &table.insert_or_assign("fail", toml::array{}).first->second;
  for (const std::string& rule : rules) fail->as_array()->push_back(rule);
}

}  // namespace

std::string SwarmScenarioFile(const RunOptions& given, const std::string& knob_overrides, const SwarmWorld& world,
                              std::uint64_t seed) {
  const std::string& base_file = given.scenario_file;
  const std::string name = base_file.empty() ? "<built-in handset>" : base_file;
  toml::table root =
      ParseToml(base_file.empty() ? std::string(kBuiltinScenario)
                                  : ReadBoundedFile(base_file, ScenarioLimits::kScenarioFileBytes, "scenario file"),
                name);
  if (root.contains("base")) {
    toml::table over = std::move(root);
    over.erase("base");
    root = ParseToml(kBuiltinScenario, "<built-in handset>");
    MergeToml(root, over);
  }
  if (!knob_overrides.empty()) MergeToml(root, ParseToml(knob_overrides, "knob"));
  for (const std::string& o : world.overrides) MergeToml(root, ParseToml(o, "swarm world"));
  AppendFailRules(root, given.fail);
  std::ostringstream out;
  out << "# The swarm world of seed " << seed << " over " << name
      << (given.knob.empty() ? "" : " with knob " + given.knob) << ".\n";
  out << "# " << DescribeSwarmWorld(world) << "\n";
  out << "# Replays with: " << ReplayLine(WorldReplay(given, seed, world.mode, "THIS_FILE")) << "\n";
  out << toml::toml_formatter(root) << "\n";
  return out.str();
}

std::string SwarmSeedReport(const RunOptions& given, std::uint64_t seed, const std::vector<std::string>& modes) {
  const SwarmWorld w = DrawSwarmWorld(seed, modes);
  const std::string file = "swarm-" + std::to_string(seed) + ".toml";
  RunOptions batch = given;
  batch.args = modes;
  batch.cmdline.reset();
  const std::string dump = "devsim explore --swarm --seeds " + std::to_string(seed) + ".." + std::to_string(seed) +
                           " --dump-scenario " + file + " " + RunLine(batch, false);
  return "  world: " + DescribeSwarmWorld(w) + "\n  write it out: " + dump +
         "\n  replay: " + ReplayLine(WorldReplay(given, seed, w.mode, file)) + "\n";
}

}  // namespace sim
