// Carriers: how the kernel's simulated threads are carried on the host. Only one simulated
// thread runs at a time, the holder of the baton; a carrier starts threads, passes the baton
// from one to the next and parks threads for good, and nothing about the schedule depends on
// which carrier is used:
//   - fibers: user-space contexts on the host thread that runs the simulation, a switch a jump;
//   - host threads: one host thread each, handing the baton over a condition variable (the
//     carrier ThreadSanitizer can follow).
// Every member is called with the kernel lock (Baton::mu) held unless it says otherwise.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/kernel/thread_id.h"

namespace sim {

// The baton: which simulated thread may run now, under the kernel lock.
struct Baton {
  std::mutex mu;               // the kernel lock
  std::condition_variable cv;  // host threads: hand-over and the run's end
  ThreadId holder = kNoThread;
  bool run_over = false;  // once set, no simulated thread runs again
};

class Carrier {
 public:
  virtual ~Carrier() = default;

  // Prepares thread `id` (ids are handed out 0, 1, 2, ...). Once first handed the baton it runs
  // `entry` without the lock held; `entry` never returns (it ends by parking for good).
  virtual void Launch(ThreadId id, const std::string& name, std::function<void()> entry) = 0;
  // From the host thread inside Kernel::Run: starts the baton's holder and returns, with the lock
  // held, once the run is over.
  virtual void Run(std::unique_lock<std::mutex>& lk) = 0;
  // The running thread `self` has set the baton's holder to `next` (another thread): lets it
  // run, and returns once `self` holds the baton again. `self_finished`: it never will.
  virtual void HandOver(std::unique_lock<std::mutex>& lk, ThreadId self, ThreadId next, bool self_finished) = 0;
  // Parks the calling simulated thread for good, the lock left held (the next holder or the host
  // releases it). From outside the simulation this is a fault of the caller: the process aborts.
  [[noreturn]] virtual void ParkForever(std::unique_lock<std::mutex>& lk) = 0;

  // The simulated thread running on the calling host context, or kNoThread outside the
  // simulation. Needs no lock.
  static ThreadId Self();

 protected:
  static void SetSelf(ThreadId id);
};

// `name_host_thread`: the host thread takes the name of the simulated thread running on it, for
// debuggers and profilers.
std::unique_ptr<Carrier> MakeFiberCarrier(Baton& baton, bool name_host_thread);
std::unique_ptr<Carrier> MakeThreadCarrier(Baton& baton);

}  // namespace sim
