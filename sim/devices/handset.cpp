#include "sim/devices/handset.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "sim/devices/program_image.h"

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/kernel/caller.h"

namespace sim {

namespace {
Handset* g_handset = nullptr;
}

Handset& Dev() { return *g_handset; }

SchedulerConfig Handset::SchedulerFrom(const Scenario& scenario, const RunOptions& options) {
  SchedulerConfig cfg;
  static_cast<Schedule&>(cfg) = options;  // the run's schedule, whole
  if (auto run = scenario.Root().Table("run")) {
    cfg.time_limit = run->Ms("time_limit_ms", cfg.time_limit / kMicrosPerMs) * kMicrosPerMs;
  }
  if (options.time_limit_ms != 0) cfg.time_limit = static_cast<Micros>(options.time_limit_ms) * kMicrosPerMs;
  return cfg;
}

Handset::Handset(const Scenario& scenario, RunOptions options)
    : kernel(SchedulerFrom(scenario, options)), options_(std::move(options)) {
  g_handset = this;
  SetCurrentKernel(&kernel);
  ResetProgramImage();
  Configure(scenario);
}

Handset::~Handset() {
  if (g_handset == this) {
    g_handset = nullptr;
    SetCurrentKernel(nullptr);
  }
}

// What Configure reads from a scenario into the handset: the parts as they stand before the run
// (all but the named objects, held by shared pointers that a copy would share, and the timeline,
// whose actions belong to one handset) and the handset's own settings. The explorer builds the
// same handset thousands of times; copying these costs a fraction of reading the scenario again.
// SaveParts and TakeParts copy every member.
struct Handset::Parts {
  Micros call_cost = 0;
  std::uint32_t program_pid = 0;
  std::vector<std::string> expected_outcomes;
  std::vector<std::string> expected_args;
  std::string expected_ertc;
  std::vector<std::string> fault_rules;  // the scenario's own
  Registry registry;
  Resources resources;
  WindowManager windows;
  Drivers drivers;
  PowerManager power;
  Gpio gpio;
  Radio radio;
  Leds leds;
  LocalClock clock;
  FileSystem files;
  Libraries libraries;
  Processes processes;
  NotificationDb notifications;
};

// The parts read from the last few scenarios built in this process, by the scenario's serial and
// the answers given on top of it (which the windows hold). The parts of a scenario are kept the
// second time it is built, so that a stream of scenarios built once each (swarm worlds) costs no
// copy, and only when the scenario reads no host files, which could change between two handsets.
class Handset::PartsStore {
 public:
  // The parts kept for this scenario and answers, or null; `keep` tells whether to keep the
  // parts that the caller reads now.
  static std::shared_ptr<const Parts> Find(std::uint64_t scenario, const std::vector<std::string>& answers,
                                           bool& keep) {
    std::lock_guard lock(mu_);
    for (const Entry& e : Entries())
      if (e.scenario == scenario && e.answers == answers) {
        keep = e.parts == nullptr;
        return e.parts;
      }
    if (Entries().size() >= kEntries) {
      // The oldest scenario seen once goes first, so that a stream of them keeps no parts out.
      auto once = std::find_if(Entries().begin(), Entries().end(), [](const Entry& e) { return e.parts == nullptr; });
      Entries().erase(once != Entries().end() ? once : Entries().begin());
    }
    Entries().push_back({scenario, answers, nullptr});
    keep = false;
    return nullptr;
  }
  static void Keep(std::uint64_t scenario, const std::vector<std::string>& answers, Parts parts) {
    auto kept = std::make_shared<const Parts>(std::move(parts));
    std::lock_guard lock(mu_);
    for (Entry& e : Entries())
      if (e.scenario == scenario && e.answers == answers) e.parts = std::move(kept);
  }

