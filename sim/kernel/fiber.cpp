#include "sim/kernel/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdlib>
#include <new>

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

}  // namespace

// The host thread's context has no stack of ours; its bounds are learnt by the sanitizer.
Fiber::Fiber() = default;

Fiber::Fiber(std::function<void()> entry, std::size_t stack_bytes) : entry_(std::move(entry)) {
  const std::size_t page = PageSize();
  stack_bytes_ = (stack_bytes + page - 1) / page * page + page;
  // Pages are committed only when touched; the lowest one stays inaccessible, so that an
  // overflow faults at once instead of overwriting a neighbour.
  stack_ = mmap(nullptr, stack_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack_ == MAP_FAILED) throw std::bad_alloc();
  mprotect(stack_, page, PROT_NONE);
  void* top = static_cast<char*>(stack_) + stack_bytes_;
  context_ = ctx::make_fcontext(top, stack_bytes_ - page, [](ctx::transfer_t t) { Enter(t.fctx, t.data); });
#if SIM_FIBER_TSAN
  tsan_fiber_ = __tsan_create_fiber(0);
#endif
}

Fiber::~Fiber() {
  if (stack_ != nullptr) munmap(stack_, stack_bytes_);
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
