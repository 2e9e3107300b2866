// Wall-clock pacing. In a real-clock run (a person watches the handset) virtual time follows the
// wall clock: where it would jump to the next deadline, the kernel sleeps until the wall clock
// gets there, or until a person acts. In any other run virtual time jumps and this only measures.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>

#include "sim/base/time_text.h"
#include "sim/kernel/terminal_input.h"

namespace sim {

class WallPacer {
 public:
  explicit WallPacer(bool pacing) : pacing_(pacing) {}

  // The run starts now: virtual time 0 is this wall instant.
  void Start() {
    origin_ = std::chrono::steady_clock::now();
    started_ = true;
  }
  // Wall microseconds since Start.
  Micros Elapsed() const {
    return static_cast<Micros>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - origin_).count());
  }
  // Virtual time as far as the wall clock has carried it past `now`, in a started real-clock run;
  // `now` otherwise.
  Micros PacedNow(Micros now) const { return pacing_ && started_ ? std::max<Micros>(now, Elapsed()) : now; }

  // Where virtual time goes from `now` when the next thing due is at `next`: a real-clock run
  // sleeps (the kernel lock released) until the wall clock reaches `next`, or until input is
  // posted or `stop()`, and then stands at the wall time reached; otherwise it jumps to `next`.
  template <class Stop>
  Micros Advance(std::unique_lock<std::mutex>& lk, Micros now, Micros next, OutsideInput& input, Stop stop) {
    if (pacing_ && input.AwaitUntil(lk, origin_ + std::chrono::microseconds(next), stop))
      return std::clamp<Micros>(Elapsed(), now, next);
    return std::max(now, next);
  }

 private:
  bool pacing_;
  bool started_ = false;
  std::chrono::steady_clock::time_point origin_;
};

}  // namespace sim
