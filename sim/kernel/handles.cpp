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
  // An object reached again through a new handle keeps the key it has: all handles to one
  // object touch the same thing.
  std::uint64_t key = TouchKey(TouchKind::kObject, value);
  if (footprint_ != nullptr && object != nullptr) {
    for (const auto& [open_value, entry] : open_)
      if (entry.object == object) {
        key = entry.key;
        break;
      }
    footprint_->Touch(key);
  }
  open_[value] = HandleEntry{value,
                             kind,
                             std::move(object),
                             std::move(label),
                             std::move(opened_by),
                             std::move(caller),
                             std::move(thread),
                             at,
                             process,
                             key};
  return value;
}

void HandleTable::KeyObject(std::uintptr_t value, std::uint64_t key) {
  auto it = open_.find(value);
  if (it == open_.end()) return;
  it->second.key = key;
  if (footprint_ != nullptr) footprint_->Touch(key);
}

HandleEntry* HandleTable::Find(std::uintptr_t value) {
  auto it = open_.find(value);
  if (it == open_.end()) {
    // Whether a handle is still open depends on whether its close ran first.
    if (footprint_ != nullptr) footprint_->Touch(TouchKey(TouchKind::kObject, value));
    return nullptr;
  }
  if (footprint_ != nullptr) footprint_->Touch(it->second.key);
  return &it->second;
}

HandleEntry* HandleTable::Find(std::uintptr_t value, HandleKind kind) {
  HandleEntry* e = Find(value);
  return e != nullptr && e->kind == kind ? e : nullptr;
}

bool HandleTable::Close(std::uintptr_t value) {
  auto it = open_.find(value);
  if (it == open_.end()) return false;
  if (footprint_ != nullptr) {
    footprint_->Touch(it->second.key);
    footprint_->Touch(TouchKey(TouchKind::kObject, value));  // the value itself, for a later use of it
  }
  open_.erase(it);
  return true;
}

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
