// The keyboard: key presses come from the scenario's timeline and are handled on the handset's
// input thread. Each press goes through the chain of low-level keyboard hooks (the one installed
// last first; a hook passes the event on with CallNextHookEx); when no hook swallows it, it
// reaches the foreground window.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/devices/part_declarations.h"
#include "sim/devices/sync.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

class Keyboard {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Registers the timeline action `key` (vk, hook_code): a key pressed at its time.
  void RegisterActions(class Timeline& timeline);

  // Installs a hook at the head of the chain; returns its handle value.
  std::uintptr_t Install(HOOKPROC proc);
  // Removes a hook; false when `handle` is not an installed hook.
  bool Remove(std::uintptr_t handle);
  bool Installed(std::uintptr_t handle) const;
  // The rest of the chain for the event being handled: calls the hook after the running one,
  // or returns 0 when it was the last. `inside` is false outside a hook procedure.
  LRESULT CallNext(int code, WPARAM wparam, LPARAM lparam, bool& inside);

  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  struct Hook {
    std::uintptr_t handle;
    HOOKPROC proc;
  };
  struct Press {
    std::uint32_t vk = 0;
    int code = HC_ACTION;
    Micros at = 0;
  };
  struct KeyRecord {
    std::uint32_t vk = 0;
    Micros pressed = 0;
    Micros handled = 0;
    std::string fate;
  };
  void Queue(const Press& press);
  void StartThread();
  void Handle(const Press& press);
  // The key reaches the foreground window; returns what became of it.
  std::string DeliverToForeground();

  std::vector<Hook> chain_;        // head first
  std::vector<Hook> dispatching_;  // the chain as it stood when the current event began
  std::size_t position_ = 0;       // index in dispatching_ of the running hook
  bool in_dispatch_ = false;
  std::deque<Press> queue_;
  std::shared_ptr<EventObject> queue_event_;
  bool thread_started_ = false;
  std::vector<KeyRecord> keys_;
};

}  // namespace sim
