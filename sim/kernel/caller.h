// Names the program routine behind a platform call, from the calling thread's stack, so that
// the event log and the handle table can say which routine asked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// The innermost program routine on the calling thread's stack that made platform call `op`:
// simulator frames, the standard library and `op` itself are skipped. "" when none is named.
// `site`, when given, is the return address of the platform operation (the place in its caller
// that called it): when the routine around that place is the one named, the answer is kept for
// the site, and later calls from there are named without walking the stack. The text lives as
// long as the process.
std::string_view CallerOf(std::string_view op, const void* site = nullptr);

// Reads the executable's symbols now (they are otherwise read at the first CallerOf), so that
// processes forked afterwards inherit them.
void PrepareCallerNames();
// The mangled name of the executable's exported function that contains `pc`, or nullptr (a
// function of a shared library, or one not exported): what dladdr finds, without its linear scan.
const char* ExportedFunctionAt(const void* pc);

// Call sites named in this process since the last call, as (address, name). A process forked
// from the same image can take them with AddCallSites, so that the processes it forks in turn
// start knowing them: a batch names each site once, not once per run.
std::vector<std::pair<std::uintptr_t, std::string>> TakeNewCallSites();
void AddCallSites(const std::vector<std::pair<std::uintptr_t, std::string>>& sites);

}  // namespace sim
