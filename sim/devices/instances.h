// The instances of the program running on the handset. The run starts the program once; a
// scenario's timeline may start it again while it runs, as the shell does when the power key is
// pressed during a prompt. Each instance is a process of its own: its pid, its threads (named
// "2:main", "2:AutoShutdownThread"... from the second on), its command line and its own copy of
// the program's variables. Everything else (named objects, windows, the registry, the devices)
// is the handset's and shared, as on the real system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/devices/program_image.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"

namespace sim {

struct ProgramInstance {
  ProcessId process = kFirstProgram;
  std::uint32_t pid = 0;
  std::u16string command_line;
  std::vector<std::string> args;  // the words of the command line, as the summary lists them
  Micros started_at = 0;
  std::optional<Micros> ended_at;  // set once its main routine has returned
  int exit_code = 0;
  int threads_ended = 0;   // threads the end of the process took with it
  int handles_closed = 0;  // handles the end of the process closed for it
  ProgramImage image;      // its variables while another process's are in place
};

class ProgramInstances {
 public:
  // Adds the next instance (process 1, 2, ...) with `pid`, about to start at `at`. The first
  // runs on the variables in place; a further one gets those of a fresh process.
  ProgramInstance& Add(std::u16string command_line, std::uint32_t pid, Micros at);
  // The instance that is process `process`, or null (the handset's own threads).
  ProgramInstance* Find(ProcessId process);
  const ProgramInstance* Find(ProcessId process) const;
  // The pid of `process`; `otherwise` for the handset's own threads.
  std::uint32_t PidOf(ProcessId process, std::uint32_t otherwise) const;
  // A thread's name as views show it: the first instance's as given, a further one's with its
  // number in front ("2:main").
  static std::string ThreadName(ProcessId process, const std::string& name);
  // Reads ThreadName's form back: the instance a thread's name says it runs for (N for "N:name",
  // the first for a name without a number in front), and the length of the "N:" in front.
  struct NamedInstance {
    ProcessId process = kFirstProgram;
    std::size_t prefix = 0;
  };
  static NamedInstance InstanceOfThread(std::string_view thread);
  // Puts the variables of `to` in place, keeping those of `from` in its image.
  void Swap(ProcessId from, ProcessId to);
  // Instances that have started and not ended.
  int Running() const;
  std::size_t Count() const { return list_.size(); }
  const std::vector<ProgramInstance>& All() const { return list_; }

  // Starts of the program still to come on the timeline: the run goes on while one is due.
  int pending_starts = 0;

  // Appends "instances" to the summary `out`.
  void Summarize(Json& out) const;

 private:
  std::vector<ProgramInstance> list_;
};

}  // namespace sim
