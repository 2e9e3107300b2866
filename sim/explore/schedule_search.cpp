#include "sim/explore/schedule_search.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace sim {
namespace {

// A thread asleep at a point, with the step it took when it was explored there.
struct Sleeper {
  ThreadId thread = kNoThread;
  std::vector<std::uint64_t> touched;
  bool touches_all = true;
};

Sleeper SleeperOf(const ChoicePoint& p) {
  return {p.threads.empty() ? kNoThread : p.threads[static_cast<std::size_t>(p.chosen)], p.touched, p.touches_all};
}

// The choices explored so far at one point of one path, in the order they were explored; shared
// by the alternatives queued there, each adding its own step once it has run.
struct Siblings {
  std::vector<Sleeper> done;
};

// A schedule still to run: its choices up to its last one off the path it was found on, the
// threads asleep at that last point, and the siblings there.
struct Pending {
  std::vector<int> prefix;
  std::vector<Sleeper> asleep;
  std::shared_ptr<Siblings> siblings;
};

bool Asleep(const std::vector<Sleeper>& z, ThreadId t) {
  return std::any_of(z.begin(), z.end(), [t](const Sleeper& s) { return s.thread == t; });
}

// Wakes every sleeper whose step conflicts with the step taken at `p`.
void WakeBy(std::vector<Sleeper>& z, const ChoicePoint& p) {
  std::erase_if(z,
                [&p](const Sleeper& s) { return StepsConflict(s.touched, s.touches_all, p.touched, p.touches_all); });
}

ThreadId ThreadAt(const ChoicePoint& p, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < p.threads.size() ? p.threads[static_cast<std::size_t>(index)]
                                                                          : kNoThread;
}

// The continuation of one run past its listed prefix: keeps the sleep set up to date as the run
// goes, and turns away from a sleeping thread when another runnable one costs no preemption.
class Steering {
 public:
  Steering(std::vector<Sleeper> asleep, std::size_t from, SearchTotals& totals)
      : asleep_(std::move(asleep)), next_(from), totals_(totals) {}

  int Choose(const ChoicePoint& p, const ScheduleRecord& r) {
    for (; next_ < r.points.size(); ++next_) WakeBy(asleep_, r.points[next_]);
    if (!Asleep(asleep_, ThreadAt(p, p.fixed))) return kDefaultChoice;
    for (int j = 0; j < p.options; ++j) {
      if (p.Preempts(j) || Asleep(asleep_, ThreadAt(p, j))) continue;
      ++totals_.steered;
      return j;
    }
    return kDefaultChoice;
  }

 private:
  std::vector<Sleeper> asleep_;
  std::size_t next_;  // the first recorded point whose step has not yet woken sleepers
  SearchTotals& totals_;
};

class Search {
 public:
  Search(const ScheduleRunner& run, const SearchLimits& limits, const FailureSink& on_failure)
      : run_(run), limits_(limits), on_failure_(on_failure), work_(static_cast<std::size_t>(limits.bound) + 1) {
    totals_.per_bound.assign(work_.size(), 0);
  }

