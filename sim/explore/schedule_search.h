// The search behind systematic exploration, apart from how a schedule is run: depth first over
// the choice points of recorded runs, bounded iteratively by preemptions, with sleep sets to skip
// choices that only reorder steps which commute.
//
// Sleep sets (Godefroid): once the search has explored thread T at a choice point, T "sleeps" in
// the siblings explored after it, and in their continuations, until a step that conflicts with
// T's recorded step runs. A sleeping thread is not tried as an alternative, and a run whose
// continuation would hand the baton to a sleeping thread takes another one when that costs no
// preemption. Two steps conflict as StepsConflict (footprint.h) says of their recorded keys
// (ChoicePoint::touched, ChoicePoint::touches_all).
//
// Shards: the search can be cut into parts. Every shard runs the search alike from its start until
// 32 schedules a shard are queued or it reaches its last bound, then numbers the queued ones in the
// order the search would run them (fewest preemptions first, depth first) and keeps those whose
// number is its own modulo the number of shards: each explores the subtrees of the schedules it was
// dealt completely up to the bound. What all ran before the deal counts, and reports failures, in
// shard 1 only. A race that a run shows at a point before its part began may call for a schedule
// outside the part: the shard that saw it runs it too (no other shard may see that race), and
// counts it as outside its part; so shards may repeat some schedules. The reduction's sleep sets
// are not shared between shards after the deal: a shard may run what the whole search skips as
// asleep, never less.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/kernel/footprint.h"
#include "sim/kernel/listed_schedule.h"

namespace sim {

// Runs the schedule that follows `prefix` (indices, one per choice point) and then asks
// `record.past_list` at every later choice point; fills `record` with every point it passed.
// Returns true when the run failed.
using ScheduleRunner = std::function<bool(const std::vector<int>& prefix, ScheduleRecord& record)>;

struct SearchLimits {
  int bound = 2;                         // at most this many preemptions
  std::uint64_t max_schedules = 200000;  // stop after this many runs (0: no cap)
  double max_seconds = 0;                // stop after this much wall time (0: none)
  bool reduce = true;                    // sleep sets on
  std::uint64_t shard_index = 1;         // this shard, from 1
  std::uint64_t shard_count = 1;         // the number of shards (1: the whole search)
};

struct SearchTotals {
  std::vector<std::uint64_t> per_bound;  // schedules run with exactly k preemptions
  std::uint64_t schedules = 0;
  std::uint64_t points_seen = 0;  // choice points passed, over every run
  std::uint64_t most_points = 0;  // the most choice points one run passed
  std::uint64_t asleep = 0;       // alternatives not run because their thread slept
  std::uint64_t steered = 0;      // continuations that took another thread than a sleeping one
  std::uint64_t cut = 0;          // runs whose continuation still reached a sleeping thread
  std::uint64_t no_race = 0;      // alternatives not run because no step of theirs raced
  std::uint64_t late = 0;         // alternatives queued when a later run showed their race
  // Alternatives with fewer preemptions than a bound already searched, queued by a race seen
  // late, and never run: where the bound and the reduction together leave the search short.
  std::uint64_t left_below = 0;
  std::uint64_t failures = 0;
  std::uint64_t first_failure = 0;  // the number of schedules run up to the first failing one
  int first_failure_bound = 0;      // its preemptions
  bool exhausted = false;           // every schedule up to the bound was run
  int bound_reached = 0;            // the bound being searched when the search ended
  std::string stop_reason;          // why it stopped when not exhausted
  double seconds = 0;
  // With shards: the schedules dealt out, how many this shard was dealt, the schedules every
  // shard ran before the deal (in `schedules` of shard 1 only), and those this shard ran outside
  // its part because a race it saw called for them.
  std::uint64_t parts = 0;
  std::uint64_t parts_run = 0;
  std::uint64_t shared = 0;
  std::uint64_t outside = 0;
};

// Called for each failing run with its record (the text of its schedule is
// ScheduleText(record.points, record.points.size())) and its number of preemptions.
using FailureSink = std::function<void(const ScheduleRecord& record, int preemptions)>;

// Searches every schedule up to `limits.bound` preemptions, fewest first, running each with
// `run`; reports each failing one to `on_failure`. Deterministic: the same runner gives the same
// sequence of schedules. With `limits.shard_count` > 1, searches only shard `limits.shard_index`'s
// part (above); the first schedule then counts, and reports its failure, in shard 1 only.
SearchTotals SearchSchedules(const ScheduleRunner& run, const SearchLimits& limits, const FailureSink& on_failure);

}  // namespace sim
