// Scheduling policies: which simulated thread runs next at a switch point.
//
// The kernel decides everything else (time, blocking, waking, hand-overs); a policy only makes
// the two choices that shape an interleaving, and makes them through this interface alone:
//   - at a platform call of a thread that could go on, whether it goes on (StaysAtCall);
//   - otherwise, which runnable thread takes the baton (Pick).
// A policy may draw from the run's generator, but only inside these calls and the notices below,
// so that one seed replays one schedule.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/base/rng.h"
#include "sim/kernel/thread_id.h"

namespace sim {

// What a policy sees at one switch point.
struct ScheduleDecision {
  std::span<const ThreadId> runnable;  // the runnable threads by increasing id; never empty
  ThreadId running;                    // the thread at the switch point (it may just have blocked)
  bool in_slice;                       // `running` has not used up its quantum
};

class SchedulePolicy {
 public:
  virtual ~SchedulePolicy() = default;

  // A thread was created; `draw` is the one number the kernel draws from the run's generator
  // for every thread, whatever the policy (so that the draws after it stay in place).
  virtual void Created(ThreadId id, std::uint64_t draw) = 0;
  // `running` passed the switch point numbered `step` (from 1) at a platform call.
  virtual void Stepped(std::uint64_t step, ThreadId running) = 0;
  // Asked only when `d.running` is runnable and did not block: true keeps it running through the
  // call without a switch.
  virtual bool StaysAtCall(const ScheduleDecision& d) = 0;
  // The thread to run next, one of `d.runnable` (it may be `d.running` itself).
  virtual ThreadId Pick(const ScheduleDecision& d) = 0;
  // True when a thread that asks to let a new thread run at once (Kernel::Yield) is obeyed.
  virtual bool FollowsYield() const = 0;
  // Several timers or outside events are due at the same instant: the index of the one that
  // fires first among `options` (at least 2) of them, in the order they were scheduled. Index 0,
  // the order they were scheduled in, unless the policy makes this a choice.
  virtual int PickEvent(int options) {
    (void)options;
    return 0;
  }
};

// Seed 0: a fixed order. The running thread goes on until it blocks or uses up its quantum, then
// the next runnable thread by id takes over; a thread just created starts at once.
std::unique_ptr<SchedulePolicy> MakeFixedOrderPolicy();

// Uniform random: at a call the running thread is switched out with chance 1/`preempt_one_in`
// (and always at the end of its quantum), and the next thread is drawn uniformly among the
// runnable ones.
std::unique_ptr<SchedulePolicy> MakeUniformPolicy(Rng& rng, std::uint32_t preempt_one_in);

// PCT (probabilistic concurrency testing): each thread a distinct random priority, the highest
// runnable one runs; at `depth - 1` change points drawn over the first `steps` switch points the
// running thread drops below every other.
std::unique_ptr<SchedulePolicy> MakePctPolicy(Rng& rng, int depth, std::uint64_t steps);

}  // namespace sim
