#include "sim/kernel/kernel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {}

KernelMechanism DefaultMechanism() {
  static const KernelMechanism chosen = [] {
    const char* env = std::getenv("DEVSIM_KERNEL");
    if (env != nullptr && std::strcmp(env, "threads") == 0) return KernelMechanism::kHostThreads;
    return KernelMechanism::kFibers;
  }();
  return chosen;
}

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
  ProcessId home = kHandsetProcess;     // ends with this process
  ProcessId process = kHandsetProcess;  // runs code of this process now
  std::function<void()> body;
  ThreadState state = ThreadState::kRunnable;
  Waitable* wait_on = nullptr;
  Micros deadline = kNever;
  std::string detail;
  std::uint64_t block_seq = 0;
  WaitOutcome outcome = WaitOutcome::kSignaled;
  std::unique_ptr<ThreadSignal> signal;
  std::vector<std::uint64_t> call_keys;  // footprints: what the calls under way touch, innermost last
};

bool Kernel::ThreadSignal::IsSignaled(ThreadId) const { return thread_->state == ThreadState::kFinished; }

namespace {

// The policy a configuration asks for. PCT draws its change points here, before any other draw.
std::unique_ptr<SchedulePolicy> PolicyFor(const SchedulerConfig& config, Rng& rng) {
  if (config.pct) return MakePctPolicy(rng, config.pct_depth, config.pct_steps);
  if (!config.schedule.empty() || config.record)
    return MakeListedPolicy(ParseScheduleText(config.schedule).value_or(std::vector<int>{}), config.record);
  if (config.seed == 0) return MakeFixedOrderPolicy();
  return MakeUniformPolicy(rng, config.preempt_one_in);
}

KernelMechanism MechanismFor(const SchedulerConfig& config) {
#if defined(__SANITIZE_THREAD__)
  // The kernel lock is taken by one fiber and released by the next one after a switch, and
  // ThreadSanitizer sees each fiber as a thread of its own: it would report every hand-over as an
  // unlock by the wrong thread. Under it, simulated threads stay host threads; the schedule is the
  // same whichever carries them.
  (void)config;
  return KernelMechanism::kHostThreads;
#else
  return config.mechanism;
#endif
}

}  // namespace

Kernel::Kernel(SchedulerConfig config)
    : config_(config), rng_(config.seed), policy_(PolicyFor(config_, rng_)), pacer_(config.real_clock) {
  config_.mechanism = MechanismFor(config_);
  if (config_.record) footprint_ = std::make_unique<StepFootprint>();
  carrier_ = config_.mechanism == KernelMechanism::kFibers ? MakeFiberCarrier(baton_, config_.name_host_thread)
                                                           : MakeThreadCarrier(baton_);
}

// Host threads stay parked on this kernel's condition variable for the life of the host process,
// so a kernel with host threads is never torn down while a run's threads exist. Fibers are only
// memory.
Kernel::~Kernel() = default;

Kernel::Thread* Kernel::Self() {
  const ThreadId id = Carrier::Self();
  return id == kNoThread ? nullptr : threads_[id].get();
}

ThreadId Kernel::Spawn(std::string name, std::function<void()> body, bool platform, ProcessId process) {
  std::unique_lock lk(baton_.mu);
  auto t = std::make_unique<Thread>();
  t->id = static_cast<ThreadId>(threads_.size());
  t->name = std::move(name);
  t->platform = platform;
  t->home = process;
  t->process = process;
  t->body = std::move(body);
  t->signal = std::make_unique<ThreadSignal>(t.get());
  Thread* raw = t.get();
  threads_.push_back(std::move(t));
  policy_->Created(raw->id, rng_.Below(1000000));
  TouchAll();  // a thread is created
  carrier_->Launch(raw->id, raw->name, [this, raw] {
    TouchAll();  // its first step runs code no platform call names
    raw->body();
    std::unique_lock lk(baton_.mu);
    Finish(lk, raw);
  });
  return raw->id;
}

