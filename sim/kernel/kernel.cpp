#include "sim/kernel/kernel.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/kernel/fiber.h"

// The simulated thread running now, for a debugger (`print devsim_running_thread`): with fibers
// every simulated thread shares one host thread.
extern "C" {
const char* volatile devsim_running_thread = "host";
}

namespace sim {

namespace {
Kernel* g_current_kernel = nullptr;
// Room for the deepest program stack; pages are committed only when touched.
constexpr std::size_t kFiberStackBytes = 1 << 20;
}

KernelMechanism DefaultMechanism() {
  static const KernelMechanism chosen = [] {
    const char* env = std::getenv("DEVSIM_KERNEL");
    if (env != nullptr && std::strcmp(env, "threads") == 0) return KernelMechanism::kHostThreads;
    return KernelMechanism::kFibers;
  }();
  return chosen;
}

Kernel& CurrentKernel() { return *g_current_kernel; }
void SetCurrentKernel(Kernel* k) { g_current_kernel = k; }

enum class ThreadState { kRunnable, kBlocked, kFinished };

// Signalled once its thread has finished; what WaitForSingleObject on a thread handle waits for.
class Kernel::ThreadSignal final : public Waitable {
 public:
  explicit ThreadSignal(const Kernel::Thread* t) : thread_(t) {}
  bool IsSignaled(ThreadId) const override;
  void Acquire(ThreadId) override {}

