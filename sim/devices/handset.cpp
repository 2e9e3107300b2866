#include "sim/devices/handset.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

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
  handles.SetFootprint(kernel.Footprint());
  ResetProgramImage();
  Configure(scenario);
}

Handset::~Handset() {
  if (g_handset == this) {
    g_handset = nullptr;
  }
}

// The boards read from the last few scenarios built in this process, by the scenario's serial and
// the answers given on top of it (which the windows hold). The explorer builds the same handset
// thousands of times; copying a board costs a fraction of reading the scenario again. The board
// of a scenario is kept the second time it is built, so that a stream of scenarios built once
// each (swarm worlds) costs no copy, and only when the scenario reads no host files, which could
// change between two handsets.
class Handset::PartsStore {
 public:
  // The board kept for this scenario and answers, or null; `keep` tells whether to keep the
  // board that the caller reads now.
  static std::shared_ptr<const Board> Find(std::uint64_t scenario, const std::vector<std::string>& answers,
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
  static void Keep(std::uint64_t scenario, const std::vector<std::string>& answers, Board board) {
    auto kept = std::make_shared<const Board>(std::move(board));
    std::lock_guard lock(mu_);
    for (Entry& e : Entries())
      if (e.scenario == scenario && e.answers == answers) e.parts = std::move(kept);
  }

 private:
  static constexpr std::size_t kEntries = 8;
  struct Entry {
    std::uint64_t scenario;
    std::vector<std::string> answers;
    std::shared_ptr<const Board> parts;
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
  const std::shared_ptr<const Board> kept = PartsStore::Find(scenario.Serial(), options_.answers, keep);
  if (kept) {
    // The scenario was read whole before, with these answers: only what the options add on top
    // of it can still be wrong.
    static_cast<Board&>(*this) = *kept;
    AddFaultRules(fault_rules_);
    sync.Configure(root);
  } else {
    ReadSettings(root);
    AddFaultRules(fault_rules_);
    sync.Configure(root);
    ConfigureParts(root, options_.answers);
  }
  RegisterActions();
  timeline.Configure(root);
  if (kept) return;
  root.String("name", "");
  root.String("description", "");
  root.CheckNoUnknownKeys();
  if (keep && !ReadsHostFiles(root))
    PartsStore::Keep(scenario.Serial(), options_.answers, static_cast<const Board&>(*this));
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
    return [this, name] {
      sync.ForeignHoldMutex(name);
      Note("process", "hold_mutex", {{"name", Narrow(name)}});
    };
  });
  timeline.Register("start_program", [this](const Section& e) -> Timeline::Action {
    std::u16string line;
    if (e.Has("cmdline") && e.Has("args")) e.Fail("cmdline", "give either args or cmdline, not both");
    if (e.Has("cmdline"))
      line = Wide(e.String("cmdline", ""));
    else if (e.Has("args"))
      line = JoinCommandLine(e.Strings("args"));
    else
      e.Fail("args", "missing: the arguments of the program started again (args = [\"2\"]) or its cmdline");
    ++instances.pending_starts;
    return [this, line] {
      --instances.pending_starts;
      StartInstance(line);
    };
  });
  timeline.Register("release_mutex", [this](const Section& e) -> Timeline::Action {
    const std::u16string name = Wide(e.String("name", ""));
    if (name.empty()) e.Fail("name", "missing: the mutex another process lets go");
    return [this, name] {
      sync.ForeignReleaseMutex(name);
      Note("process", "release_mutex", {{"name", Narrow(name)}});
    };
  });
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

ThreadId Handset::SpawnProgramPlatformThread(const std::string& name, ProcessId process, std::function<void()> body) {
  return kernel.Spawn(ProgramInstances::ThreadName(process, name), std::move(body), true, process);
}

ThreadId Handset::SpawnProgramThread(const std::string& routine, std::function<void()> body) {
  const ProcessId process = CurrentProcess();
  return kernel.Spawn(ProgramInstances::ThreadName(process, routine), std::move(body), false, process);
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
                        ThreadName(), kernel.Now(), CurrentProcess());
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
    // Another instance forced the suspend and ended: the handset sleeps with the box on its
    // screen, and nothing is left to wake it in this run.
    if (power.suspends_requested > 0 && instances.Count() > 1)
      return RunEnd{EndKind::kSuspended,
                    "the handset is in the forced suspend with the box '" + Narrow(box->title) + "' still standing"};
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
        o.reason =
            "the program ended (exit code " + std::to_string(main_exit_code_) + ") without switching the handset off";
      }
      break;
    case EndKind::kPowerLost:
      o.state = "off";
      o.reason = end.reason;
      break;
    case EndKind::kSuspended:
      o.state = "suspended";
      o.reason = end.reason;
      break;
    case EndKind::kWaitingForUser:
      o.state = "on";
      o.reason = end.reason;
      break;
    case EndKind::kStuck:
      o.state = "stuck";
      o.reason = end.reason;
      o.exit_status = 3;
      break;
    case EndKind::kTimeLimit:
      o.state = "time-limit";
      o.reason = end.reason;
      o.exit_status = 4;
      break;
    default:
      o.state = "stuck";
      o.reason = end.reason;
      o.exit_status = 3;
      break;
  }
  return o;
}