void Kernel::Finish(std::unique_lock<std::mutex>& lk, Thread* t) {
  TouchAll();  // its waiters are released
  t->state = ThreadState::kFinished;
  t->body = nullptr;
  Reschedule(lk, t, true);
  ParkForever(lk);
}

void Kernel::ParkForever(std::unique_lock<std::mutex>& lk) {
  carrier_->ParkForever(lk);
  std::abort();  // not reached: the carrier never returns
}

RunEnd Kernel::Run(ThreadId first) {
  std::unique_lock lk(baton_.mu);
  pacer_.Start();
  baton_.holder = first;
  slice_start_ = now_;
  carrier_->Run(lk);
  if (footprint_) {
    TouchImageWrites();
    if (!config_.record->points.empty()) footprint_->CloseInto(config_.record->points.back());
    footprint_->Stop();
  }
  return end_;
}

void Kernel::SwitchPoint(Micros cost) {
  std::unique_lock lk(baton_.mu);
  Thread* self = Self();
  if (Over() || self == nullptr) ParkForever(lk);
  now_ += cost;
  ++steps_;
  if (now_ > config_.time_limit) {
    now_ = config_.time_limit;
    EndLocked(EndKind::kTimeLimit, "the virtual time limit was reached");
    ParkForever(lk);
  }
  policy_->Stepped(steps_, self->id);
  Reschedule(lk, self, false);
}

void Kernel::Yield(ThreadId preferred) {
  std::unique_lock lk(baton_.mu);
  Thread* self = Self();
  if (Over()) ParkForever(lk);
  if (!policy_->FollowsYield() || preferred < 0 || preferred >= static_cast<ThreadId>(threads_.size()) ||
      threads_[preferred]->state != ThreadState::kRunnable || preferred == self->id) {
    Reschedule(lk, self, false);
    return;
  }
  ++switches_;
  slice_start_ = now_;
  HandOver(lk, self, preferred);
}

WaitOutcome Kernel::Wait(Waitable* what, Micros timeout, std::string detail) {
  std::unique_lock lk(baton_.mu);
  Thread* self = Self();
  if (Over()) ParkForever(lk);
  if (what != nullptr && what->IsSignaled(self->id)) {
    what->Acquire(self->id);
    Reschedule(lk, self, false);
    TouchResumedCall(self);
    return WaitOutcome::kSignaled;
  }
  if (timeout == 0) return WaitOutcome::kTimedOut;
  // A deadline is counted from now: where it falls depends on every call before it.
  if (timeout != kNever) TouchAll();
  self->state = ThreadState::kBlocked;
  self->wait_on = what;
  self->deadline = timeout == kNever ? kNever : now_ + timeout;
  self->detail = std::move(detail);
  self->block_seq = ++blocks_;
  Reschedule(lk, self, true);
  TouchResumedCall(self);
  return self->outcome;
}

std::uint64_t Kernel::At(Micros at, std::string what, std::function<void()> action) {
  std::lock_guard lk(baton_.mu);
  TouchAll();  // the timer's instant is counted from now
  const std::uint64_t id = next_timer_id_++;
  timers_.emplace(std::make_pair(at, id), Timer{at, id, std::move(what), std::move(action)});
  return id;
}

void Kernel::Cancel(std::uint64_t id) {
  std::lock_guard lk(baton_.mu);
  TouchAll();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.id == id) {
      timers_.erase(it);
      return;
    }
  }
}

void Kernel::End(EndKind kind, std::string reason) {
  std::unique_lock lk(baton_.mu);
  EndLocked(kind, std::move(reason));
  ParkForever(lk);
}

void Kernel::EndLocked(EndKind kind, std::string reason) {
  if (Over()) return;
  TouchAll();  // nothing runs after this step
  end_ = RunEnd{kind, std::move(reason), now_};
  baton_.run_over = true;
  baton_.cv.notify_all();
  input_.WakeAll();
}