 private:
  const Kernel::Thread* thread_;
};

struct Kernel::Thread {
  ThreadId id = 0;
  std::string name;
  bool platform = false;
  std::function<void()> body;
  ThreadState state = ThreadState::kRunnable;
  Waitable* wait_on = nullptr;
  Micros deadline = kNever;
  std::string detail;
  std::uint64_t block_seq = 0;
  WaitOutcome outcome = WaitOutcome::kSignaled;
  int priority = 0;
  std::unique_ptr<ThreadSignal> signal;
  std::unique_ptr<Fiber> fiber;  // fibers: the thread's context and stack
};

bool Kernel::ThreadSignal::IsSignaled(ThreadId) const {
  return thread_->state == ThreadState::kFinished;
}

namespace {
thread_local Kernel::Thread* tls_self = nullptr;
}

Kernel::Kernel(SchedulerConfig config) : config_(config), rng_(config.seed) {
#if defined(__SANITIZE_THREAD__)
  // The kernel lock is taken by one fiber and released by the next one after a switch, and
  // ThreadSanitizer sees each fiber as a thread of its own: it would report every hand-over as an
  // unlock by the wrong thread. Under it, simulated threads stay host threads; the schedule is the
  // same whichever carries them.
  config_.mechanism = KernelMechanism::kHostThreads;
#endif
  if (config_.pct) {
    for (int i = 0; i + 1 < config_.pct_depth; ++i)
      pct_change_points_.push_back(rng_.Below(std::max<std::uint64_t>(1, config_.pct_steps)));
  }
}

// Host threads stay parked on this kernel's condition variable for the life of the host process,
// so a kernel with host threads is never torn down while a run's threads exist. Fibers are only
// memory.
Kernel::~Kernel() = default;

Kernel::Thread* Kernel::Self() { return tls_self; }

ThreadId Kernel::Spawn(std::string name, std::function<void()> body, bool platform) {
  std::unique_lock lk(mu_);
  auto t = std::make_unique<Thread>();
  t->id = static_cast<ThreadId>(threads_.size());
  t->name = std::move(name);
  t->platform = platform;
  t->body = std::move(body);
  t->signal = std::make_unique<ThreadSignal>(t.get());
  // PCT: distinct random priorities above the range used by change points.
  t->priority = 1000 + static_cast<int>(rng_.Below(1000000));
  Thread* raw = t.get();
  threads_.push_back(std::move(t));
  if (config_.mechanism == KernelMechanism::kFibers) {
    raw->fiber = std::make_unique<Fiber>([this, raw] { FiberMain(raw); }, kFiberStackBytes);
  } else {
    std::thread([this, raw] { ThreadMain(raw); }).detach();
  }
  return raw->id;
}

void Kernel::ThreadMain(Thread* t) {
  tls_self = t;
  pthread_setname_np(pthread_self(), t->name.substr(0, 15).c_str());
  {
    std::unique_lock lk(mu_);
    ParkUntilTurn(lk, t);
  }
  t->body();
  std::unique_lock lk(mu_);
  Finish(lk, t);
}

// A fiber is entered with the kernel lock held by whoever switched to it.
void Kernel::FiberMain(Thread* t) {
  {
    std::unique_lock lk(mu_, std::adopt_lock);
  }
  t->body();
  std::unique_lock lk(mu_);
  Finish(lk, t);
}

void Kernel::Finish(std::unique_lock<std::mutex>& lk, Thread* t) {
  t->state = ThreadState::kFinished;
  t->body = nullptr;
  Reschedule(lk, t, true);
  ParkForever(lk);
}

void Kernel::ParkUntilTurn(std::unique_lock<std::mutex>& lk, Thread* t) {
  cv_.wait(lk, [&] { return current_ == t->id && end_.kind == EndKind::kNone; });
}

// With host threads the caller stays parked until the process exits; with fibers the host
// thread inside Run takes over and the caller's context is never resumed. The lock stays held
// either way (a fiber leaves it to the host context, which releases it).
void Kernel::ParkForever(std::unique_lock<std::mutex>& lk) {
  if (config_.mechanism == KernelMechanism::kHostThreads) {
    cv_.wait(lk, [] { return false; });
  } else {
    Thread* self = Self();
    if (self == nullptr) {
      std::fprintf(stderr, "devsim: a platform call from outside the simulation\n");
      std::abort();
    }
    lk.release();
    tls_self = nullptr;
    ShowRunning(nullptr);
    Fiber::Switch(*self->fiber, *host_fiber_);
  }
  std::abort();
}

void Kernel::ShowRunning(const Thread* t) {
  devsim_running_thread = t == nullptr ? "host" : t->name.c_str();
  if (config_.mechanism == KernelMechanism::kFibers && config_.name_host_thread)
    pthread_setname_np(pthread_self(), t == nullptr ? "devsim" : t->name.substr(0, 15).c_str());
}

RunEnd Kernel::Run(ThreadId first) {
  std::unique_lock lk(mu_);
  started_ = true;
  wall_origin_ = std::chrono::steady_clock::now();
  current_ = first;
  slice_start_ = now_;
  if (config_.mechanism == KernelMechanism::kFibers) {
    host_fiber_ = std::make_unique<Fiber>();
    Thread* t = threads_.at(first).get();
    tls_self = t;
    ShowRunning(t);
    // Comes back here, with the lock held, once a simulated thread has ended the run.
    Fiber::Switch(*host_fiber_, *t->fiber);
    return end_;
  }
  cv_.notify_all();
  cv_.wait(lk, [&] { return end_.kind != EndKind::kNone; });
  return end_;
}

bool Kernel::Ended() const {
  std::lock_guard lk(mu_);
  return end_.kind != EndKind::kNone;
}

void Kernel::SwitchPoint(Micros cost) {
  std::unique_lock lk(mu_);
  Thread* self = Self();
  if (end_.kind != EndKind::kNone || self == nullptr) ParkForever(lk);
  now_ += cost;
  ++steps_;
  if (now_ > config_.time_limit) {
    now_ = config_.time_limit;
    EndLocked(EndKind::kTimeLimit, "the virtual time limit was reached");
    ParkForever(lk);
  }
  if (config_.pct &&
      std::find(pct_change_points_.begin(), pct_change_points_.end(), steps_) !=
          pct_change_points_.end()) {
    self->priority = --pct_next_low_;
  }
  Reschedule(lk, self, false);
}

void Kernel::Yield(ThreadId preferred) {
  std::unique_lock lk(mu_);
  Thread* self = Self();
  if (end_.kind != EndKind::kNone) ParkForever(lk);
  if (config_.seed != 0 || config_.pct || preferred < 0 ||
      preferred >= static_cast<ThreadId>(threads_.size()) ||
      threads_[preferred]->state != ThreadState::kRunnable || preferred == self->id) {
    Reschedule(lk, self, false);
    return;
  }
  ++switches_;
  slice_start_ = now_;
  HandOver(lk, self, preferred);
}

WaitOutcome Kernel::Wait(Waitable* what, Micros timeout, std::string detail) {
  std::unique_lock lk(mu_);
  Thread* self = Self();
  if (end_.kind != EndKind::kNone) ParkForever(lk);
  if (what != nullptr && what->IsSignaled(self->id)) {
    what->Acquire(self->id);
    Reschedule(lk, self, false);
    return WaitOutcome::kSignaled;
  }
  if (timeout == 0) return WaitOutcome::kTimedOut;
  self->state = ThreadState::kBlocked;
  self->wait_on = what;
  self->deadline = timeout == kNever ? kNever : now_ + timeout;
  self->detail = std::move(detail);
  self->block_seq = ++blocks_;
  Reschedule(lk, self, true);
  return self->outcome;
}

std::uint64_t Kernel::At(Micros at, std::string what, std::function<void()> action) {
  std::lock_guard lk(mu_);
  const std::uint64_t id = next_timer_id_++;
  timers_.emplace(std::make_pair(at, id), Timer{at, id, std::move(what), std::move(action)});
  return id;
}

void Kernel::Cancel(std::uint64_t id) {
  std::lock_guard lk(mu_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.id == id) {
      timers_.erase(it);
      return;
    }
  }
}

