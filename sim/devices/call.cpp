#include "sim/call.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "sim/handset.h"

namespace sim {

namespace {

// Name of the function that contains `pc`, without namespace or arguments, or "".
std::string FunctionAt(void* pc) {
  static std::mutex mu;
  static std::map<void*, std::string> cache;
  std::lock_guard lk(mu);
  if (auto it = cache.find(pc); it != cache.end()) return it->second;
  std::string name;
  Dl_info info{};
  if (dladdr(pc, &info) != 0 && info.dli_sname != nullptr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    if (auto paren = name.find('('); paren != std::string::npos) name.resize(paren);
  }
  cache[pc] = name;
  return name;
}

}  // namespace

std::string CallerOf(std::string_view op) {
  void* frames[8];
  const int n = backtrace(frames, 8);
  for (int i = 1; i < n; ++i) {
    const std::string name = FunctionAt(frames[i]);
    if (name.empty() || name.rfind("sim::", 0) == 0 || name == op || name.rfind("std::", 0) == 0) continue;
    return name;
  }
  return {};
}

Call::Call(std::string_view op, Micros cost) : op_(op) {
  Handset& d = Dev();
  d.kernel.SwitchPoint(cost);
  Json e;
  e["t_us"] = d.kernel.Now();
  e["kind"] = "call";
  e["thread"] = d.ThreadName();
  e["op"] = op_;
  caller_ = CallerOf(op_);
  if (!caller_.empty()) e["caller"] = caller_;
  e["args"] = Json::object();
  index_ = d.events.Add(std::move(e));
}

Call::~Call() {
  if (!finished_) Finish(nullptr);
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