  SearchTotals Go() {
    const auto start = std::chrono::steady_clock::now();
    work_[0].push_back({});
    for (int k = 0; k <= limits_.bound && totals_.stop_reason.empty(); ++k) {
      totals_.bound_reached = k;
      while (!work_[k].empty()) {
        if (limits_.max_schedules != 0 && totals_.schedules >= limits_.max_schedules) {
          totals_.stop_reason = "the cap of --max-schedules " + std::to_string(limits_.max_schedules);
          break;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (limits_.max_seconds > 0 && seconds >= limits_.max_seconds) {
          totals_.stop_reason =
              "the time limit of --max-seconds " + std::to_string(static_cast<long>(limits_.max_seconds));
          break;
        }
        Pending next = std::move(work_[k].back());
        work_[k].pop_back();
        RunOne(next, k);
      }
    }
    totals_.exhausted = totals_.stop_reason.empty();
    totals_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return totals_;
  }

 private:
  // Runs `item`, judges it, and queues the schedules that leave it past its prefix.
  void RunOne(const Pending& item, int cost) {
    std::vector<Sleeper> asleep;
    if (limits_.reduce) {
      asleep = item.asleep;
      if (item.siblings) asleep.insert(asleep.end(), item.siblings->done.begin(), item.siblings->done.end());
    }
    ScheduleRecord record;
    // The prefix's last point is the run's own choice: sleepers wake by its step from there.
    const std::size_t first = item.prefix.empty() ? 0 : item.prefix.size() - 1;
    if (limits_.reduce) {
      auto steering = std::make_shared<Steering>(asleep, first, totals_);
      record.past_list = [steering](const ChoicePoint& p, const ScheduleRecord& r) { return steering->Choose(p, r); };
    }
    const bool failed = run_(item.prefix, record);
    record.past_list = nullptr;
    ++totals_.schedules;
    ++totals_.per_bound[static_cast<std::size_t>(cost)];
    totals_.points_seen += record.points.size();
    totals_.most_points = std::max<std::uint64_t>(totals_.most_points, record.points.size());
    if (failed) {
      ++totals_.failures;
      on_failure_(record, cost);
    }
    if (!item.prefix.empty() && item.prefix.size() <= record.points.size()) {
      const ChoicePoint& own = record.points[item.prefix.size() - 1];
      if (item.siblings) item.siblings->done.push_back(SleeperOf(own));
      WakeBy(asleep, own);
    }
    Queue(record, item.prefix.size(), cost, std::move(asleep));
  }

  // Queues, for every point of `record` from `from` on, each other choice within the bound whose
  // thread is awake, fewest preemptions in the first queue; stops at a point where the run took
  // a sleeping thread (what lies beyond was explored on another path).
  void Queue(const ScheduleRecord& record, std::size_t from, int cost, std::vector<Sleeper> asleep) {
    std::vector<std::vector<std::pair<int, Pending>>> found;  // by point, in the order to explore
    for (std::size_t i = from; i < record.points.size(); ++i) {
      const ChoicePoint& p = record.points[i];
      const bool sleeper = limits_.reduce && Asleep(asleep, ThreadAt(p, p.chosen));
      auto siblings = std::make_shared<Siblings>();
      if (limits_.reduce && !sleeper) siblings->done.push_back(SleeperOf(p));
      auto& here = found.emplace_back();
      for (int j = 0; j < p.options; ++j) {
        if (j == p.chosen) continue;
        const int c = cost + (p.Preempts(j) ? 1 : 0);
        if (c > limits_.bound) continue;
        if (limits_.reduce && Asleep(asleep, ThreadAt(p, j))) {
          ++totals_.asleep;
          continue;
        }
        Pending next;
        next.prefix.reserve(i + 1);
        for (std::size_t k = 0; k < i; ++k) next.prefix.push_back(record.points[k].chosen);
        next.prefix.push_back(j);
        if (limits_.reduce) {
          next.asleep = asleep;
          next.siblings = siblings;
        }
        here.emplace_back(c, std::move(next));
      }
      if (sleeper) {
        ++totals_.cut;
        break;
      }
      if (limits_.reduce) WakeBy(asleep, p);
    }
    // The work queues are stacks: push the last point's last alternative first, so that the
    // first point's first alternative runs next and siblings run in increasing index.
    for (auto point = found.rbegin(); point != found.rend(); ++point)
      for (auto alt = point->rbegin(); alt != point->rend(); ++alt)
        work_[static_cast<std::size_t>(alt->first)].push_back(std::move(alt->second));
  }

  const ScheduleRunner& run_;
  const SearchLimits& limits_;
  const FailureSink& on_failure_;
  std::vector<std::vector<Pending>> work_;  // by preemptions
  SearchTotals totals_;
};

}  // namespace

bool StepsConflict(const std::vector<std::uint64_t>& a, bool a_all, const std::vector<std::uint64_t>& b, bool b_all) {
  if (a_all || b_all) return true;
  for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end();) {
    if (*i == *j) return true;
    if (*i < *j)
      ++i;
    else
      ++j;
  }
  return false;
}

SearchTotals SearchSchedules(const ScheduleRunner& run, const SearchLimits& limits, const FailureSink& on_failure) {
  return Search(run, limits, on_failure).Go();
}

}  // namespace sim
