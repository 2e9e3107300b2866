// User-space execution contexts for the kernel's simulated threads: each has its own stack and
// is entered and left by an explicit switch on one host thread, without a system call.
#pragma once

#include <cstddef>
#include <functional>

namespace sim {

class Fiber {
 public:
  // A context that will run `entry` on its own stack of `stack_bytes` the first time it is
  // switched to. `entry` must never return: it ends by switching to another fiber for good.
  Fiber(std::function<void()> entry, std::size_t stack_bytes);
  // The context of the host thread itself (no stack of its own); filled in when it is left.
  Fiber();
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Suspends `from` (the context running now) and resumes or starts `to`. Returns when some
  // other fiber switches back to `from`.
  static void Switch(Fiber& from, Fiber& to);

 private:
  static void Enter(void* left_context, void* data);
  static void Arrived(void* left_context, void* data, void* fake_stack);

  void* context_ = nullptr;  // the suspended context; null before the first start
  void* stack_ = nullptr;    // mapping, guard page at its low end
  std::size_t stack_bytes_ = 0;
  std::function<void()> entry_;
  // For the sanitizers, which must be told about every change of stack.
  void* sanitizer_fake_stack_ = nullptr;
  [[maybe_unused]] const void* stack_bottom_ = nullptr;  // the host thread's stack, learnt when first left
  [[maybe_unused]] std::size_t stack_size_ = 0;
  [[maybe_unused]] void* tsan_fiber_ = nullptr;
};

}  // namespace sim
