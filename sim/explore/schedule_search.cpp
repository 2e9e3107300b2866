#include "sim/explore/schedule_search.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <unordered_set>

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
  // With shards: the length of the prefix of the dealt schedule this one descends from, or
  // `kOutside` when it descends from none this shard was dealt (a race this shard saw queued it).
  std::size_t part = 0;
};
constexpr std::size_t kOutside = static_cast<std::size_t>(-1);

// With shards, the search is dealt out once this many schedules a shard are queued, or when it
// reaches its last bound.
constexpr std::size_t kPartsPerShard = 32;

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

// The alternatives at each point of a run whose order against the run's own may matter, found
// as dynamic partial-order reduction finds them (Flanagan and Godefroid). Two steps race when they
// conflict and no chain of conflicting steps and of steps of one thread orders them (vector
// clocks over the run; a step belongs to its chosen thread and to every thread that ran in it
// without a choice between). For a race of the step at point i with a later step that thread q
// ran in, q is needed at i when it could run there; when it could not, every alternative at i is
// (reaching q first takes other threads' steps first). Also needed: a thread that ran in the
// step of the point where it could have been chosen (its part and the chosen thread's are not
// told apart), one that does not run again before the run's end, and every alternative at a
// point that orders timers and outside events. Races whose later step lies before `first` were
// seen by the run that made the prefix; the rest are judged over the whole run.
class Races {
 public:
  Races(const ScheduleRecord& r, std::size_t first) : r_(r), needed_(r.points.size()), ran_(r.points.size()) {
    const std::size_t end = r.points.size();
    for (std::size_t k = 0; k < end; ++k) {
      const ChoicePoint& p = r.points[k];
      needed_[k].assign(static_cast<std::size_t>(p.options), p.kind != ChoiceKind::kThread);
      ran_[k].push_back(Dense(ThreadAt(p, p.chosen)));
      for (ThreadId t : p.also_ran) ran_[k].push_back(Dense(t));
      for (ThreadId t : p.threads) Dense(t);
    }
    Clocks(first, end);
    // Threads that run in the step of a point where they were an option, or never again.
    std::vector<bool> seen(ids_.size(), false);
    for (std::size_t i = end; i-- > 0;) {
      const ChoicePoint& p = r.points[i];
      for (int j = 0; j < p.options; ++j) {
        const int t = Dense(p.threads[static_cast<std::size_t>(j)]);
        if (j != p.chosen && (!seen[static_cast<std::size_t>(t)] || Ran(i, t))) Need(i, j);
      }
      for (int t : ran_[i]) seen[static_cast<std::size_t>(t)] = true;
    }
  }

  bool Needed(std::size_t point, int j) const {
    return point < needed_.size() && needed_[point][static_cast<std::size_t>(j)];
  }

 private:
  int Dense(ThreadId t) {
    auto at = std::find(ids_.begin(), ids_.end(), t);
    if (at == ids_.end()) at = ids_.insert(ids_.end(), t);
    return static_cast<int>(at - ids_.begin());
  }
  bool Ran(std::size_t step, int t) const {
    return std::find(ran_[step].begin(), ran_[step].end(), t) != ran_[step].end();
  }
  bool Conflict(std::size_t a, std::size_t b) const {
    const ChoicePoint& x = r_.points[a];
    const ChoicePoint& y = r_.points[b];
    return StepsConflict(x.touched, x.touches_all, y.touched, y.touches_all);
  }
  void Need(std::size_t i, int j) { needed_[i][static_cast<std::size_t>(j)] = true; }

