// A schedule given as a list of choices, and the policy that follows it while recording what it
// chose. Systematic exploration enumerates these lists; `devsim --schedule TEXT` replays one.
//
// A choice point is a switch point where more than one thread is runnable. The choice there is
// the index of the thread that runs next among the runnable ones, by increasing id (the running
// thread's own index means it goes on). Past the end of the list the policy takes the fixed order
// of seed 0, so an empty list runs as seed 0 does.
//
// Text form: choices joined by '.'; a choice is an index ("2") or "d" for the fixed order's own
// choice at that point, and may be followed by "xN" for N repeats: "dx12.1.d.0" is twelve points
// as the fixed order goes, then index 1, then the fixed order's choice, then index 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/schedule_policy.h"

namespace sim {

// In a parsed schedule: the fixed order's own choice.
inline constexpr int kDefaultChoice = -1;

// What a choice point chooses among: runnable threads, or timers and outside events due at the
// same instant (which of them fires first; `threads` then holds -2, -3, ... in place of ids, and
// no choice there is a preemption).
enum class ChoiceKind { kThread, kEvent };

// One choice point as a run passed it.
struct ChoicePoint {
  int options = 0;  // runnable threads (at least 2)
  int chosen = 0;   // index of the thread that ran next
  int fixed = 0;    // what the fixed order would have chosen
  int stay = -1;    // index of the running thread when it could have gone on within its
                    // quantum (a switch away from it is a preemption), else -1
  // True when choosing `index` here switches away from a thread that could have gone on.
  bool Preempts(int index) const { return stay >= 0 && index != stay; }
  // The runnable threads by increasing id: choice i runs threads[i].
  std::vector<ThreadId> threads;
  // What the run did from this point to the next choice point (the chosen thread's step, and
  // whatever ran after it without a choice): keys of the objects it touched, sorted and unique,
  // for telling steps that commute apart from those that do not. `touches_all` marks a step that
  // did something not keyed (or that nobody keyed yet): it conflicts with every other step.
  std::vector<std::uint64_t> touched;
  bool touches_all = true;
  // The threads other than the chosen one that ran in the step (without a choice between),
  // sorted and unique; gathered with the keys.
  std::vector<ThreadId> also_ran;
  ChoiceKind kind = ChoiceKind::kThread;
};

// What a run's policy chose, filled in as the run goes.
struct ScheduleRecord {
  std::vector<ChoicePoint> points;
  std::uint64_t mismatches = 0;  // listed indices beyond the runnable threads (the fixed order's taken)
  // When set, asked at each choice point past the end of the list instead of taking the fixed
  // order: `point` is filled but for `chosen` (its `threads` too), and `points` holds the points
  // before it. Returns the index to take; one outside 0..options-1 means the fixed order's.
  std::function<int(const ChoicePoint& point, const ScheduleRecord& record)> past_list;
};

// The list `text` names, or nullopt with `problem` set when it is not of the form above.
std::optional<std::vector<int>> ParseScheduleText(const std::string& text, std::string* problem = nullptr);
// Why `text` is not a schedule's text; empty when it is.
std::string ScheduleTextProblem(const std::string& text);
// The first `count` points of `points` as text ("d" where the fixed order's choice was taken,
// repeats folded); trailing fixed-order choices are left out, since they are what an absent
// choice means.
std::string ScheduleText(const std::vector<ChoicePoint>& points, std::size_t count);

// Follows `choices` (kDefaultChoice: the fixed order's) and appends every choice point it passes
// to `record` when one is given.
std::unique_ptr<SchedulePolicy> MakeListedPolicy(std::vector<int> choices, std::shared_ptr<ScheduleRecord> record);

}  // namespace sim
