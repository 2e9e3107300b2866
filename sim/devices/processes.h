// The processes running on the handset besides the program, as a toolhelp snapshot lists them:
// in scenario order, with their names as the scenario gives them (directory parts kept), their
// top-level windows, and whether they can be opened and terminated. Fault knobs make the
// snapshot fail or its first record unreadable; a generator adds many processes at once.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/scenario/scenario.h"

namespace sim {

class WindowManager;

struct SimProcess {
  std::u16string exe;  // as the snapshot gives it
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::uint32_t threads = 1;
  std::uint32_t usage = 1;
  std::uint32_t module = 0;
  bool open_fails = false;
  bool terminate_fails = false;
  bool alive = true;
  std::uint32_t exit_code = 0;
  bool terminated = false;
  std::vector<std::uintptr_t> windows;
};

// What a snapshot handle refers to: the records as they were when it was taken.
struct ProcessSnapshot {
  std::vector<PROCESSENTRY32> records;
  std::size_t next = 0;
};

class Processes {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Reads [processes] (snapshot = "ok" | "fails" | "first_unreadable", snapshot_error,
  // extra_processes) and the [[process]] list with the windows of each ([[process.window]]:
  // class, title, visible, on_close, close_after_ms, order, foreground). Windows are created in
  // enumeration order: by `order`, then as listed.
  void Configure(const Section& root, WindowManager& windows);
  // The process with `pid`, alive or not; null when there is none.
  SimProcess* Find(std::uint32_t pid);
  const SimProcess* Find(std::uint32_t pid) const;
  // The records of the live processes, in scenario order, then `more` (further instances of the
  // program, started while the handset runs).
  ProcessSnapshot TakeSnapshot(const std::vector<SimProcess>& more = {}) const;
  // Ends a process with `exit_code`; its windows close with it.
  void Terminate(SimProcess& p, std::uint32_t exit_code);
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

  std::string snapshot = "ok";
  std::uint32_t snapshot_error = ERROR_NOT_ENOUGH_MEMORY;

 private:
  struct WindowSpec;
  void AddProcess(const Section& entry, std::vector<WindowSpec>& specs);
  void AddExtras(std::int64_t count, std::vector<WindowSpec>& specs);
  std::string StateOf(const SimProcess& p) const;

  std::deque<SimProcess> procs_;
};

}  // namespace sim
