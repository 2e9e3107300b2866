#include "sim/devices/call.h"

#include "sim/devices/handset.h"
#include "sim/kernel/caller.h"

namespace sim {

Call::Call(std::string_view op, Micros cost, const void* site) : op_(op) {
  Handset& d = Dev();
  d.kernel.SwitchPoint(cost);
  Json e;
  e["t_us"] = d.kernel.Now();
  e["kind"] = "call";
  e["thread"] = d.ThreadName();
  e["op"] = op_;
  caller_ = CallerOf(op_, site);
  if (!caller_.empty()) e["caller"] = caller_;
  e["args"] = Json::object();
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
  const bool fail = Dev().faults.ShouldFail(op_, std::string(detail));
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
