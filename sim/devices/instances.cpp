#include "sim/devices/instances.h"

#include <algorithm>

#include "sim/base/text.h"

namespace sim {

namespace {

// The words of a command line as the program's start-up splits it: at white space, with a pair
// of double quotes grouping and removed.
std::vector<std::string> Words(const std::u16string& line) {
  std::vector<std::string> words;
  std::u16string word;
  bool quoted = false, any = false;
  for (char16_t c : line) {
    if (c == u'"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == u' ' || c == u'\t')) {
      if (any) words.push_back(Narrow(word));
      word.clear();
      any = false;
    } else {
      word.push_back(c);
      any = true;
    }
  }
  if (any) words.push_back(Narrow(word));
  return words;
}

}  // namespace

ProgramInstance& ProgramInstances::Add(std::u16string command_line, std::uint32_t pid, Micros at) {
  ProgramInstance inst;
  inst.process = static_cast<ProcessId>(list_.size()) + kFirstProgram;
  inst.pid = pid;
  inst.args = Words(command_line);
  inst.command_line = std::move(command_line);
  inst.started_at = at;
  if (!list_.empty()) {
    // The variables in place stay those of the process that runs; the new one's are a fresh
    // process's, made by the reset and kept aside until its first thread runs.
    const ProgramImage running = ProgramImage::Capture();
    ResetProgramImage();
    inst.image = ProgramImage::Capture();
    running.Restore();
  }
  list_.push_back(std::move(inst));
  return list_.back();
}

ProgramInstance* ProgramInstances::Find(ProcessId process) {
  const auto i = static_cast<std::size_t>(process - kFirstProgram);
  return process >= kFirstProgram && i < list_.size() ? &list_[i] : nullptr;
}

const ProgramInstance* ProgramInstances::Find(ProcessId process) const {
  return const_cast<ProgramInstances*>(this)->Find(process);
}

std::uint32_t ProgramInstances::PidOf(ProcessId process, std::uint32_t otherwise) const {
  const ProgramInstance* inst = Find(process);
  return inst != nullptr ? inst->pid : otherwise;
}

std::string ProgramInstances::ThreadName(ProcessId process, const std::string& name) {
  return process <= kFirstProgram ? name : std::to_string(process) + ":" + name;
}

ProgramInstances::NamedInstance ProgramInstances::InstanceOfThread(std::string_view thread) {
  // Instances are numbered from 2 and never reach five digits; a name with no text after the
  // colon is not of the form.
  std::size_t digits = 0;
  ProcessId process = 0;
  while (digits < thread.size() && digits < 5 && thread[digits] >= '0' && thread[digits] <= '9')
    process = process * 10 + (thread[digits++] - '0');
  if (digits == 0 || digits > 4 || digits + 1 >= thread.size() || thread[digits] != ':') return {};
  return {process, digits + 1};
}

void ProgramInstances::Swap(ProcessId from, ProcessId to) {
  if (ProgramInstance* out = Find(from)) out->image = ProgramImage::Capture();
  if (const ProgramInstance* in = Find(to)) in->image.Restore();
}

int ProgramInstances::Running() const {
  return static_cast<int>(std::count_if(list_.begin(), list_.end(), [](const auto& i) { return !i.ended_at; }));
}

void ProgramInstances::Summarize(Json& out) const {
  Json all = Json::array();
  for (const ProgramInstance& inst : list_) {
    Json one = ObjectWithRoom(8);
    Append(one, "instance", inst.process);
    Append(one, "pid", inst.pid);
    Append(one, "command_line", Narrow(inst.command_line));
    Append(one, "args", inst.args);
    Append(one, "started_ms", inst.started_at / kMicrosPerMs);
    Append(one, "ended", inst.ended_at.has_value());
    Append(one, "exit_code", inst.ended_at ? Json(inst.exit_code) : Json());
    if (inst.ended_at) Append(one, "ended_ms", *inst.ended_at / kMicrosPerMs);
    all.push_back(std::move(one));
  }
  Append(out, "instances", std::move(all));
}

}  // namespace sim
