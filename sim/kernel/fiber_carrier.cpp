// Simulated threads as fibers on the host thread that runs the simulation.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/kernel/carrier.h"
#include "sim/kernel/fiber.h"

// The simulated thread running now, for a debugger (`print devsim_running_thread`): with fibers
// every simulated thread shares one host thread.
extern "C" {
const char* volatile devsim_running_thread = "host";
}

namespace sim {
namespace {

// Room for the deepest program stack; pages are committed only when touched.
constexpr std::size_t kFiberStackBytes = 1 << 20;

class FiberCarrier final : public Carrier {
 public:
  FiberCarrier(Baton& baton, bool name_host_thread) : baton_(baton), name_host_thread_(name_host_thread) {}

  void Launch(ThreadId, const std::string& name, std::function<void()> entry) override {
    names_.push_back(name);
    fibers_.push_back(
        std::make_unique<Fiber>([this, entry = std::move(entry)] { FiberMain(entry); }, kFiberStackBytes));
  }

  void Run(std::unique_lock<std::mutex>&) override {
    host_ = std::make_unique<Fiber>();
    const ThreadId first = baton_.holder;
    SetSelf(first);
    ShowRunning(first);
    // Comes back here, with the lock held, once a simulated thread has ended the run.
    Fiber::Switch(*host_, *fibers_.at(first));
  }

  // The lock passes with the jump: the next thread resumes inside its own HandOver (or starts in
  // its entry) holding it, and this one holds it again when it is resumed.
  void HandOver(std::unique_lock<std::mutex>&, ThreadId self, ThreadId next, bool) override {
    SetSelf(next);
    ShowRunning(next);
    Fiber::Switch(*fibers_[self], *fibers_[next]);
    SetSelf(self);
  }

  // The host context inside Run takes over and the caller's context is never resumed.
  [[noreturn]] void ParkForever(std::unique_lock<std::mutex>& lk) override {
    const ThreadId self = Self();
    if (self == kNoThread) {
      std::fprintf(stderr, "devsim: a platform call from outside the simulation\n");
      std::abort();
    }
    lk.release();
    SetSelf(kNoThread);
    ShowRunning(kNoThread);
    Fiber::Switch(*fibers_[self], *host_);
    std::abort();
  }

 private:
  // Where every fiber starts (and a debugger's backtrace of a simulated thread ends). A fiber is
  // entered with the kernel lock held by whoever switched to it.
  void FiberMain(const std::function<void()>& entry) {
    { std::unique_lock lk(baton_.mu, std::adopt_lock); }
    entry();
  }

  void ShowRunning(ThreadId id) {
    devsim_running_thread = id == kNoThread ? "host" : names_[id].c_str();
    if (name_host_thread_)
      pthread_setname_np(pthread_self(), id == kNoThread ? "devsim" : names_[id].substr(0, 15).c_str());
  }

  Baton& baton_;
  bool name_host_thread_;
  std::vector<std::string> names_;              // by thread id
  std::vector<std::unique_ptr<Fiber>> fibers_;  // by thread id: context and stack
  std::unique_ptr<Fiber> host_;                 // the context of the host thread inside Run
};

}  // namespace

std::unique_ptr<Carrier> MakeFiberCarrier(Baton& baton, bool name_host_thread) {
  return std::make_unique<FiberCarrier>(baton, name_host_thread);
}

}  // namespace sim
