// Folder sim/kernel/: the deterministic kernel (simulated threads, virtual time, scheduling
// seeds), the handle table, the event log, fault rules and the naming of the calling routine.
// It may use sim/base/ and nothing above: the device parts build on it, never the reverse.
//
// Deterministic kernel of the simulated handset.
//
// Every thread of the program and every platform thread that calls into it is a simulated
// thread, and only one of them runs at a time: the one holding the baton. Platform calls are the
// switch points. A simulated thread is carried either by a user-space context (a fiber) on the
// host thread that runs the simulation, or by a host thread of its own; the schedule does not
// depend on which. Time is virtual: a sleep or timed wait parks the thread, and when no thread can
// run the clock jumps to the next deadline or scheduled device event. One seeded generator makes
// every scheduling choice, so a scenario and a seed replay the same run.
//
// The kernel keeps the threads, their waits, virtual time and the timers of device events, and
// hands its other jobs to parts of their own: the choice of the next thread to a scheduling
// policy (schedule_policy.h), carrying threads on the host to a carrier (carrier.h), wall-clock
// pacing to real_clock.h and input from a person at the terminal to terminal_input.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/base/rng.h"
#include "sim/base/time_text.h"
#include "sim/kernel/carrier.h"
#include "sim/kernel/footprint.h"
#include "sim/kernel/listed_schedule.h"
#include "sim/kernel/real_clock.h"
#include "sim/kernel/schedule_policy.h"
#include "sim/kernel/terminal_input.h"

namespace sim {

inline constexpr Micros kNever = ~Micros{0};

// A process of the handset, as the kernel tells its threads apart: 0 is the handset itself (its
// device threads, its timers), 1 the program as the run started it, 2 and on further instances of
// the program started while it runs. Each program process has its own copy of the program's
// variables; the kernel has the copy of the process about to run put in place at each switch.
using ProcessId = int;
inline constexpr ProcessId kHandsetProcess = 0;
inline constexpr ProcessId kFirstProgram = 1;

// Something a thread can wait on. Implemented by events, mutexes, threads and internal queues.
class Waitable {
 public:
  virtual ~Waitable() = default;
  // True when a wait by `waiter` would be satisfied now.
  virtual bool IsSignaled(ThreadId waiter) const = 0;
  // Takes the signal for `waiter` (auto-reset events reset, mutexes become owned).
  virtual void Acquire(ThreadId waiter) = 0;
};

enum class WaitOutcome { kSignaled, kTimedOut };

// How a run ended.
enum class EndKind { kNone, kProcessEnded, kPowerLost, kSuspended, kWaitingForUser, kStuck, kTimeLimit, kError };

struct RunEnd {
  EndKind kind = EndKind::kNone;
  std::string reason;
  Micros at = 0;
};

// How simulated threads are carried on the host.
enum class KernelMechanism {
  kFibers,       // user-space contexts on the host thread that calls Run: a switch is a jump
  kHostThreads,  // a host thread each, handing the baton over a condition variable
};

// The mechanism used unless a run chooses: DEVSIM_KERNEL=fibers|threads in the environment,
// else fibers. Under ThreadSanitizer every kernel uses host threads whatever was chosen.
KernelMechanism DefaultMechanism();

// Scheduling policy. Seed 0 keeps a fixed order: the running thread goes on until it blocks or
// uses up its quantum, then the next runnable thread by id takes over. Any other seed draws the
// next thread from the generator at every switch point. A run's options carry a Schedule whole;
// the time limit is the scenario's unless the run's options override it.
struct Schedule {
  std::uint64_t seed = 0;
  Micros quantum = 10 * kMicrosPerMs;      // fairness bound for a thread that never blocks
  std::uint32_t preempt_one_in = 4;        // nonzero seeds: chance of a switch at a call
  bool real_clock = false;                 // pace virtual time by the wall clock
  bool pct = false;                        // priority scheduling with change points
  int pct_depth = 3;                       // d of PCT: d-1 priority change points
  std::uint64_t pct_steps = 20000;         // horizon for drawing the change points: the run's
                                           // length in switch points when known
  std::string schedule;                    // a list of choices to follow (listed_schedule.h); "": none
  std::shared_ptr<ScheduleRecord> record;  // when set, the choices are listed and recorded here
  KernelMechanism mechanism = DefaultMechanism();
  bool name_host_thread = true;  // fibers: the host thread takes the running thread's name
};

// What the kernel runs by: the schedule and where virtual time stops.
struct SchedulerConfig : Schedule {
  Micros time_limit = 600 * 1000 * kMicrosPerMs;
};

class Kernel {
 public:
  explicit Kernel(SchedulerConfig config);
  // Frees a finished run's fibers (their stacks are dropped without unwinding). Only a kernel
  // whose run has ended, or never began, may be destroyed, and one with host threads only when
  // the host process is about to exit.
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // True when the run's threads are fibers, so that destroying the kernel after its run reclaims
  // them and the host process may run another kernel.
  bool Reclaimable() const { return config_.mechanism == KernelMechanism::kFibers; }

