// Simulated threads as host threads of their own, handing the baton over a condition variable.
#include <pthread.h>

#include <cstdlib>
#include <thread>

#include "sim/kernel/carrier.h"

namespace sim {
namespace {

class ThreadCarrier final : public Carrier {
 public:
  explicit ThreadCarrier(Baton& baton) : baton_(baton) {}

  // The host thread waits for its first turn before it runs anything.
  void Launch(ThreadId id, const std::string& name, std::function<void()> entry) override {
    std::thread([this, id, name, entry = std::move(entry)] {
      SetSelf(id);
      pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      {
        std::unique_lock lk(baton_.mu);
        WaitForTurn(lk, id);
      }
      entry();
    }).detach();
  }

  void Run(std::unique_lock<std::mutex>& lk) override {
    baton_.cv.notify_all();
    baton_.cv.wait(lk, [&] { return baton_.run_over; });
  }

  void HandOver(std::unique_lock<std::mutex>& lk, ThreadId self, ThreadId, bool self_finished) override {
    baton_.cv.notify_all();
    if (self_finished) ParkForever(lk);
    WaitForTurn(lk, self);
  }

  // The host thread stays parked until the host process exits.
  [[noreturn]] void ParkForever(std::unique_lock<std::mutex>& lk) override {
    baton_.cv.wait(lk, [] { return false; });
    std::abort();
  }

 private:
  void WaitForTurn(std::unique_lock<std::mutex>& lk, ThreadId id) {
    baton_.cv.wait(lk, [&] { return baton_.holder == id && !baton_.run_over; });
  }

  Baton& baton_;
};

}  // namespace

std::unique_ptr<Carrier> MakeThreadCarrier(Baton& baton) { return std::make_unique<ThreadCarrier>(baton); }

}  // namespace sim
