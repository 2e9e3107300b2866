// Names the program routine behind a platform call, from the calling thread's stack, so that
// the event log and the handle table can say which routine asked.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// The innermost program routine on the calling thread's stack that made platform call `op`:
// simulator frames, the standard library and `op` itself are skipped. "" when none is named.
std::string CallerOf(std::string_view op);

}  // namespace sim