  // Creates a simulated thread that starts runnable and runs `body` when scheduled. `platform`
  // marks threads of the handset (radio, notifications, input) as opposed to program threads.
  // When `body` returns the thread is finished and waiters on its Waitable are released.
  // `process` is the process the thread belongs to (ends with it); a thread of the handset may
  // run code of a program process for a while (EnterProcess).
  ThreadId Spawn(std::string name, std::function<void()> body, bool platform, ProcessId process = kHandsetProcess);

  // Called at every switch to a thread that runs code of another program process than the one
  // whose variables are in place: `from` is that process, `to` the new one. Never called in a run
  // with one program process.
  void SetImageSwitch(std::function<void(ProcessId from, ProcessId to)> swap);
  // Installs the routine that tells which variables in place were written since it was last
  // asked (each by its index), for the footprints of steps; unused when no record is kept.
  using ImageWrites = std::function<void(const std::function<void(std::uint32_t)>& written)>;
  void SetImageWrites(ImageWrites report);
  // The running thread runs code of `process` from now on (a device thread calling back into a
  // program, then back); returns the process it ran for before.
  ProcessId EnterProcess(ProcessId process);
  // The process whose code thread `id` runs now, and the process it belongs to.
  ProcessId ProcessOf(ThreadId id) const;
  ProcessId HomeOf(ThreadId id) const;
  // Ends every thread that belongs to `process` except the running one: they never run again, and
  // waits on them are satisfied. Returns how many were ended.
  int EndThreadsOf(ProcessId process);
  // True when some thread of `process` has not finished.
  bool ProcessHasThreads(ProcessId process) const;

  // Runs the simulation from the calling host thread: starts thread `first` and returns when the
  // run has ended. Afterwards the simulated threads stay parked: with fibers until the kernel is
  // destroyed, with host threads until the host process exits.
  RunEnd Run(ThreadId first);

  // Switch point at the start of every platform call: charges `cost` of virtual time, fires due
  // device events and may hand the baton to another thread. Never returns after the run ended.
  void SwitchPoint(Micros cost);

  // Lets `preferred` run now when the seed keeps a fixed order (a thread just created starts at
  // once); with other seeds this is an ordinary switch point.
  void Yield(ThreadId preferred);

  // Parks the running thread until `what` is signalled (null: only the deadline) or `timeout`
  // virtual microseconds have passed (kNever: no deadline). `detail` says what the thread waits
  // for and on which object, for stuck reports ("WaitForSingleObject on event 'X'").
  WaitOutcome Wait(Waitable* what, Micros timeout, std::string detail);

  // Schedules `action` to run at virtual time `at` from kernel context (no blocking inside).
  // Returns an id usable with Cancel.
  std::uint64_t At(Micros at, std::string what, std::function<void()> action);
  void Cancel(std::uint64_t id);

  // Ends the run with `kind` and parks the calling simulated thread for good.
  [[noreturn]] void End(EndKind kind, std::string reason);

  // Queues `action` from a host thread outside the simulation (a terminal reader); it runs at the
  // next switch point in kernel context. Wakes a real-clock sleep.
  void Post(std::function<void()> action);

  // Called, with the kernel lock held, when every thread waits with no deadline and nothing is
  // due. Returns how to end the run instead of "stuck" (for example a box waiting for its
  // user), an end of kind kNone to keep waiting for outside input (a person at the terminal),
  // or nothing for stuck. The judge must not call back into the kernel.
  void SetQuiescenceJudge(std::function<std::optional<RunEnd>()> judge);

  // A timed wait of a program thread on an object, for a countdown shown to a person.
  struct TimedWait {
    std::string thread;
    Micros deadline = 0;
  };
  // The timed wait that ends first among the program threads (not platform threads, not
  // `except`) that wait on an object with a deadline; plain sleeps do not count. Safe from a host
  // thread outside the simulation.
  std::optional<TimedWait> EarliestTimedWait(ThreadId except) const;
  // Virtual time as far as the wall clock has carried it in a real-clock run (the virtual clock
  // itself only moves at switch points); Now() otherwise. Safe from a host thread.
  Micros PacedNow() const;

