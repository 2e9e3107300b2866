#include "sim/devices/call.h"

#include "sim/devices/handset.h"
#include "sim/kernel/caller.h"

namespace sim {

Call::Call(std::string_view op, Micros cost, const void* site) : op_(op) {
  Handset& d = Dev();
  d.kernel.SwitchPoint(cost);
  // Room for every member a call's record may get: seq, a fault, a misuse, an error, the result.
  Json e = ObjectWithRoom(12);
  Append(e, "t_us", d.kernel.Now());
  Append(e, "kind", "call");
  Append(e, "thread", d.ThreadName());
  Append(e, "op", op_);
  caller_ = CallerOf(op_, site);
  if (!caller_.empty()) Append(e, "caller", caller_);
  Append(e, "args", ObjectWithRoom(4));
  index_ = d.events.Add(std::move(e));
  d.EnterCall(&caller_);
}

Call::~Call() {
  if (!finished_) Finish(nullptr);
  Dev().LeaveCall();
}

Json& Call::Record() { return Dev().events.At(index_); }

Call& Call::Arg(std::string_view name, Json value) {
  Record()["args"][std::string(name)] = std::move(value);
  return *this;
}

bool Call::Injected(std::string_view detail) {
  const bool fail = Dev().faults.ShouldFail(op_, detail);
  if (fail) Record()["injected_fault"] = true;
  return fail;
}

void Call::Misuse(const std::string& what) {
  Record()["misuse"] = what;
  Dev().Note("misuse", op_, {{"what", what}, {"thread", Dev().ThreadName()}});
}

void Call::SetError(unsigned long error) {
  Dev().LastError() = static_cast<std::uint32_t>(error);
  if (error != 0) Record()["last_error"] = error;
}

void Call::Finish(Json result) {
  finished_ = true;
  Record()["result"] = std::move(result);
}

}  // namespace sim