void Kernel::End(EndKind kind, std::string reason) {
  std::unique_lock lk(mu_);
  EndLocked(kind, std::move(reason));
  ParkForever(lk);
}

void Kernel::EndFromHost(EndKind kind, std::string reason) {
  std::lock_guard lk(mu_);
  EndLocked(kind, std::move(reason));
}

void Kernel::EndLocked(EndKind kind, std::string reason) {
  if (end_.kind != EndKind::kNone) return;
  end_ = RunEnd{kind, std::move(reason), now_};
  cv_.notify_all();
  wall_cv_.notify_all();
}

void Kernel::Post(std::function<void()> action) {
  std::lock_guard lk(mu_);
  posted_.push_back(std::move(action));
  wall_cv_.notify_all();
}

void Kernel::SetQuiescenceJudge(std::function<std::optional<RunEnd>()> judge) {
  std::lock_guard lk(mu_);
  judge_ = std::move(judge);
}

void Kernel::Reschedule(std::unique_lock<std::mutex>& lk, Thread* self, bool blocking) {
  for (;;) {
    if (end_.kind != EndKind::kNone) ParkForever(lk);
    RunPosted(lk);
    FireDueEvents(lk);
    if (end_.kind != EndKind::kNone) continue;
    RefreshBlocked();
    const ThreadId next = Choose(self, blocking);
    if (next < 0) {
      AdvanceClock(lk);
      continue;
    }
    if (next == self->id) return;
    HandOver(lk, self, next);
    return;
  }
}

bool Kernel::RefreshBlocked() {
  std::vector<Thread*>& blocked = scratch_;  // kept between switch points: no allocation
  blocked.clear();
  for (auto& t : threads_)
    if (t->state == ThreadState::kBlocked) blocked.push_back(t.get());
  std::sort(blocked.begin(), blocked.end(),
            [](const Thread* a, const Thread* b) { return a->block_seq < b->block_seq; });
  bool any = false;
  for (Thread* t : blocked) {
    if (t->wait_on != nullptr && t->wait_on->IsSignaled(t->id)) {
      t->wait_on->Acquire(t->id);
      t->outcome = WaitOutcome::kSignaled;
    } else if (t->deadline <= now_) {
      t->outcome = WaitOutcome::kTimedOut;
    } else {
      continue;
    }
    t->state = ThreadState::kRunnable;
    t->wait_on = nullptr;
    t->deadline = kNever;
    any = true;
  }
  return any;
}

ThreadId Kernel::Choose(Thread* self, bool blocking) {
  std::vector<Thread*>& runnable = scratch_;  // kept between switch points: no allocation
  runnable.clear();
  for (auto& t : threads_)
    if (t->state == ThreadState::kRunnable) runnable.push_back(t.get());
  if (runnable.empty()) return -1;
  const bool self_can_go_on = !blocking && self->state == ThreadState::kRunnable;
  const bool in_slice = now_ - slice_start_ < config_.quantum;
  ThreadId pick = -1;
  if (config_.pct) {
    auto best = std::max_element(runnable.begin(), runnable.end(), [](auto* a, auto* b) {
      return a->priority < b->priority;
    });
    pick = (*best)->id;
  } else if (config_.seed == 0) {
    if (self_can_go_on && in_slice) return self->id;
    // Round robin: the first runnable thread after the current one, by id.
    pick = runnable.front()->id;
    for (Thread* t : runnable) {
      if (t->id > self->id) {
        pick = t->id;
        break;
      }
    }
  } else {
    if (self_can_go_on && in_slice && !rng_.OneIn(config_.preempt_one_in)) return self->id;
    pick = runnable[rng_.Below(runnable.size())]->id;
  }
  if (pick != self->id) {
    ++switches_;
    slice_start_ = now_;
  } else if (!in_slice) {
    slice_start_ = now_;
  }
  return pick;
}

