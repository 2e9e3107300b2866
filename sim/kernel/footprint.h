// Footprints of steps: what the run touched between two choice points of a recorded schedule,
// so that a search can tell steps that commute (they touch no common object) from those that
// do not.
//
// A key names one object: the kernel object behind a handle, a named object's name, a device
// (LEDs, RTC, keyboard, display and windows, sound, the radio...), the registry, the process
// list, or one variable of one program process. A step that does something no key describes
// (a timer or outside event fires, a deadline passes, the clock is read, a thread starts or
// ends, the run ends) touches everything: it conflicts with every other step. Keys are hashed,
// so two objects may share one; that only makes two steps conflict that need not, never the
// reverse.
//
// The program's variables are keyed by reads and writes. A step that ran a process's code is
// taken to read every variable of that process (which ones it read is not seen), and it writes
// those whose bytes differ at its end from its start. Two steps that only read a process's
// variables commute; a step that wrote one of them conflicts with every step that ran that
// process's code.
//
// Footprints are gathered only while a schedule record is kept: ordinary runs have no footprint
// and pay one test of a null pointer where a key would be added.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "sim/kernel/thread_id.h"

namespace sim {

struct ChoicePoint;

// What kind of object a key names; the kind is part of the key, so that a device and a handle
// with the same number never share one.
enum class TouchKind : std::uint8_t {
  kObject = 1,  // the object behind a handle: its first handle's value, or its name's key
  kName,        // a name in the object namespace shared by all processes
  kDevice,      // a device part, by name ("leds", "windows", "radio", "registry"...)
  kMemory,      // reads of the variables of one program process (its code ran)
  kFaultSite,   // an operation whose calls a fault rule counts
  kVariable,    // a write of one variable of one program process (VariableKey)
};

// The key of object `id` of `kind`.
std::uint64_t TouchKey(TouchKind kind, std::uint64_t id);
// The key of the object named `name` (a device, a named object) of `kind`.
std::uint64_t TouchKey(TouchKind kind, std::string_view name);
std::uint64_t TouchKey(TouchKind kind, std::u16string_view name);
// The key of a write to variable `index` (in the program's table of variables) of `process`.
// Those of one process sort together, after the process's read key's kind.
std::uint64_t VariableKey(std::uint64_t process, std::uint32_t index);
// The index that stands for any variable, when which ones a step wrote is not known.
constexpr std::uint32_t kAnyVariable = 0xffff;

// True when two steps may not be swapped: either touches everything, both touch an object, or
// one wrote a variable of a process whose code the other ran. Both key lists sorted.
bool StepsConflict(const std::vector<std::uint64_t>& a, bool a_all, const std::vector<std::uint64_t>& b, bool b_all);

// The keys one step gathers, moved into its choice point when the next one is reached.
class StepFootprint {
 public:
  // Adds `key` to the step under way; nothing once the footprint is closed.
  void Touch(std::uint64_t key) {
    if (open_) keys_.push_back(key);
  }
  // Thread `t` ran in the step under way (the baton was handed to it).
  void Ran(ThreadId t) {
    if (open_) ran_.push_back(t);
  }
  // The step under way did something no key describes.
  void TouchAll() { all_ = open_; }
  // Moves what the step under way gathered into `point` (sorted, unique keys and whether it
  // touched everything) and starts the next step with nothing gathered.
  void CloseInto(ChoicePoint& point);
  // Drops what was gathered (the run before its first choice point belongs to no point).
  void Discard();
  // Stops gathering for good (the run is over; what its summary reads is no step).
  void Stop() { open_ = false; }

 private:
  std::vector<std::uint64_t> keys_;
  std::vector<ThreadId> ran_;
  bool all_ = false;
  bool open_ = true;
};

}  // namespace sim