  // Vector clocks of the steps, marking each race whose later step is from `first` on.
  void Clocks(std::size_t first, std::size_t end) {
    const std::size_t n = ids_.size();
    std::vector<std::vector<std::uint32_t>> clock(end);
    std::vector<std::vector<std::uint32_t>> of_thread(n, std::vector<std::uint32_t>(n, 0));
    std::vector<std::uint32_t> c(n);
    for (std::size_t k = 0; k < end; ++k) {
      std::fill(c.begin(), c.end(), 0);
      for (int t : ran_[k]) Join(c, of_thread[static_cast<std::size_t>(t)]);
      for (std::size_t i = k; i-- > 0;) {
        const auto t = static_cast<std::size_t>(ran_[i].front());
        if (clock[i][t] <= c[t] || !Conflict(i, k)) continue;  // ordered already, or commutes
        if (k >= first)
          for (int q : ran_[k])
            if (!Ran(i, q)) Mark(i, ids_[static_cast<std::size_t>(q)]);
        Join(c, clock[i]);
      }
      for (int t : ran_[k]) c[static_cast<std::size_t>(t)] = static_cast<std::uint32_t>(k + 1);
      clock[k] = c;
      for (int t : ran_[k]) of_thread[static_cast<std::size_t>(t)] = c;
    }
  }
  static void Join(std::vector<std::uint32_t>& into, const std::vector<std::uint32_t>& from) {
    for (std::size_t x = 0; x < into.size(); ++x) into[x] = std::max(into[x], from[x]);
  }
  void Mark(std::size_t i, ThreadId q) {
    const ChoicePoint& p = r_.points[i];
    const auto at = std::find(p.threads.begin(), p.threads.end(), q);
    if (at != p.threads.end())
      Need(i, static_cast<int>(at - p.threads.begin()));
    else
      std::fill(needed_[i].begin(), needed_[i].end(), true);
  }

  const ScheduleRecord& r_;
  std::vector<std::vector<bool>> needed_;
  std::vector<std::vector<int>> ran_;  // dense indices of the threads that ran in each step
  std::vector<ThreadId> ids_;          // thread by dense index
};