bool Kernel::AdvanceClock(std::unique_lock<std::mutex>& lk) {
  Micros next = kNever;
  for (auto& t : threads_)
    if (t->state == ThreadState::kBlocked) next = std::min(next, t->deadline);
  if (!timers_.empty()) next = std::min(next, timers_.begin()->first.first);
  if (next == kNever && posted_.empty()) {
    std::optional<RunEnd> verdict = judge_ ? judge_() : std::nullopt;
    if (verdict && verdict->kind == EndKind::kNone) {
      // Only someone outside the simulation (a person at the terminal) can go on from here.
      wall_cv_.wait(lk, [&] { return !posted_.empty() || end_.kind != EndKind::kNone; });
      // The person took wall time to act: virtual time follows it, so that what comes next is
      // paced from the moment of the answer rather than racing to catch up.
      now_ = std::max(now_, WallElapsed());
      return true;
    }
    if (verdict) {
      EndLocked(verdict->kind, verdict->reason);
      return false;
    }
    std::string waits;
    for (const auto& line : DescribeWaits()) waits += "\n  " + line;
    EndLocked(EndKind::kStuck,
              "every thread waits with no deadline and no device event is due:" + waits);
    return false;
  }
  if (next > config_.time_limit) {
    now_ = config_.time_limit;
    EndLocked(EndKind::kTimeLimit, "the virtual time limit was reached");
    return false;
  }
  if (config_.real_clock) {
    const auto wall_deadline = wall_origin_ + std::chrono::microseconds(next);
    const bool woken = wall_cv_.wait_until(lk, wall_deadline, [&] {
      return !posted_.empty() || end_.kind != EndKind::kNone;
    });
    if (woken) {
      now_ = std::clamp<Micros>(WallElapsed(), now_, next);
      return true;
    }
  }
  now_ = std::max(now_, next);
  return true;
}

void Kernel::FireDueEvents(std::unique_lock<std::mutex>& lk) {
  while (!timers_.empty() && timers_.begin()->first.first <= now_ &&
         end_.kind == EndKind::kNone) {
    Timer timer = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    lk.unlock();
    timer.action();
    lk.lock();
  }
}

void Kernel::RunPosted(std::unique_lock<std::mutex>& lk) {
  while (!posted_.empty() && end_.kind == EndKind::kNone) {
    auto actions = std::move(posted_);
    posted_.clear();
    lk.unlock();
    for (auto& action : actions) action();
    lk.lock();
  }
}

void Kernel::HandOver(std::unique_lock<std::mutex>& lk, Thread* self, ThreadId next) {
  current_ = next;
  if (config_.mechanism == KernelMechanism::kHostThreads) {
    cv_.notify_all();
    if (self->state == ThreadState::kFinished) ParkForever(lk);
    ParkUntilTurn(lk, self);
    return;
  }
  // The lock passes with the jump: the next thread resumes inside its own HandOver (or starts
  // in FiberMain) holding it, and this one holds it again when it is resumed.
  Thread* to = threads_[next].get();
  tls_self = to;
  ShowRunning(to);
  Fiber::Switch(*self->fiber, *to->fiber);
  tls_self = self;
}

std::optional<Kernel::TimedWait> Kernel::EarliestTimedWait(ThreadId except) const {
  std::lock_guard lk(mu_);
  std::optional<TimedWait> best;
  for (const auto& t : threads_) {
    if (t->platform || t->id == except || t->state != ThreadState::kBlocked) continue;
    if (t->wait_on == nullptr || t->deadline == kNever) continue;
    if (!best || t->deadline < best->deadline) best = TimedWait{t->name, t->deadline};
  }
  return best;
}

Micros Kernel::PacedNow() const {
  std::lock_guard lk(mu_);
  if (!config_.real_clock || !started_) return now_;
  return std::max<Micros>(now_, WallElapsed());
}

Micros Kernel::WallElapsed() const {
  return static_cast<Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - wall_origin_)
                                 .count());
}

const std::string& Kernel::ThreadName(ThreadId id) const {
  static const std::string kHost = "host";
  if (id < 0 || id >= static_cast<ThreadId>(threads_.size())) return kHost;
  return threads_[id]->name;
}

bool Kernel::IsPlatformThread(ThreadId id) const {
  return id >= 0 && id < static_cast<ThreadId>(threads_.size()) && threads_[id]->platform;
}

bool Kernel::IsFinished(ThreadId id) const {
  return id >= 0 && id < static_cast<ThreadId>(threads_.size()) &&
         threads_[id]->state == ThreadState::kFinished;
}

Waitable* Kernel::ThreadWaitable(ThreadId id) { return threads_.at(id)->signal.get(); }

std::vector<std::string> Kernel::DescribeWaits() const {
  std::vector<std::string> lines;
  lines.reserve(threads_.size());
  for (const auto& t : threads_) {
    if (t->state == ThreadState::kFinished) continue;
    std::string line = t->name + ": ";
    if (t->state == ThreadState::kRunnable) {
      line += "runnable";
    } else {
      line += t->detail.empty() ? std::string_view("waits") : std::string_view(t->detail);
      if (t->deadline == kNever)
        line += ", no deadline";
      else
        line += ", until " + std::to_string(t->deadline / kMicrosPerMs) + " ms";
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace sim
