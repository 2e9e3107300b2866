// Folder sim/devices/: the handset's parts (registry, objects, windows, radio, GPIO, LEDs,
// drivers, processes, files, sound, libraries, notification database...), the platform
// operations the program calls, and the Handset that assembles them for one run. It may use
// sim/scenario/, sim/kernel/ and sim/base/, never the checks, views or exploration above it.
//
// The simulated handset: the kernel, the handle table, the event log and every device part, for
// one run of the program. Platform operations reach the parts through Dev().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/board.h"
#include "sim/devices/debug_output.h"
#include "sim/devices/hal.h"
#include "sim/devices/heap.h"
#include "sim/devices/instances.h"
#include "sim/devices/keyboard.h"
#include "sim/devices/program_image.h"
#include "sim/devices/run_options.h"
#include "sim/devices/sound.h"
#include "sim/devices/sync.h"
#include "sim/devices/wake_plan.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"
#include "sim/scenario/timeline.h"

namespace sim {

// How the handset ended, in the words of the summary.
struct Outcome {
  std::string state;  // off, suspended, on, stuck, time-limit
  std::string reason;
  int exit_status = 0;  // of the runner: 0 ended off/suspended/on, 3 stuck, 4 time limit; RunChecked
                        // (sim/checks) replaces it with the judged status (5, or 0 when expected)
};

// The handset is its board (the parts a scenario configures, reachable as Dev().registry,
// Dev().radio...) and the parts that live for one run only.
class Handset : public Board {
 public:
  // Builds the handset from the scenario; throws ScenarioError on bad input.
  Handset(const Scenario& scenario, RunOptions options);
  // A handset whose kernel is Reclaimable() may be destroyed after its run, and the next one
  // built in the same host process runs as if in a fresh one.
  ~Handset();
  Handset(const Handset&) = delete;
  Handset& operator=(const Handset&) = delete;

  // Runs the program's entry point on the main thread until the run ends. Returns once; the
  // run's threads stay parked afterwards, so a handset is run once. The
  // outcome does not yet count invariant violations: RunChecked (sim/checks) adds them.
  Outcome Run();

  // The summary of the device's end state, as JSON (the runner prints it as text), without the
  // invariants' verdict: CheckedSummary (sim/checks) adds "violations".
  Json Summary() const;
  // The summary's `members` (those a judge of the run reads, named by its caller; see
  // sim/checks/checked_run.h), with the outcome and its reason, and little else: what an
  // explorer needs of each of its many runs, at a fraction of the whole summary's cost.
  Json Verdict(const std::vector<std::string>& members) const;
  // How the run ended (kNone before it has).
  EndKind EndedAs() const { return end_.kind; }
  // Outcomes the scenario expects ([expect] outcome); empty when it names none.
  const std::vector<std::string>& ExpectedOutcomes() const { return expected_outcomes_; }

  // Last-error value of the running thread.
  std::uint32_t& LastError();
  // Name of the running thread ("main" outside the simulation).
  const std::string& ThreadName() const;
  // The same name as a text that lives as long as the process, for the event log.
  std::string_view ThreadKey();
  // Spawns a platform thread of the handset (radio, notifications, input).
  ThreadId SpawnPlatformThread(const std::string& name, std::function<void()> body);
  // Spawns a thread the platform runs inside program process `process` (its notification
  // thread): it runs that process's code and ends with it.
  ThreadId SpawnProgramPlatformThread(const std::string& name, ProcessId process, std::function<void()> body);
  // Spawns a thread of the program process whose code the running thread runs (CreateThread).
  ThreadId SpawnProgramThread(const std::string& routine, std::function<void()> body);
  // The program process whose code the running thread runs (the handset's own: kHandsetProcess).
  ProcessId CurrentProcess() const { return kernel.ProcessOf(kernel.Current()); }
  // The pid of the running thread's process (the first instance's for the handset's own threads).
  std::uint32_t CurrentPid() const { return instances.PidOf(CurrentProcess(), program_pid_); }
  // The instances of the program that still run, as processes of the snapshot after the
  // scenario's (which describes the rest of the handset): the program is a process like any other.
  std::vector<SimProcess> ProgramProcesses() const;
  // The process that holds handle `value` (the first instance when it is not open).
  ProcessId ProcessOfHandle(std::uintptr_t value);
  // Runs `body`, a callback into the program process that holds handle `owner`, on the running
  // thread with that process's variables in place.
  void CallInto(std::uintptr_t owner, const std::function<void()>& body);
  // Records what the handset did by itself.
  void Note(std::string_view part, std::string_view what, Json detail = {});
  // Opens a handle for the running thread, now. The routine that opened it is the caller the
  // platform call under way has already named, else the one found on the stack.
  std::uintptr_t OpenHandle(HandleKind kind, std::shared_ptr<void> object, std::string label, std::string opened_by);
  // Kept by Call for the running thread: a platform call named by `caller` starts, and ends.
  void EnterCall(std::string_view caller);
  void LeaveCall();

  const RunOptions& Options() const { return options_; }
  std::uint32_t ProgramPid() const { return program_pid_; }
  Micros CallCost() const { return call_cost_; }

  Kernel kernel;
  HandleTable handles;
  EventLog events;
  FaultPlan faults;
  DebugOutput debug;
  Timeline timeline;
  SyncObjects sync;
  Heap heap;
  Hal hal;
  SoundPlayer sound;
  Keyboard keyboard;
  WakePlan wake_plan;
  ProgramInstances instances;

 private:
  // The boards read from the last few scenarios built in this process.
  class PartsStore;

  static SchedulerConfig SchedulerFrom(const Scenario& scenario, const RunOptions& options);
  void Configure(const Scenario& scenario);
  void AddFaultRules(std::vector<std::string> rules);
  void RegisterActions();
  std::optional<RunEnd> JudgeQuiescence() const;
  Outcome Interpret(const RunEnd& end) const;
  // The handles still open, as the summary lists them.
  Json OpenHandlesJson() const;
  // Starts an instance of the program with `command_line`: its main thread runs the program's
  // entry point, and its return ends the instance.
  ThreadId StartInstance(std::u16string command_line);
  // The main routine of instance `process` returned `code`: ends the run when no instance is
  // left to run or to start, else ends that process alone.
  void EndInstance(ProcessId process, int code);
  // What the system does for a process that ends while the handset runs on: its threads end,
  // its windows close, the mutexes its threads own are abandoned and its handles are closed.
  void ReleaseProcess(ProgramInstance& inst);
  // A pid that no process of the handset has.
  std::uint32_t FreshPid() const;

  RunOptions options_;
  std::map<ThreadId, std::uint32_t> last_error_;
  std::vector<std::vector<std::string_view>> open_calls_;  // callers by thread, innermost call last
  std::vector<std::string_view> thread_keys_;              // ThreadKey() by thread
  bool process_ended_ = false;
  int main_exit_code_ = 0;
  RunEnd end_;
  Outcome outcome_;
  ImageWatch image_watch_;  // which program variables a step wrote; only with a schedule record
};

// The handset of the run in progress.
Handset& Dev();

}  // namespace sim
