#include "sim/kernel/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

// GCC says which sanitizer is on with __SANITIZE_*__, clang with __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#if __has_feature(thread_sanitizer) && !defined(__SANITIZE_THREAD__)
#define __SANITIZE_THREAD__ 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define SIM_FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define SIM_FIBER_TSAN 1
#endif

namespace sim {

namespace ctx = boost::context::detail;

namespace {

// What a switch hands to the context it resumes: who left, so that its context can be kept.
struct Hop {
  Fiber* from;
  Fiber* to;
};

std::size_t PageSize() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Stacks of finished fibers, kept for the next ones: a process that runs one handset after
// another then maps no new stack and touches no fresh page for the threads of later runs.
class StackPool {
 public:
  // A stack of `bytes` (guard page included, already protected), or null when none is kept.
  void* Take(std::size_t bytes) {
    std::lock_guard lock(mu_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it)
      if (it->second == bytes) {
        void* stack = it->first;
        kept_.erase(it);
        return stack;
      }
    return nullptr;
  }
  // Keeps `stack` for reuse, or unmaps it when enough are kept.
  void Give(void* stack, std::size_t bytes) {
    {
      std::lock_guard lock(mu_);
      if (kept_.size() < kMaxKept) {
        kept_.emplace_back(stack, bytes);
        return;
      }
    }
    munmap(stack, bytes);
  }

 private:
  static constexpr std::size_t kMaxKept = 64;
  std::mutex mu_;
  std::vector<std::pair<void*, std::size_t>> kept_;
};

StackPool& Pool() {
  static auto* pool = new StackPool;  // never destroyed: fibers may outlive static destruction
  return *pool;
}

}  // namespace

// The host thread's context has no stack of ours; its bounds are learnt by the sanitizer.
Fiber::Fiber() = default;

Fiber::Fiber(std::function<void()> entry, std::size_t stack_bytes) : entry_(std::move(entry)) {
  const std::size_t page = PageSize();
  stack_bytes_ = (stack_bytes + page - 1) / page * page + page;
  // Pages are committed only when touched; the lowest one stays inaccessible, so that an
  // overflow faults at once instead of overwriting a neighbour.
  stack_ = Pool().Take(stack_bytes_);
  if (stack_ == nullptr) {
    stack_ = mmap(nullptr, stack_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (stack_ == MAP_FAILED) throw std::bad_alloc();
    mprotect(stack_, page, PROT_NONE);
  }
#if SIM_FIBER_ASAN
  // A reused stack still carries the poisoned frames of the fiber that was dropped on it.
  __asan_unpoison_memory_region(static_cast<char*>(stack_) + page, stack_bytes_ - page);
#endif
  void* top = static_cast<char*>(stack_) + stack_bytes_;
  context_ = ctx::make_fcontext(top, stack_bytes_ - page, [](ctx::transfer_t t) { Enter(t.fctx, t.data); });
#if SIM_FIBER_TSAN
  tsan_fiber_ = __tsan_create_fiber(0);
#endif
}

Fiber::~Fiber() {
  if (stack_ != nullptr) Pool().Give(stack_, stack_bytes_);
#if SIM_FIBER_TSAN
  if (tsan_fiber_ != nullptr) __tsan_destroy_fiber(tsan_fiber_);
#endif
}

// Bookkeeping on arrival in a fiber: the context just left is kept, and the sanitizers learn
// that the stack changed.
void Fiber::Arrived(void* left_context, void* data, void* fake_stack) {
  auto* hop = static_cast<Hop*>(data);
#if SIM_FIBER_ASAN
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  if (hop->from->stack_bottom_ == nullptr) {
    hop->from->stack_bottom_ = bottom;
    hop->from->stack_size_ = size;
  }
#else
  (void)fake_stack;
#endif
  hop->from->context_ = left_context;
}

void Fiber::Enter(void* left_context, void* data) {
  Fiber* self = static_cast<Hop*>(data)->to;
  Arrived(left_context, data, nullptr);
  self->entry_();
  std::abort();  // an entry ends by switching away for good
}

void Fiber::Switch(Fiber& from, Fiber& to) {
  Hop hop{&from, &to};
#if SIM_FIBER_ASAN
  const std::size_t page = PageSize();
  const void* bottom = to.stack_ ? static_cast<char*>(to.stack_) + page : to.stack_bottom_;
  const std::size_t size = to.stack_ ? to.stack_bytes_ - page : to.stack_size_;
  __sanitizer_start_switch_fiber(&from.sanitizer_fake_stack_, bottom, size);
#endif
#if SIM_FIBER_TSAN
  if (from.tsan_fiber_ == nullptr) from.tsan_fiber_ = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(to.tsan_fiber_, 0);
#endif
  const ctx::transfer_t t = ctx::jump_fcontext(to.context_, &hop);
  Arrived(t.fctx, t.data, from.sanitizer_fake_stack_);
}

}  // namespace sim
