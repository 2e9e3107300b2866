#include "sim/devices/call.h"

#include "sim/devices/handset.h"
#include "sim/kernel/caller.h"

namespace sim {

Call::Call(Key op, Micros extra, const void* site) : op_(op.text) {
  Handset& d = Dev();
  d.kernel.SwitchPoint(d.CallCost() + extra);
  Event e;
  e.t_us = d.kernel.Now();
  e.kind = "call";
  e.thread = d.ThreadKey();
  e.pid = d.CurrentPid();
  e.op = op_;
  caller_ = CallerOf(op_, site);
  e.caller = caller_;
  // Room for the arguments most calls have, and for the result and one more member.
  e.args.reserve(4);
  e.more.reserve(2);
  index_ = d.events.Add(std::move(e));
  d.EnterCall(caller_);
}

Call::~Call() {
  if (!finished_) Finish(nullptr);
  Dev().LeaveCall();
}

Event& Call::Record() { return Dev().events.At(index_); }

Call& Call::Arg(Key name, Value value) {
  std::vector<Member>& args = Record().args;
  for (Member& m : args)
    if (m.name == name.text) {
      m.value = std::move(value);
      return *this;
    }
  args.push_back({name.text, std::move(value)});
  return *this;
}

void Call::Set(Key name, Value value) { Record().Set(name.text, std::move(value)); }

bool Call::Injected(std::string_view detail) {
  const bool fail = Dev().faults.ShouldFail(op_, detail);
  if (fail) Record().Set("injected_fault", true);
  return fail;
}

void Call::Misuse(const std::string& what) {
  Record().Set("misuse", what);
  Dev().Note("misuse", op_, {{"what", what}, {"thread", Dev().ThreadName()}});
}

void Call::SetError(unsigned long error) {
  Dev().LastError() = static_cast<std::uint32_t>(error);
  if (error != 0) Record().Set("last_error", error);
}

void Call::Finish(Value result) {
  finished_ = true;
  Record().Set("result", std::move(result));
}

}  // namespace sim