  Micros Now() const { return now_; }
  ThreadId Current() const { return baton_.holder; }
  const std::string& ThreadName(ThreadId id) const;
  bool IsPlatformThread(ThreadId id) const;
  Waitable* ThreadWaitable(ThreadId id);
  std::uint64_t Seed() const { return config_.seed; }
  Rng& Random() { return rng_; }
  // One line per unfinished thread: its name and what it waits for.
  std::vector<std::string> DescribeWaits() const;
  std::uint64_t Switches() const { return switches_; }

  // Footprints of steps (footprint.h), gathered only when the schedule keeps a record: each
  // choice point of the record gets the keys of what ran from it to the next one. Without a
  // record these do nothing.
  // The step under way touched the object `key` names.
  void Touch(std::uint64_t key) {
    if (footprint_) footprint_->Touch(key);
  }
  // The step under way did something no key describes: it conflicts with every other step.
  void TouchAll() {
    if (footprint_) footprint_->TouchAll();
  }
  // The running thread goes back to the code of its program process (a platform call returns
  // into it): the step may touch any variable of that process.
  void TouchRunningCode() {
    if (footprint_) TouchProcessMemory();
  }
  // The running thread enters a platform call that touches `key` (kTouchesAll: anything), and
  // leaves it: when a wait inside the call parks the thread, the rest of the call runs in a
  // later step, which touches `key` again.
  static constexpr std::uint64_t kTouchesAll = ~std::uint64_t{0};
  void EnterCallFootprint(std::uint64_t key);
  void LeaveCallFootprint();
  // The footprint being gathered, or null when the run keeps no record. Lives as long as the
  // kernel.
  StepFootprint* Footprint() { return footprint_.get(); }
  // Switch points passed so far (the length of a run, in the unit PCT draws change points in).
  std::uint64_t Steps() const { return steps_; }

 public:
  struct Thread;  // a simulated thread; defined in kernel.cpp

 private:
  class ThreadSignal;

  void Finish(std::unique_lock<std::mutex>& lk, Thread* t);
  [[noreturn]] void ParkForever(std::unique_lock<std::mutex>& lk);
  void Reschedule(std::unique_lock<std::mutex>& lk, Thread* self, bool blocking);
  void RefreshBlocked();
  ThreadId Choose(Thread* self, bool blocking);
  ThreadId Decide(const ScheduleDecision& d, Thread* self, bool blocking);
  void CloseStep(std::size_t points_before);
  void TouchProcessMemory();
  void TouchImageWrites();
  void TouchResumedCall(const Thread* self);
  void AdvanceClock(std::unique_lock<std::mutex>& lk);
  void EndQuiet(std::unique_lock<std::mutex>& lk);
  void FireDueEvents(std::unique_lock<std::mutex>& lk);
  void EndLocked(EndKind kind, std::string reason);
  void HandOver(std::unique_lock<std::mutex>& lk, Thread* self, ThreadId next);
  void PutImageInPlace(ProcessId process);
  bool Over() const { return end_.kind != EndKind::kNone; }
  Thread* Self();

  SchedulerConfig config_;
  Rng rng_;
  mutable Baton baton_;  // the kernel lock and the running thread
  std::unique_ptr<SchedulePolicy> policy_;
  std::unique_ptr<StepFootprint> footprint_;  // only with a schedule record
  std::unique_ptr<Carrier> carrier_;
  WallPacer pacer_;
  OutsideInput input_;
  std::vector<std::unique_ptr<Thread>> threads_;
  Micros now_ = 0;
  Micros slice_start_ = 0;
  std::uint64_t switches_ = 0;
  std::uint64_t steps_ = 0;
  std::uint64_t blocks_ = 0;        // waits begun, for the order in which blocked threads wake
  std::vector<Thread*> blocked_;    // scratch of one scheduling decision: no allocation
  std::vector<ThreadId> runnable_;  // likewise
  struct Timer {
    Micros at;
    std::uint64_t id;
    std::string what;
    std::function<void()> action;
  };
  using Timers = std::multimap<std::pair<Micros, std::uint64_t>, Timer>;
  Timers timers_;
  Timers::iterator NextDueEvent();
  std::uint64_t next_timer_id_ = 1;
  std::function<std::optional<RunEnd>()> judge_;
  std::function<void(ProcessId, ProcessId)> swap_image_;
  ImageWrites image_writes_;
  ProcessId image_of_ = kFirstProgram;  // whose variables are in place
  RunEnd end_;
};

}  // namespace sim