 private:
  static constexpr std::size_t kEntries = 8;
  struct Entry {
    std::uint64_t scenario;
    std::vector<std::string> answers;
    std::shared_ptr<const Parts> parts;
  };
  static std::vector<Entry>& Entries() {
    static auto* const entries = new std::vector<Entry>;  // never destroyed, as the other per-process caches
    return *entries;
  }
  static inline std::mutex mu_;
};

namespace {
// Whether building from this scenario reads files of the host (registry exports, file contents).
bool ReadsHostFiles(const Section& root) {
  if (auto reg = root.Table("registry"); reg && reg->Has("files")) return true;
  for (const Section& file : root.Tables("file"))
    if (file.Has("host")) return true;
  return false;
}
}  // namespace

void Handset::Configure(const Scenario& scenario) {
  const Section root = scenario.Root();
  bool keep = false;
  const std::shared_ptr<const Parts> kept = PartsStore::Find(scenario.Serial(), options_.answers, keep);
  if (kept) {
    // The scenario was read whole before, with these answers: only what the options add on top
    // of it can still be wrong.
    TakeParts(*kept);
    AddFaultRules(kept->fault_rules);
    sync.Configure(root);
  } else {
    ReadScenario(root);
  }
  RegisterActions();
  timeline.Configure(root);
  if (kept) return;
  root.String("name", "");
  root.String("description", "");
  root.CheckNoUnknownKeys();
  if (keep && !ReadsHostFiles(root)) PartsStore::Keep(scenario.Serial(), options_.answers, SaveParts(root));
}

void Handset::ReadScenario(const Section& root) {
  if (auto run = root.Table("run")) {
    run->Ms("time_limit_ms", 0);
    call_cost_ = static_cast<Micros>(run->Int("call_cost_us", 20, 1, 1000000));
    run->CheckNoUnknownKeys();
  }
  if (auto program = root.Table("program")) program_pid_ = program->U32("pid", program_pid_);
  if (auto expect = root.Table("expect")) {
    expected_outcomes_ = expect->Strings("outcome");
    expected_args_ = expect->Strings("args");
    expected_ertc_ = expect->String("ertc", "");
    for (const auto& o : expected_outcomes_)
      if (o != "off" && o != "suspended" && o != "on" && o != "stuck" && o != "time-limit")
        expect->Fail("outcome", "'" + o + "' is not one of: off, suspended, on, stuck, time-limit");
    expect->CheckNoUnknownKeys();
  }
  std::vector<std::string> rules;
  if (auto f = root.Table("faults")) {
    rules = f->Strings("fail");
    f->CheckNoUnknownKeys();
  }
  AddFaultRules(std::move(rules));

  sync.Configure(root);
  registry.Configure(root);
  resources.Configure(root);
  windows.Configure(root, options_.answers);
  drivers.Configure(root);
  power.Configure(root);
  gpio.Configure(root);
  radio.Configure(root);
  leds.Configure(root);
  clock.Configure(root);
  files.Configure(root);
  libraries.Configure(root);
  processes.Configure(root, windows);
  notifications.Configure(root, clock);
}

// The scenario's rules, then those of the options.
void Handset::AddFaultRules(std::vector<std::string> rules) {
  rules.insert(rules.end(), options_.fail.begin(), options_.fail.end());
  for (const auto& rule : rules)
    if (std::string err = faults.Add(rule); !err.empty()) throw ScenarioError(err);
}

// The actions that [[timeline]] entries may name, each bound to this handset's parts.
void Handset::RegisterActions() {
  registry.RegisterActions(timeline);
  windows.RegisterActions(timeline);
  keyboard.RegisterActions(timeline);
  timeline.Register("hold_mutex", [this](const Section& e) -> Timeline::Action {
    const std::u16string name = Wide(e.String("name", ""));
    if (name.empty()) e.Fail("name", "missing: the mutex another process takes");
    return [this, name] { sync.ForeignHoldMutex(name); Note("process", "hold_mutex", {{"name", Narrow(name)}}); };
  });
  timeline.Register("release_mutex", [this](const Section& e) -> Timeline::Action {
    const std::u16string name = Wide(e.String("name", ""));
    if (name.empty()) e.Fail("name", "missing: the mutex another process lets go");
    return [this, name] { sync.ForeignReleaseMutex(name); Note("process", "release_mutex", {{"name", Narrow(name)}}); };
  });
}

Handset::Parts Handset::SaveParts(const Section& root) const {
  std::vector<std::string> scenario_rules;  // the plan holds those of the options too
  if (auto f = root.Table("faults")) scenario_rules = f->Strings("fail");
  return Parts{call_cost_, program_pid_, expected_outcomes_, expected_args_, expected_ertc_, std::move(scenario_rules),
               registry, resources, windows, drivers, power, gpio, radio, leds, clock, files, libraries, processes,
               notifications};
}

void Handset::TakeParts(const Parts& parts) {
  call_cost_ = parts.call_cost;
  program_pid_ = parts.program_pid;
  expected_outcomes_ = parts.expected_outcomes;
  expected_args_ = parts.expected_args;
  expected_ertc_ = parts.expected_ertc;
  registry = parts.registry;
  resources = parts.resources;
  windows = parts.windows;
  drivers = parts.drivers;
  power = parts.power;
  gpio = parts.gpio;
  radio = parts.radio;
  leds = parts.leds;
  clock = parts.clock;
  files = parts.files;
  libraries = parts.libraries;
  processes = parts.processes;
  notifications = parts.notifications;
}

std::uint32_t& Handset::LastError() { return last_error_[kernel.Current()]; }

const std::string& Handset::ThreadName() const { return kernel.ThreadName(kernel.Current()); }

std::string_view Handset::ThreadKey() {
  const std::string& name = ThreadName();
  const ThreadId id = kernel.Current();
  if (id < 0) return Intern(name);
  const auto t = static_cast<std::size_t>(id);
  if (t >= thread_keys_.size()) thread_keys_.resize(t + 1);
  // Interned once per thread; the comparison notices a thread renamed since.
  if (thread_keys_[t] != name) thread_keys_[t] = Intern(name);
  return thread_keys_[t];
}

ThreadId Handset::SpawnPlatformThread(const std::string& name, std::function<void()> body) {
  return kernel.Spawn(name, std::move(body), true);
}

void Handset::Note(std::string_view part, std::string_view what, Json detail) {
  events.Device(kernel.Now(), part, what, std::move(detail));
}

std::uintptr_t Handset::OpenHandle(HandleKind kind, std::shared_ptr<void> object, std::string label,
                                   std::string opened_by) {
  const auto t = static_cast<std::size_t>(kernel.Current());
  std::string caller;
  if (kernel.Current() >= 0 && t < open_calls_.size() && !open_calls_[t].empty() && !open_calls_[t].back().empty())
    caller = open_calls_[t].back();
  else
    caller = CallerOf(opened_by);
  return handles.Insert(kind, std::move(object), std::move(label), std::move(opened_by), std::move(caller),
                        ThreadName(), kernel.Now());
}

void Handset::EnterCall(std::string_view caller) {
  if (kernel.Current() < 0) return;
  const auto t = static_cast<std::size_t>(kernel.Current());
  if (t >= open_calls_.size()) open_calls_.resize(t + 1);
  open_calls_[t].push_back(caller);
}

void Handset::LeaveCall() {
  const auto t = static_cast<std::size_t>(kernel.Current());
  if (kernel.Current() >= 0 && t < open_calls_.size() && !open_calls_[t].empty()) open_calls_[t].pop_back();
}

std::optional<RunEnd> Handset::JudgeQuiescence() const {
  if (const Window* box = windows.BoxWaitingForever()) {
    if (options_.interactive) return RunEnd{EndKind::kNone, "waiting for the person at the terminal"};
    return RunEnd{EndKind::kWaitingForUser,
                  "the box '" + Narrow(box->title) + "' stands and waits for an answer that nobody gives"};
  }
  return std::nullopt;
}

Outcome Handset::Interpret(const RunEnd& end) const {
  Outcome o;
  switch (end.kind) {
    case EndKind::kProcessEnded:
      if (power.suspends_requested > 0) {
        o.state = "suspended";
        o.reason = "the program ended after requesting the forced suspend";
      } else {
        o.state = "on";
        o.reason = "the program ended (exit code " + std::to_string(main_exit_code_) +
                   ") without switching the handset off";
      }
      break;
    case EndKind::kPowerLost: o.state = "off"; o.reason = end.reason; break;
    case EndKind::kSuspended: o.state = "suspended"; o.reason = end.reason; break;
    case EndKind::kWaitingForUser: o.state = "on"; o.reason = end.reason; break;
    case EndKind::kStuck: o.state = "stuck"; o.reason = end.reason; o.exit_status = 3; break;
    case EndKind::kTimeLimit: o.state = "time-limit"; o.reason = end.reason; o.exit_status = 4; break;
    default: o.state = "stuck"; o.reason = end.reason; o.exit_status = 3; break;
  }
  return o;
}

Outcome Handset::Run() {
  std::u16string cmdline = options_.CommandLine();
  const ThreadId main = kernel.Spawn("main", [this, cmdline]() mutable {
    std::u16string buffer = cmdline;
    buffer.push_back(0);
    main_exit_code_ = options_.entry ? options_.entry()
                                     : WinMain(reinterpret_cast<HINSTANCE>(Resources::kProgramInstance),
                                               nullptr, buffer.data(), 0);
    process_ended_ = true;
    Note("process", "exit", {{"code", main_exit_code_}});
    kernel.End(EndKind::kProcessEnded, "the program's main routine returned");
  }, false);
  // Each outside event of the scenario is a record of its own, so views can show it as a moment.
  timeline.on_fire = [this](const std::string& what, std::size_t i) { Note("timeline", "event", {{"do", what}, {"entry", i}}); };
  timeline.Start(kernel);
  kernel.SetQuiescenceJudge([this] { return JudgeQuiescence(); });
  end_ = kernel.Run(main);
  outcome_ = Interpret(end_);
  return outcome_;
}

Json Handset::Summary() const {
  // Every member is new to the object: appended without the search that `s[key]` makes.
  Json s = ObjectWithRoom(64);
  Append(s, "outcome", outcome_.state);
  Append(s, "reason", outcome_.reason);
  Append(s, "ended_ms", end_.at / kMicrosPerMs);
  Append(s, "ended_us", end_.at);
  Append(s, "seed", kernel.Seed());
  Append(s, "command_line", Narrow(options_.CommandLine()));
  Append(s, "process_ended", process_ended_);
  if (process_ended_) Append(s, "exit_code", main_exit_code_);
  hal.Summarize(s);
  wake_plan.Summarize(s);
  notifications.Summarize(s);
  drivers.Summarize(s);
  power.Summarize(s);
  radio.Summarize(s);
  leds.Summarize(s);
  gpio.Summarize(s);
  windows.Summarize(s);
  sync.Summarize(s);
  registry.Summarize(s);
  heap.Summarize(s);
  sound.Summarize(s);
  libraries.Summarize(s);
  processes.Summarize(s);
  keyboard.Summarize(s);
  Append(s, "handles_open", OpenHandlesJson());
  int misuses = 0;
  for (const Event& e : events.Events()) misuses += e.Contains("misuse") ? 1 : 0;
  Append(s, "misuses", misuses);
  Json threads = Json::array();
  for (std::string& line : kernel.DescribeWaits()) threads.get_ref<Json::array_t&>().emplace_back(std::move(line));
  Append(s, "threads", std::move(threads));
  Append(s, "trace_lines", debug.Lines().size());
  Append(s, "unused_fault_rules", faults.UnusedRules());
  Json sites = ObjectWithRoom(faults.SiteCount());
  faults.ForEachConsultation([&sites](const std::string& op, long count) { Append(sites, op, count); });
  Append(s, "fault_sites", std::move(sites));
  if (!expected_outcomes_.empty()) Append(s, "expected_outcomes", expected_outcomes_);
  if (!expected_ertc_.empty()) Append(s, "expected_ertc", expected_ertc_);
  return s;
}

Json Handset::Verdict() const {
  Json s = ObjectWithRoom(12);
  Append(s, "outcome", outcome_.state);
  Append(s, "reason", outcome_.reason);
  hal.Summarize(s);
  Append(s, "handles_open", OpenHandlesJson());
  Append(s, "unused_fault_rules", faults.UnusedRules());
  if (!expected_outcomes_.empty()) Append(s, "expected_outcomes", expected_outcomes_);
  if (!expected_ertc_.empty()) Append(s, "expected_ertc", expected_ertc_);
  return s;
}

Json Handset::OpenHandlesJson() const {
  const std::vector<const HandleEntry*> entries = handles.Open();
  Json open = Json::array();
  open.get_ref<Json::array_t&>().reserve(entries.size());
  for (const HandleEntry* e : entries) {
    Json h = ObjectWithRoom(6);
    Append(h, "handle", HexText(e->value));
    Append(h, "kind", KindName(e->kind));
    Append(h, "what", e->label);
    Append(h, "opened_by", e->opened_by);
    Append(h, "caller", e->caller);
    Append(h, "thread", e->thread);
    open.push_back(std::move(h));
  }
  return open;
}

}  // namespace sim
