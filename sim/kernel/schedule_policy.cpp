#include "sim/kernel/schedule_policy.h"

#include <algorithm>

namespace sim {
namespace {

class FixedOrderPolicy final : public SchedulePolicy {
 public:
  void Created(ThreadId, std::uint64_t) override {}
  void Stepped(std::uint64_t, ThreadId) override {}
  bool StaysAtCall(const ScheduleDecision& d) override { return d.in_slice; }
  // Round robin: the first runnable thread after the running one, by id.
  ThreadId Pick(const ScheduleDecision& d) override {
    for (ThreadId id : d.runnable)
      if (id > d.running) return id;
    return d.runnable.front();
  }
  bool FollowsYield() const override { return true; }
};

class UniformPolicy final : public SchedulePolicy {
 public:
  UniformPolicy(Rng& rng, std::uint32_t preempt_one_in) : rng_(rng), preempt_one_in_(preempt_one_in) {}
  void Created(ThreadId, std::uint64_t) override {}
  void Stepped(std::uint64_t, ThreadId) override {}
  bool StaysAtCall(const ScheduleDecision& d) override { return d.in_slice && !rng_.OneIn(preempt_one_in_); }
  ThreadId Pick(const ScheduleDecision& d) override { return d.runnable[rng_.Below(d.runnable.size())]; }
  bool FollowsYield() const override { return false; }

 private:
  Rng& rng_;
  std::uint32_t preempt_one_in_;
};

class PctPolicy final : public SchedulePolicy {
 public:
  // The change points are drawn before any thread exists, so before every other draw of the run.
  PctPolicy(Rng& rng, int depth, std::uint64_t steps) {
    for (int i = 0; i + 1 < depth; ++i) change_points_.push_back(rng.Below(std::max<std::uint64_t>(1, steps)));
  }
  // Priorities of created threads lie above the range change points hand out (0, -1, -2, ...).
  void Created(ThreadId id, std::uint64_t draw) override {
    if (priority_.size() <= static_cast<std::size_t>(id)) priority_.resize(id + 1);
    priority_[id] = 1000 + static_cast<int>(draw);
  }
  void Stepped(std::uint64_t step, ThreadId running) override {
    if (std::find(change_points_.begin(), change_points_.end(), step) != change_points_.end())
      priority_[running] = --next_low_;
  }
  bool StaysAtCall(const ScheduleDecision&) override { return false; }
  // The highest priority; of equal ones, the lowest id.
  ThreadId Pick(const ScheduleDecision& d) override {
    ThreadId best = d.runnable.front();
    for (ThreadId id : d.runnable)
      if (priority_[id] > priority_[best]) best = id;
    return best;
  }
  bool FollowsYield() const override { return false; }

 private:
  std::vector<std::uint64_t> change_points_;
  std::vector<int> priority_;  // by thread id
  int next_low_ = 0;
};

}  // namespace

std::unique_ptr<SchedulePolicy> MakeFixedOrderPolicy() { return std::make_unique<FixedOrderPolicy>(); }

std::unique_ptr<SchedulePolicy> MakeUniformPolicy(Rng& rng, std::uint32_t preempt_one_in) {
  return std::make_unique<UniformPolicy>(rng, preempt_one_in);
}

std::unique_ptr<SchedulePolicy> MakePctPolicy(Rng& rng, int depth, std::uint64_t steps) {
  return std::make_unique<PctPolicy>(rng, depth, steps);
}

}  // namespace sim
