// Kernel objects of the handset: auto- and manual-reset events, mutexes with owners, and the
// object namespace that every process on the handset shares. A name lives while any handle to
// it is open, in this process or in another one the scenario describes.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

class NamedObject : public Waitable {
 public:
  std::u16string name;
  int foreign_holds = 0;  // handles held by other processes of the scenario
};

class EventObject final : public NamedObject {
 public:
  EventObject(bool manual, bool signaled) : manual_(manual), signaled_(signaled) {}
  bool IsSignaled(ThreadId) const override { return signaled_; }
  void Acquire(ThreadId) override {
    if (!manual_) signaled_ = false;
  }
  // Short description for handle labels, e.g. "event 'BKL_BYPASSPOWERMSG'".
  std::string Describe() const;
  void Set() { signaled_ = true; }
  void Reset() { signaled_ = false; }
  int sets = 0;

 private:
  bool manual_;
  bool signaled_;
};

class MutexObject final : public NamedObject {
 public:
  static constexpr ThreadId kForeignOwner = -2;
  bool IsSignaled(ThreadId waiter) const override { return owner_ == -1 || owner_ == waiter; }
  void Acquire(ThreadId waiter) override {
    owner_ = waiter;
    ++count_;
  }
  std::string Describe() const;
  ThreadId Owner() const { return owner_; }
  // Releases one level of ownership; false when `thread` does not own it.
  bool Release(ThreadId thread);
  // The owning thread's process ended without releasing it: the next wait gets it. False when
  // nobody owned it.
  bool Abandon() {
    if (owner_ == -1) return false;
    owner_ = -1;
    count_ = 0;
    return true;
  }
  void TakeForeign() {
    owner_ = kForeignOwner;
    count_ = 1;
  }

 private:
  ThreadId owner_ = -1;
  int count_ = 0;
};

class SyncObjects {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Reads the scenario's names held by other processes ([[other_process]] mutexes and events).
  void Configure(const Section& root);

  // An existing named object, or null. Looking a name up or registering one touches the name
  // (NameKey) in the step under way.
  std::shared_ptr<NamedObject> FindName(const std::u16string& name) const;
  void Register(const std::shared_ptr<NamedObject>& obj);
  // The footprint key of `name` in the object namespace.
  static std::uint64_t NameKey(const std::u16string& name);
  // Another process of the scenario takes or drops a handle to a named mutex (timeline).
  void ForeignHoldMutex(const std::u16string& name);
  void ForeignReleaseMutex(const std::u16string& name);

  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

  // The name of the next thread whose start routine has no name: "thread-1", "thread-2"...
  std::string NextUnnamedThread() { return "thread-" + std::to_string(++unnamed_threads_); }

 private:
  int unnamed_threads_ = 0;
  mutable std::map<std::u16string, std::weak_ptr<NamedObject>> names_;
  std::map<std::u16string, std::shared_ptr<NamedObject>> foreign_;  // kept alive by other processes
};

}  // namespace sim