// A key for a schedule's list of choices, to queue each one once.
std::uint64_t PrefixKey(const std::vector<int>& prefix) {
  std::uint64_t h = 14695981039346656037ull;
  for (int c : prefix) {
    h ^= static_cast<std::uint64_t>(c) + 0x9e3779b97f4a7c15ull;
    h *= 1099511628211ull;
  }
  return h ^ prefix.size();
}

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
        if (!dealt_ && totals_.schedules > 0 &&
            (k == limits_.bound || Queued() >= kPartsPerShard * limits_.shard_count))
          Deal(k);
        if (work_[k].empty()) break;
        Pending next = std::move(work_[k].back());
        work_[k].pop_back();
        RunOne(next, k);
      }
    }
    if (!dealt_ && limits_.shard_count > 1) {
      totals_.shared = totals_.schedules;
      ForgetShared();
    }
    totals_.exhausted = totals_.stop_reason.empty();
    if (totals_.exhausted)
      for (std::size_t k = 0; k + 1 < work_.size(); ++k) totals_.left_below += work_[k].size();
    totals_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return totals_;
  }

 private:
  std::size_t Queued() const {
    std::size_t n = 0;
    for (const auto& w : work_) n += w.size();
    return n;
  }

  // Deals the queued schedules out to the shards, in the order the search would run them
  // (fewest preemptions first, the top of each stack first), round robin, and keeps this
  // shard's. Those of other shards stay marked as queued: a race seen later does not queue them
  // again. What every shard ran until now is shard 1's.
  void Deal(int bound) {
    dealt_ = true;
    if (limits_.shard_count <= 1) return;
    for (std::size_t k = static_cast<std::size_t>(bound); k < work_.size(); ++k) {
      std::vector<Pending> kept;
      for (auto item = work_[k].rbegin(); item != work_[k].rend(); ++item)
        if (totals_.parts++ % limits_.shard_count == limits_.shard_index - 1) {
          item->part = item->prefix.size();
          kept.push_back(std::move(*item));
        }
      std::reverse(kept.begin(), kept.end());
      totals_.parts_run += kept.size();
      work_[k] = std::move(kept);
    }
    totals_.shared = totals_.schedules;
    ForgetShared();
  }

  // Shards but the first keep nothing of the schedules every shard ran before the deal but their
  // number (`shared`) and how the search stands.
  void ForgetShared() {
    if (limits_.shard_index == 1) return;
    SearchTotals kept;
    kept.per_bound.assign(totals_.per_bound.size(), 0);
    kept.most_points = totals_.most_points;
    kept.bound_reached = totals_.bound_reached;
    kept.stop_reason = totals_.stop_reason;
    kept.parts = totals_.parts;
    kept.parts_run = totals_.parts_run;
    kept.shared = totals_.shared;
    totals_ = std::move(kept);
  }

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
    if (item.part == kOutside) ++totals_.outside;
    ++totals_.schedules;
    ++totals_.per_bound[static_cast<std::size_t>(cost)];
    totals_.points_seen += record.points.size();
    totals_.most_points = std::max<std::uint64_t>(totals_.most_points, record.points.size());
    if (failed) {
      if (totals_.failures++ == 0) {
        totals_.first_failure = totals_.schedules;
        totals_.first_failure_bound = cost;
      }
      if (dealt_ || limits_.shard_index == 1) on_failure_(record, cost);
    }
    if (!item.prefix.empty() && item.prefix.size() <= record.points.size()) {
      const ChoicePoint& own = record.points[item.prefix.size() - 1];
      if (item.siblings) item.siblings->done.push_back(SleeperOf(own));
      WakeBy(asleep, own);
    }
    std::unique_ptr<Races> races;
    if (limits_.reduce) {
      const std::size_t own = item.prefix.empty() ? 0 : item.prefix.size() - 1;
      races = std::make_unique<Races>(record, own);
      QueueLateRaces(record, *races, own, item.part);
    }
    Queue(record, item.prefix.size(), cost, std::move(asleep), races.get(), item.part);
  }

  // Races this run shows at points of its prefix, whose alternatives the run that made the
  // prefix did not see a reason to queue: queued now, with no thread asleep. One that leaves the
  // run before the start of its part (`part`) lies outside it.
  void QueueLateRaces(const ScheduleRecord& record, const Races& races, std::size_t own, std::size_t part) {
    int cost = 0;
    std::vector<int> prefix;
    for (std::size_t i = 0; i <= own && i < record.points.size(); ++i) {
      const ChoicePoint& p = record.points[i];
      for (int j = 0; j < p.options; ++j) {
        if (j == p.chosen || !races.Needed(i, j)) continue;
        const int c = cost + (p.Preempts(j) ? 1 : 0);
        if (c > limits_.bound) continue;
        prefix.push_back(j);
        if (queued_.insert(PrefixKey(prefix)).second) {
          ++totals_.late;
          const bool inside = part != kOutside && prefix.size() > part;
          work_[static_cast<std::size_t>(c)].push_back({prefix, {}, nullptr, inside ? part : kOutside});
        }
        prefix.pop_back();
      }
      prefix.push_back(p.chosen);
      cost += p.Preempts(p.chosen) ? 1 : 0;
    }
  }

  // Queues, for every point of `record` from `from` on, each other choice within the bound whose
  // thread is awake, fewest preemptions in the first queue; stops at a point where the run took
  // a sleeping thread (what lies beyond was explored on another path). They lie in the run's own
  // part (`part`).
  void Queue(const ScheduleRecord& record, std::size_t from, int cost, std::vector<Sleeper> asleep, const Races* races,
             std::size_t part) {
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
        if (races != nullptr && !races->Needed(i, j)) {
          ++totals_.no_race;
          continue;
        }
        Pending next;
        next.prefix.reserve(i + 1);
        for (std::size_t k = 0; k < i; ++k) next.prefix.push_back(record.points[k].chosen);
        next.prefix.push_back(j);
        if (races != nullptr && !queued_.insert(PrefixKey(next.prefix)).second) continue;
        next.part = part;
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
  std::vector<std::vector<Pending>> work_;    // by preemptions
  std::unordered_set<std::uint64_t> queued_;  // keys of the lists queued, with the reduction
  bool dealt_ = false;                        // the queued schedules were dealt to the shards
  SearchTotals totals_;
};

}  // namespace

SearchTotals SearchSchedules(const ScheduleRunner& run, const SearchLimits& limits, const FailureSink& on_failure) {
  return Search(run, limits, on_failure).Go();
}

}  // namespace sim
