// The handle table of the simulated handset: every handle the program is given (events,
// mutexes, threads, files, devices, keys, snapshots, processes, hooks, notifications, modules)
// maps to one entry here. Values are never reused, so a handle used after it was closed is
// caught rather than aliased.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/footprint.h"
#include "sim/kernel/kernel.h"

namespace sim {

enum class HandleKind {
  kEvent,
  kMutex,
  kThread,
  kFile,
  kDevice,
  kProcess,
  kSnapshot,
  kKey,
  kHook,
  kRegNotify,
  kRil,
  kModule,
  kNotification
};

// Name of a kind as shown in reports ("event", "mutex", ...).
const char* KindName(HandleKind kind);

struct HandleEntry {
  std::uintptr_t value = 0;
  HandleKind kind = HandleKind::kEvent;
  std::shared_ptr<void> object;  // the kernel object, device or record behind the handle
  std::string label;             // what it is, e.g. "mutex 'NormalShutdown'"
  std::string opened_by;         // operation that produced it
  std::string caller;            // program routine that called it ("NormalShutdown")
  std::string thread;            // thread that opened it
  Micros at = 0;
  ProcessId process = kFirstProgram;  // the process that holds it; its end closes it
  std::uint64_t key = 0;              // the object's footprint key, shared by all its handles
};

class HandleTable {
 public:
  // Adds an entry and returns its new handle value (never 0 and never INVALID_HANDLE_VALUE).
  // `caller` is the program routine that opened it ("" when unknown).
  std::uintptr_t Insert(HandleKind kind, std::shared_ptr<void> object, std::string label, std::string opened_by,
                        std::string caller, std::string thread, Micros at, ProcessId process = kFirstProgram);
  // Steps that find or close a handle touch its object in `footprint` (null: none kept).
  void SetFootprint(StepFootprint* footprint) { footprint_ = footprint; }
  // Keys the object behind open handle `value` (and every handle opened to it later) with `key`
  // instead of its first handle's value: a named object by its name.
  void KeyObject(std::uintptr_t value, std::uint64_t key);
  // The open entry for `value`, or null when the value is not an open handle.
  HandleEntry* Find(std::uintptr_t value);
  // The open entry when it is of `kind`, else null.
  HandleEntry* Find(std::uintptr_t value, HandleKind kind);
  // Closes `value`; false when it is not an open handle.
  bool Close(std::uintptr_t value);
  // True when `value` was handed out once and has been closed since.
  bool WasClosed(std::uintptr_t value) const;
  // Every entry still open, in the order they were opened.
  std::vector<const HandleEntry*> Open() const;
  // The values of the entries that `process` holds, in the order they were opened.
  std::vector<std::uintptr_t> HeldBy(ProcessId process) const;

  template <class T>
  T* Object(std::uintptr_t value, HandleKind kind) {
    HandleEntry* e = Find(value, kind);
    return e ? static_cast<T*>(e->object.get()) : nullptr;
  }

 private:
  std::map<std::uintptr_t, HandleEntry> open_;
  std::uintptr_t next_ = 0x1000;
  StepFootprint* footprint_ = nullptr;
};

}  // namespace sim