void Kernel::Post(std::function<void()> action) {
  std::lock_guard lk(baton_.mu);
  input_.Post(std::move(action));
}

void Kernel::SetQuiescenceJudge(std::function<std::optional<RunEnd>()> judge) {
  std::lock_guard lk(baton_.mu);
  judge_ = std::move(judge);
}

// Runs what is due, then lets the policy choose; when no thread can run, time moves on.
void Kernel::Reschedule(std::unique_lock<std::mutex>& lk, Thread* self, bool blocking) {
  for (;;) {
    if (Over()) ParkForever(lk);
    input_.RunPosted(lk, [this] { return Over(); });
    FireDueEvents(lk);
    if (Over()) continue;
    RefreshBlocked();
    const ThreadId next = Choose(self, blocking);
    if (next == kNoThread) {
      AdvanceClock(lk);
      continue;
    }
    if (next == self->id) return;
    HandOver(lk, self, next);
    return;
  }
}

// Wakes the blocked threads whose object is signalled or whose deadline has come, in the order
// in which they began to wait.
void Kernel::RefreshBlocked() {
  blocked_.clear();
  for (auto& t : threads_)
    if (t->state == ThreadState::kBlocked) blocked_.push_back(t.get());
  std::sort(blocked_.begin(), blocked_.end(),
            [](const Thread* a, const Thread* b) { return a->block_seq < b->block_seq; });
  for (Thread* t : blocked_) {
    if (t->wait_on != nullptr && t->wait_on->IsSignaled(t->id)) {
      t->wait_on->Acquire(t->id);
      t->outcome = WaitOutcome::kSignaled;
    } else if (t->deadline <= now_) {
      t->outcome = WaitOutcome::kTimedOut;
      TouchAll();  // the clock passed a deadline
    } else {
      continue;
    }
    t->state = ThreadState::kRunnable;
    t->wait_on = nullptr;
    t->deadline = kNever;
  }
}

// The thread to run next (kNoThread when none can), counting a switch and starting a new quantum.
ThreadId Kernel::Choose(Thread* self, bool blocking) {
  runnable_.clear();
  for (auto& t : threads_)
    if (t->state == ThreadState::kRunnable) runnable_.push_back(t->id);
  if (runnable_.empty()) return kNoThread;
  const ScheduleDecision d{runnable_, self->id, now_ - slice_start_ < config_.quantum};
  if (!footprint_) return Decide(d, self, blocking);
  const std::size_t points = config_.record->points.size();
  const ThreadId pick = Decide(d, self, blocking);
  CloseStep(points);
  return pick;
}

// The policy's choice at decision `d`.
ThreadId Kernel::Decide(const ScheduleDecision& d, Thread* self, bool blocking) {
  if (!blocking && self->state == ThreadState::kRunnable && policy_->StaysAtCall(d)) return self->id;
  const ThreadId pick = policy_->Pick(d);
  if (pick != self->id) {
    ++switches_;
    slice_start_ = now_;
  } else if (!d.in_slice) {
    slice_start_ = now_;
  }
  return pick;
}

// When the policy recorded a choice point since the record held `points_before`, what ran since
// the previous point is that point's step.
void Kernel::CloseStep(std::size_t points_before) {
  std::vector<ChoicePoint>& points = config_.record->points;
  if (points.size() <= points_before) return;
  TouchImageWrites();
  if (points_before == 0)
    footprint_->Discard();
  else
    footprint_->CloseInto(points[points_before - 1]);
}

void Kernel::TouchProcessMemory() {
  const ProcessId process = ProcessOf(baton_.holder);
  if (process == kHandsetProcess) return;
  footprint_->Touch(TouchKey(TouchKind::kMemory, static_cast<std::uint64_t>(process)));
  // With no watch of the variables, what the step wrote is not known: it may be any of them.
  if (!image_writes_) footprint_->Touch(VariableKey(static_cast<std::uint64_t>(process), kAnyVariable));
}

