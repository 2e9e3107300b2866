// One platform call as the handset sees it: the switch point at its start, its record in the
// event log, its fault site and its result. Every platform operation opens a Call first.
#pragma once

#include <string>
#include <string_view>

#include "sim/kernel/eventlog.h"

namespace sim {

class Call {
 public:
  // Switch point, then opens the record for `op`. The call moves the clock by the handset's
  // call cost ([run] call_cost_us: enough that a thread that never blocks still moves the clock
  // forward) and `extra` more. `site` is the return address of the function that opens the call
  // (the default argument is evaluated there), the key under which the calling routine's name is
  // kept.
  explicit Call(Key op, Micros extra = 0, const void* site = __builtin_return_address(0));
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Adds an argument to the record (or replaces the one of that name).
  Call& Arg(Key name, Value value);
  // Sets a member of the record after its arguments ("t_end_us", "window").
  void Set(Key name, Value value);
  // The fault site of this call: true when the fault plan fails it. `detail` names the object
  // (a mutex name, a device) so that a rule can target one of several calls.
  bool Injected(std::string_view detail = {});
  // Records a platform rule the program broke (an invalid handle, a short buffer).
  void Misuse(const std::string& what);
  // Sets the calling thread's last-error value and records it.
  void SetError(unsigned long error);
  // Records the result and returns it.
  template <class T>
  T Return(T value, Value shown) {
    Finish(std::move(shown));
    return value;
  }
  void Done() { Finish(nullptr); }
  // The program routine that made the call ("NormalShutdown"), or "" when unknown; the text
  // lives as long as the process.
  // The call's record in the event log (valid until the next record is added).
  Event& Record();

 private:
  void Finish(Value result);

  std::size_t index_ = 0;
  std::string_view op_;
  std::string_view caller_;
  bool finished_ = false;
};

}  // namespace sim
