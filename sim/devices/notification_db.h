// The notification database: the timed notifications that applications (the clock above all)
// leave with the platform. The program lists their handles and fetches each one by the
// size-then-fetch protocol; a fetched notification is the information header followed by the
// trigger record and its strings, every pointer aimed into the caller's buffer.
//
// Scenario keys:
//   [[notifications]]      one entry per notification; handles are delivered in this order.
//     type = 4             trigger type (4: a timed user notification, as the clock sets)
//     application = "\\Windows\\clock.exe"   the application to run (the default)
//     no_application = true                 the trigger carries no application pointer
//     arguments = ""       its command line
//     start = "YYYY-MM-DD hh:mm:ss"          start time, or start_fields = [year, month,
//                          day_of_week, day, hour, minute, second, ms] for any record, valid
//                          or not; end / end_fields likewise (default: the start)
//   notifications = []     no notifications at all (clears the built-in handset's)
//   [clock_alarms]         a series of clock alarms, delivered after [[notifications]]:
//     count = 40, every_ms = 60000 (whole seconds), first = "YYYY-MM-DD hh:mm:ss" (default:
//     [clock] start + every_ms), descending = false (true: latest first), application
//
// Failures are fault rules:
//   "CeGetUserNotificationHandles:count"  the count query (null buffer) fails
//   "CeGetUserNotificationHandles:fetch"  the fetch of the handles fails
//   "CeGetUserNotification:N"             the N-th notification (from 1, in delivery order)
//                                         can be neither sized nor fetched; "...:N@1" fails
//                                         only its size query, "...:N@2" only its fetch
//   "LocalAlloc" / "LocalAlloc@N"         the program's allocations fail
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/devices/local_time.h"
#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/scenario/scenario.h"

namespace sim {

// A calendar record as the platform stores it: year, month, day of week, day, hour, minute,
// second, milliseconds.
using TimeFields = std::array<std::uint16_t, 8>;

struct NotificationEntry {
  std::uint32_t type = 4;
  std::optional<std::u16string> application;  // nothing: no application pointer
  std::u16string arguments;
  TimeFields start{};
  TimeFields end{};
};

// What the program received during its latest walk of the database.
struct NotificationWalk {
  bool counted = false;            // the count query answered
  bool handles_delivered = false;  // the handles were handed over
  std::string list_failure;        // why listing failed, empty when it did not
  std::set<std::size_t> fetched;   // entries delivered whole, by index
  std::set<std::size_t> failed;    // entries whose size query or fetch was failed
};

class NotificationDb {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::uint32_t kClassicTime = 4;
  static constexpr std::uintptr_t kFirstHandle = 0x7E0001;

  // Reads [[notifications]] and [clock_alarms] (see above); the clock gives the series' default
  // start. Throws ScenarioError naming the file, line and key of a bad entry.
  void Configure(const Section& root, const LocalClock& clock);

  const std::vector<NotificationEntry>& Entries() const { return entries_; }
  // Index of the entry a handle names, or nothing for a value that is no notification handle.
  std::optional<std::size_t> IndexOf(std::uintptr_t handle) const;
  std::uintptr_t HandleOf(std::size_t index) const { return kFirstHandle + index; }
  // Bytes a fetch of entry `index` fills.
  std::size_t FetchedSize(std::size_t index) const;
  // Lays entry `index` out in `buffer` (FetchedSize bytes): header, trigger, strings.
  void Write(std::size_t index, std::uint8_t* buffer) const;

  NotificationWalk& Walk() { return walk_; }
  const NotificationWalk& Walk() const { return walk_; }

  // Adds "notifications" (the count) to the summary.
  // `out` has none of these members yet: they are appended, not looked up.
  void Summarize(Json& out) const;

 private:
  void ReadSeries(const Section& series, const LocalClock& clock);

  std::vector<NotificationEntry> entries_;
  NotificationWalk walk_;
};

// "YYYY-MM-DD hh:mm:ss" of a record, whatever its fields hold.
std::string FieldsText(const TimeFields& t);
// Seconds since 1950-01-01 00:00:00 of a record that names a real instant the ERTC can hold
// (1950-01-01 00:00:00 to 2086-02-06 06:28:15), or nothing.
std::optional<std::uint32_t> ValidErtcSeconds(const TimeFields& t);
// True when the entry is a clock alarm: an application containing "clock.exe" (case kept) on a
// trigger of type 4.
bool IsClockAlarm(const NotificationEntry& e);

}  // namespace sim
