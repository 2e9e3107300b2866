#include "sim/kernel/caller.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <map>
#include <mutex>

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

}  // namespace sim
