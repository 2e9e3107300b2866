#include "sim/kernel/handles.h"

namespace sim {

const char* KindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::kEvent:
      return "event";
    case HandleKind::kMutex:
      return "mutex";
    case HandleKind::kThread:
      return "thread";
    case HandleKind::kFile:
      return "file";
    case HandleKind::kDevice:
      return "device";
    case HandleKind::kProcess:
      return "process";
    case HandleKind::kSnapshot:
      return "snapshot";
    case HandleKind::kKey:
      return "registry key";
    case HandleKind::kHook:
      return "hook";
    case HandleKind::kRegNotify:
      return "registry notification";
    case HandleKind::kRil:
      return "radio instance";
    case HandleKind::kModule:
      return "module";
    case HandleKind::kNotification:
      return "notification";
  }
  return "?";
}

std::uintptr_t HandleTable::Insert(HandleKind kind, std::shared_ptr<void> object, std::string label,
                                   std::string opened_by, std::string caller, std::string thread, Micros at,
                                   ProcessId process) {
  const std::uintptr_t value = next_;
  next_ += 4;
  open_[value] = HandleEntry{
      value, kind,   std::move(object), std::move(label), std::move(opened_by), std::move(caller), std::move(thread),
      at,    process};
  return value;
}

HandleEntry* HandleTable::Find(std::uintptr_t value) {
  auto it = open_.find(value);
  return it == open_.end() ? nullptr : &it->second;
}

HandleEntry* HandleTable::Find(std::uintptr_t value, HandleKind kind) {
  HandleEntry* e = Find(value);
  return e != nullptr && e->kind == kind ? e : nullptr;
}

bool HandleTable::Close(std::uintptr_t value) { return open_.erase(value) == 1; }

bool HandleTable::WasClosed(std::uintptr_t value) const {
  return value >= 0x1000 && value < next_ && value % 4 == 0 && open_.count(value) == 0;
}

std::vector<const HandleEntry*> HandleTable::Open() const {
  std::vector<const HandleEntry*> out;
  for (const auto& [value, entry] : open_) out.push_back(&entry);
  return out;
}

std::vector<std::uintptr_t> HandleTable::HeldBy(ProcessId process) const {
  std::vector<std::uintptr_t> out;
  for (const auto& [value, entry] : open_)
    if (entry.process == process) out.push_back(value);
  return out;
}

}  // namespace sim