ThreadId Handset::StartInstance(std::u16string command_line) {
  const std::uint32_t pid = instances.Count() == 0 ? program_pid_ : FreshPid();
  ProgramInstance& inst = instances.Add(command_line, pid, kernel.Now());
  const ProcessId process = inst.process;
  if (process != kFirstProgram)
    Note("process", "start", {{"instance", process}, {"pid", pid}, {"command_line", Narrow(command_line)}});
  return kernel.Spawn(
      ProgramInstances::ThreadName(process, "main"),
      [this, process, command_line]() mutable {
        std::u16string buffer = command_line;
        buffer.push_back(0);
        const int code = options_.entry ? options_.entry()
                                        : WinMain(reinterpret_cast<HINSTANCE>(Resources::kProgramInstance), nullptr,
                                                  buffer.data(), 0);
        EndInstance(process, code);
      },
      false, process);
}

void Handset::EndInstance(ProcessId process, int code) {
  ProgramInstance& inst = *instances.Find(process);
  inst.ended_at = kernel.Now();
  inst.exit_code = code;
  if (instances.Running() == 0 && instances.pending_starts == 0) {
    // The last process of the program: the run ends with it, and what it leaves open is what the
    // summary shows.
    process_ended_ = true;
    main_exit_code_ = code;
    if (process == kFirstProgram)
      Note("process", "exit", {{"code", code}});
    else
      Note("process", "exit", {{"code", code}, {"instance", process}, {"pid", inst.pid}});
    kernel.End(EndKind::kProcessEnded, "the program's main routine returned");
  }
  Note("process", "exit", {{"code", code}, {"instance", process}, {"pid", inst.pid}});
  ReleaseProcess(inst);
}

void Handset::ReleaseProcess(ProgramInstance& inst) {
  inst.threads_ended = kernel.EndThreadsOf(inst.process);
  for (Window* w : windows.TopLevel())
    if (w->pid == inst.pid) windows.Close(w->hwnd, "closed with its process");
  // A mutex owned by a thread of the ending process is abandoned: free for the next wait.
  int abandoned = 0;
  for (const HandleEntry* e : handles.Open()) {
    if (e->kind != HandleKind::kMutex) continue;
    auto* mutex = static_cast<MutexObject*>(e->object.get());
    if (mutex->Owner() >= 0 && kernel.HomeOf(mutex->Owner()) == inst.process && mutex->Abandon()) ++abandoned;
  }
  for (const std::uintptr_t value : handles.HeldBy(inst.process)) {
    const HandleEntry* e = handles.Find(value);
    if (e->kind == HandleKind::kHook) keyboard.Remove(value);
    if (e->kind == HandleKind::kRegNotify) registry.CloseNotification(value);
    if (e->kind == HandleKind::kRil) radio.Close(value);
    handles.Close(value);
    ++inst.handles_closed;
  }
  Note("process", "ended",
       {{"instance", inst.process},
        {"pid", inst.pid},
        {"threads_ended", inst.threads_ended},
        {"handles_closed", inst.handles_closed},
        {"mutexes_abandoned", abandoned}});
}

std::uint32_t Handset::FreshPid() const {
  std::uint32_t pid = program_pid_;
  auto taken = [this](std::uint32_t p) {
    for (const ProgramInstance& i : instances.All())
      if (i.pid == p) return true;
    for (const Window& w : windows.All())
      if (w.pid == p) return true;
    return processes.Find(p) != nullptr;
  };
  do pid += 4;
  while (taken(pid));
  return pid;
}