// The variables in place are those of process `image_of_`: what the step wrote of them.
void Kernel::TouchImageWrites() {
  if (!image_writes_) return;
  const auto process = static_cast<std::uint64_t>(image_of_);
  image_writes_([this, process](std::uint32_t index) { footprint_->Touch(VariableKey(process, index)); });
}

void Kernel::EnterCallFootprint(std::uint64_t key) {
  if (Thread* self = Self(); footprint_ && self != nullptr) self->call_keys.push_back(key);
}

void Kernel::LeaveCallFootprint() {
  if (Thread* self = Self(); footprint_ && self != nullptr && !self->call_keys.empty()) self->call_keys.pop_back();
}

// A thread parked inside a wait runs again: the rest of the call it waited in touches what the
// call touches. A thread of the handset goes on with device code that no call keys.
void Kernel::TouchResumedCall(const Thread* self) {
  if (!footprint_) return;
  if (self->platform || self->call_keys.empty() || self->call_keys.back() == kTouchesAll)
    footprint_->TouchAll();
  else if (self->call_keys.back() != 0)
    footprint_->Touch(self->call_keys.back());
}

// No thread can run: virtual time moves to the next deadline or device event (paced by the wall
// clock in a real-clock run), or the run ends when nothing is due.
void Kernel::AdvanceClock(std::unique_lock<std::mutex>& lk) {
  Micros next = kNever;
  for (auto& t : threads_)
    if (t->state == ThreadState::kBlocked) next = std::min(next, t->deadline);
  if (!timers_.empty()) next = std::min(next, timers_.begin()->first.first);
  if (next == kNever && !input_.Pending()) return EndQuiet(lk);
  TouchAll();  // what is due next depends on when
  if (next > config_.time_limit) {
    now_ = config_.time_limit;
    EndLocked(EndKind::kTimeLimit, "the virtual time limit was reached");
    return;
  }
  now_ = pacer_.Advance(lk, now_, next, input_, [this] { return Over(); });
}

// Every thread waits with no deadline and nothing is due: the judge says how the run ends, or
// that a person at the terminal may still act.
void Kernel::EndQuiet(std::unique_lock<std::mutex>& lk) {
  std::optional<RunEnd> verdict = judge_ ? judge_() : std::nullopt;
  if (verdict && verdict->kind == EndKind::kNone) {
    input_.Await(lk, [this] { return Over(); });
    // The person took wall time to act: virtual time follows it, so that what comes next is
    // paced from the moment of the answer rather than racing to catch up.
    now_ = std::max(now_, pacer_.Elapsed());
    return;
  }
  if (verdict) {
    EndLocked(verdict->kind, verdict->reason);
    return;
  }
  std::string waits;
  for (const auto& line : DescribeWaits()) waits += "\n  " + line;
  EndLocked(EndKind::kStuck, "every thread waits with no deadline and no device event is due:" + waits);
}

void Kernel::FireDueEvents(std::unique_lock<std::mutex>& lk) {
  while (!timers_.empty() && timers_.begin()->first.first <= now_ && !Over()) {
    const auto first = NextDueEvent();
    Timer timer = std::move(first->second);
    timers_.erase(first);
    TouchAll();  // a timer or outside event fires inside the step
    lk.unlock();
    timer.action();
    lk.lock();
  }
}

// The due timer to fire next: the first scheduled, unless others are due at the same instant and
// the policy chooses among them.
Kernel::Timers::iterator Kernel::NextDueEvent() {
  const auto first = timers_.begin();
  auto end = std::next(first);
  if (end == timers_.end() || end->first.first != first->first.first) return first;
  int options = 1;
  while (end != timers_.end() && end->first.first == first->first.first) ++end, ++options;
  const std::size_t points = footprint_ ? config_.record->points.size() : 0;
  const int pick = std::clamp(policy_->PickEvent(options), 0, options - 1);
  if (footprint_) CloseStep(points);
  return std::next(first, pick);
}

