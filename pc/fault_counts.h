// The counts of the fault rules' matching calls, shared by every process of a run on a PC: one
// handset counts the calls of all the instances of the program on it. The counts live in named
// memory, which lasts while some process holds it; the Wine runner's user helper holds it for
// the whole run, so that the counts outlive an instance that ends before the next one starts.
#pragma once

#include <windows.h>

// One count a rule, for at most this many rules (a run names a handful).
#define HANDSET_FAULT_RULES_MAX 256
#define HANDSET_FAULT_COUNTS_NAME L"HandsetFaultCounts"

// The shared counts, created zeroed by the first process that asks and opened by the others;
// null when the memory cannot be had.
inline volatile LONG* OpenHandsetFaultCounts() {
  HANDLE hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       HANDSET_FAULT_RULES_MAX * sizeof(LONG), HANDSET_FAULT_COUNTS_NAME);
  if (hMapping == nullptr) {
    return nullptr;
  }
  // The mapping stays open for the life of the process.
  return static_cast<volatile LONG*>(MapViewOfFile(hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
}