std::vector<SimProcess> Handset::ProgramProcesses() const {
  std::vector<SimProcess> out;
  for (const ProgramInstance& inst : instances.All()) {
    if (inst.ended_at) continue;
    SimProcess p;
    p.exe = u"\\Windows\\shutdown.exe";
    p.pid = inst.pid;
    out.push_back(std::move(p));
  }
  return out;
}

ProcessId Handset::ProcessOfHandle(std::uintptr_t value) {
  const HandleEntry* e = handles.Find(value);
  return e != nullptr ? e->process : kFirstProgram;
}

void Handset::CallInto(std::uintptr_t owner, const std::function<void()>& body) {
  const ProcessId before = kernel.EnterProcess(ProcessOfHandle(owner));
  body();
  kernel.EnterProcess(before);
}

Outcome Handset::Run() {
  kernel.SetImageSwitch([this](ProcessId from, ProcessId to) {
    instances.Swap(from, to);
    if (kernel.Footprint() != nullptr) image_watch_.Rebase();
  });
  // Another entry's variables are not in the program's table: its steps are then taken to write
  // whatever they may read.
  if (kernel.Footprint() != nullptr && !options_.entry)
    kernel.SetImageWrites([this](const std::function<void(std::uint32_t)>& written) { image_watch_.Report(written); });
  const ThreadId main = StartInstance(options_.CommandLine());
  // Each outside event of the scenario is a record of its own, so views can show it as a moment.
  timeline.on_fire = [this](const std::string& what, std::size_t i) {
    Note("timeline", "event", {{"do", what}, {"entry", i}});
  };
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
  instances.Summarize(s);
  hal.Summarize(s);
  wake_plan.Summarize(s);
  // The board's parts in the board's own order: a part added to the board with a summary of its
  // own is summarised without a line here.
  ForEachPart(*this, [&s](const auto& part) {
    if constexpr (requires { part.Summarize(s); }) part.Summarize(s);
  });
  sync.Summarize(s);
  heap.Summarize(s);
  sound.Summarize(s);
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

Json Handset::Verdict(const std::vector<std::string>& members) const {
  // The members made here without the whole summary, by what makes them; any other member asked
  // for is taken from the whole summary, so that none is ever missing from a verdict.
  static constexpr std::string_view kHal[] = {"ertc", "ertc_value", "ertc_writes", "kernel_shutdown",
                                              "kernel_shutdowns"};
  static constexpr std::string_view kWakePlan[] = {"wake_plan", "wake_plan_value", "wake_plan_agrees"};
  static constexpr std::string_view kOwn[] = {"outcome",           "reason",       "handles_open", "unused_fault_rules",
                                              "expected_outcomes", "expected_ertc"};
  auto wants = [&members](std::string_view name) {
    return std::find(members.begin(), members.end(), name) != members.end();
  };
  auto wants_any = [&wants](const auto& names) { return std::any_of(std::begin(names), std::end(names), wants); };
  Json s = ObjectWithRoom(members.size() + 6);
  Append(s, "outcome", outcome_.state);
  Append(s, "reason", outcome_.reason);
  if (wants_any(kHal)) hal.Summarize(s);
  if (wants_any(kWakePlan)) wake_plan.Summarize(s);
  if (wants("handles_open")) Append(s, "handles_open", OpenHandlesJson());
  if (wants("unused_fault_rules")) Append(s, "unused_fault_rules", faults.UnusedRules());
  if (!expected_outcomes_.empty() && wants("expected_outcomes")) Append(s, "expected_outcomes", expected_outcomes_);
  if (!expected_ertc_.empty() && wants("expected_ertc")) Append(s, "expected_ertc", expected_ertc_);
  std::optional<Json> whole;
  for (const std::string& m : members) {
    auto among = [&m](const auto& names) {
      return std::find(std::begin(names), std::end(names), m) != std::end(names);
    };
    if (among(kHal) || among(kWakePlan) || among(kOwn)) continue;
    if (!whole) whole = Summary();
    if (const auto it = whole->find(m); it != whole->end()) Append(s, m, *it);
  }
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