void Kernel::HandOver(std::unique_lock<std::mutex>& lk, Thread* self, ThreadId next) {
  PutImageInPlace(threads_[next]->process);
  if (footprint_) footprint_->Ran(next);
  baton_.holder = next;
  carrier_->HandOver(lk, self->id, next, self->state == ThreadState::kFinished);
}

// A thread of the handset touches no program variable, so only a program process needs its own.
void Kernel::PutImageInPlace(ProcessId process) {
  if (process == kHandsetProcess || process == image_of_) return;
  if (footprint_) TouchImageWrites();  // what the step wrote before the other process's turn
  if (swap_image_) swap_image_(image_of_, process);
  image_of_ = process;
}

void Kernel::SetImageSwitch(std::function<void(ProcessId, ProcessId)> swap) {
  std::lock_guard lk(baton_.mu);
  swap_image_ = std::move(swap);
}

void Kernel::SetImageWrites(ImageWrites report) {
  std::lock_guard lk(baton_.mu);
  image_writes_ = std::move(report);
}

ProcessId Kernel::EnterProcess(ProcessId process) {
  std::lock_guard lk(baton_.mu);
  Thread* self = Self();
  if (self == nullptr) return kHandsetProcess;
  const ProcessId before = self->process;
  self->process = process;
  PutImageInPlace(process);
  if (footprint_ && process != kHandsetProcess) TouchProcessMemory();
  return before;
}

ProcessId Kernel::ProcessOf(ThreadId id) const {
  return id >= 0 && id < static_cast<ThreadId>(threads_.size()) ? threads_[id]->process : kHandsetProcess;
}

ProcessId Kernel::HomeOf(ThreadId id) const {
  return id >= 0 && id < static_cast<ThreadId>(threads_.size()) ? threads_[id]->home : kHandsetProcess;
}

int Kernel::EndThreadsOf(ProcessId process) {
  std::lock_guard lk(baton_.mu);
  const ThreadId running = baton_.holder;
  int ended = 0;
  TouchAll();
  for (auto& t : threads_) {
    if (t->home != process || t->id == running || t->state == ThreadState::kFinished) continue;
    // The thread is parked in its carrier and is never handed the baton again.
    t->state = ThreadState::kFinished;
    t->wait_on = nullptr;
    t->deadline = kNever;
    t->detail = "ended with its process";
    ++ended;
  }
  return ended;
}

bool Kernel::ProcessHasThreads(ProcessId process) const {
  std::lock_guard lk(baton_.mu);
  return std::any_of(threads_.begin(), threads_.end(),
                     [process](const auto& t) { return t->home == process && t->state != ThreadState::kFinished; });
}

std::optional<Kernel::TimedWait> Kernel::EarliestTimedWait(ThreadId except) const {
  std::lock_guard lk(baton_.mu);
  std::optional<TimedWait> best;
  for (const auto& t : threads_) {
    if (t->platform || t->id == except || t->state != ThreadState::kBlocked) continue;
    if (t->wait_on == nullptr || t->deadline == kNever) continue;
    if (!best || t->deadline < best->deadline) best = TimedWait{t->name, t->deadline};
  }
  return best;
}

Micros Kernel::PacedNow() const {
  std::lock_guard lk(baton_.mu);
  return pacer_.PacedNow(now_);
}

const std::string& Kernel::ThreadName(ThreadId id) const {
  static const std::string kHost = "host";
  if (id < 0 || id >= static_cast<ThreadId>(threads_.size())) return kHost;
  return threads_[id]->name;
}

bool Kernel::IsPlatformThread(ThreadId id) const {
  return id >= 0 && id < static_cast<ThreadId>(threads_.size()) && threads_[id]->platform;
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
