// Input from outside the simulation: actions that host threads (a person at the terminal) hand
// to the kernel, run in kernel context at its next switch point. The kernel sleeps on this
// queue's condition variable whenever it waits for the wall clock or for a person, so that an
// action posted wakes it. Every member is called with the kernel lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace sim {

class OutsideInput {
 public:
  // Queues `action` and wakes a sleeping kernel.
  void Post(std::function<void()> action) {
    posted_.push_back(std::move(action));
    wake_.notify_all();
  }
  bool Pending() const { return !posted_.empty(); }

  // Runs the queued actions, in the order posted and with the lock released around them, until
  // none is left or `stop()` (the run ended).
  template <class Stop>
  void RunPosted(std::unique_lock<std::mutex>& lk, Stop stop) {
    while (!posted_.empty() && !stop()) {
      auto actions = std::move(posted_);
      posted_.clear();
      lk.unlock();
      for (auto& action : actions) action();
      lk.lock();
    }
  }

  // Sleeps, the lock released, until an action is posted or `stop()`.
  template <class Stop>
  void Await(std::unique_lock<std::mutex>& lk, Stop stop) {
    wake_.wait(lk, [&] { return Pending() || stop(); });
  }
  // Same, up to `deadline`; true when woken before it.
  template <class Stop>
  bool AwaitUntil(std::unique_lock<std::mutex>& lk, std::chrono::steady_clock::time_point deadline, Stop stop) {
    return wake_.wait_until(lk, deadline, [&] { return Pending() || stop(); });
  }
  // Wakes every sleep so that it can see the run's end.
  void WakeAll() { wake_.notify_all(); }

 private:
  std::vector<std::function<void()>> posted_;
  std::condition_variable wake_;
};

}  // namespace sim
