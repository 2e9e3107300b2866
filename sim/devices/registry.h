// The handset's registry: keys and values loaded from export text, read with the platform's
// byte semantics (ERROR_MORE_DATA for a short buffer, distinct codes for a missing key and a
// missing value), and change notifications delivered on a notification thread of the process.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/devices/sync.h"
#include "sim/kernel/eventlog.h"
#include "sim/scenario/reg_file.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct NoCaseLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct RegValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

struct RegKey {
  std::map<std::u16string, RegKey, NoCaseLess> subkeys;
  std::map<std::u16string, RegValue, NoCaseLess> values;
};

// What an open key handle refers to: a root and a path (the key may be deleted meanwhile).
struct KeyRef {
  std::string root;
  std::u16string path;
};

struct RegNotification {
  KeyRef key;
  std::u16string value;
  void* callback = nullptr;  // REGISTRYNOTIFYCALLBACK
  std::uint32_t user_data = 0;
  std::uintptr_t handle = 0;
  bool open = true;
  int delivered = 0;
};

class Registry {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Loads [registry] text and files; throws ScenarioError naming the .reg line on bad text.
  void Configure(const Section& root);
  // Registers the timeline actions set_registry and delete_registry.
  void RegisterActions(class Timeline& timeline);
  // Applies export text (also used by the timeline).
  void Apply(const std::vector<RegOperation>& ops);

  // The key at root\path, or null.
  RegKey* FindKey(const KeyRef& ref);
  const RegValue* FindValue(const KeyRef& ref, std::u16string_view name);
  // Changes made while the program runs (timeline, tests); notify watchers.
  void SetValue(const KeyRef& ref, const std::u16string& name, RegValue value);
  void DeleteValue(const KeyRef& ref, const std::u16string& name);

  // Registers a change notification; returns its handle value.
  std::uintptr_t AddNotification(RegNotification n);
  RegNotification* FindNotification(std::uintptr_t handle);
  // Closes a notification; false when the handle is not an open notification.
  bool CloseNotification(std::uintptr_t handle);

  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

  static std::string RootName(std::uintptr_t predefined);  // "" when not a predefined root

 private:
  struct Delivery {
    std::uintptr_t handle;
    std::optional<RegValue> value;  // nothing: the value was deleted
  };
  // Each process that registered a notification has a notification thread of its own.
  struct Notifier {
    std::deque<Delivery> queue;
    std::shared_ptr<EventObject> event;
  };
  void Notify(const KeyRef& ref, const std::u16string& name, const std::optional<RegValue>& value);
  Notifier& NotifierOf(ProcessId process);
  // Calls the callback of one queued change on the notification thread.
  void Deliver(const Delivery& d);

  std::map<std::string, RegKey> roots_;
  std::deque<RegNotification> notifications_;  // a deque: pointers to them stay valid
  std::map<ProcessId, Notifier> notifiers_;
  std::vector<std::string> unknown_types_;  // values of kinds the platform does not define
};

}  // namespace sim
