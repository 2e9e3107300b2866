// Loadable libraries: the scenario says which files on the handset are libraries and which
// entries they export. The handset's shutdown animation ships as a simulated module: an export
// named DoShutdownAnimation is that module's entry, which records its three arguments, plays
// for the library's time and may, as the scenario says, go on using its third argument (the
// caller's call event) after it has returned.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct Library {
  std::u16string path;
  std::vector<std::string> exports;
  Micros plays = 0;                  // how long the animation entry runs
  Micros uses_call_event_after = 0;  // 0: the entry is done with its arguments when it returns
  std::uintptr_t module = 0;         // module handle once loaded
  int loads = 0;
};

struct AnimationCall {
  std::uint32_t args[3] = {0, 0, 0};
  std::string call_event;  // what the third argument was when the call began
  Micros started = 0;
  Micros returned = 0;
  bool returned_yet = false;
  bool used_closed_handle = false;
};

class Libraries {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::string_view kAnimationEntry = "DoShutdownAnimation";

  // Reads [[library]] entries: path, exports, plays_ms, uses_call_event_after_return_ms.
  void Configure(const Section& root);
  // Loads the library at `path` (a bare name is looked for in \Windows); null when there is none.
  Library* Load(std::u16string_view path);
  Library* FindModule(std::uintptr_t module);
  // The address of `entry` in `lib`, or null when the library does not export it.
  void* Entry(Library& lib, const std::string& entry);

  // The animation module's entry, called by the program through the address Entry returned.
  static std::uint32_t DoShutdownAnimation(std::uint32_t reserved, std::uint32_t done_event, std::uint32_t call_event);
  // Any other export: records the call and returns 0.
  static long OtherEntry();
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  Library* Find(std::u16string_view path);
  void RunAnimation(Library& lib, AnimationCall& call);
  void UseCallEventLater(std::size_t index, Micros after);

  std::deque<Library> libraries_;
  std::deque<AnimationCall> animation_calls_;
  Library* animation_ = nullptr;  // the library whose animation entry was looked up last
  std::uintptr_t next_module_ = 0x7C000000;
};

}  // namespace sim
