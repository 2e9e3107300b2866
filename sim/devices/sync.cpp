// Events, mutexes, threads, waits, sleep and the tick count.
#include "sim/devices/sync.h"

#include <dlfcn.h>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"
#include "sim/kernel/caller.h"

namespace sim {

std::string EventObject::Describe() const { return name.empty() ? "an unnamed event" : "event '" + Narrow(name) + "'"; }

std::string MutexObject::Describe() const { return "mutex '" + Narrow(name) + "'"; }

bool MutexObject::Release(ThreadId thread) {
  if (owner_ != thread || count_ == 0) return false;
  if (--count_ == 0) owner_ = -1;
  return true;
}

void SyncObjects::Configure(const Section& root) {
  for (const Section& proc : root.Tables("other_process")) {
    for (const auto& name : proc.Strings("mutexes")) ForeignHoldMutex(Wide(name));
  }
}

std::shared_ptr<NamedObject> SyncObjects::FindName(const std::u16string& name) const {
  Dev().kernel.Touch(NameKey(name));
  auto it = names_.find(name);
  if (it == names_.end()) return nullptr;
  auto obj = it->second.lock();
  if (!obj) names_.erase(it);
  return obj;
}

void SyncObjects::Register(const std::shared_ptr<NamedObject>& obj) {
  Dev().kernel.Touch(NameKey(obj->name));
  names_[obj->name] = obj;
}

std::uint64_t SyncObjects::NameKey(const std::u16string& name) { return TouchKey(TouchKind::kName, name); }

void SyncObjects::ForeignHoldMutex(const std::u16string& name) {
  auto existing = FindName(name);
  auto mutex = std::dynamic_pointer_cast<MutexObject>(existing);
  if (!mutex) {
    mutex = std::make_shared<MutexObject>();
    mutex->name = name;
    Register(mutex);
    mutex->TakeForeign();
  }
  ++mutex->foreign_holds;
  foreign_[name] = mutex;
}

void SyncObjects::ForeignReleaseMutex(const std::u16string& name) {
  auto it = foreign_.find(name);
  if (it == foreign_.end()) return;
  auto mutex = std::static_pointer_cast<MutexObject>(it->second);
  if (mutex->Owner() == MutexObject::kForeignOwner) mutex->Release(MutexObject::kForeignOwner);
  if (--mutex->foreign_holds <= 0) foreign_.erase(it);
}

void SyncObjects::Summarize(Json& out) const {
  Json names = Json::array();
  for (const auto& [name, weak] : names_)
    if (!weak.expired()) names.push_back(Narrow(name));
  Append(out, "named_objects", std::move(names));
}

namespace {

std::string RoutineName(const void* fn) {
  Dl_info info{};
  const char* raw = fn != nullptr ? ExportedFunctionAt(fn) : nullptr;
  if (raw == nullptr && fn != nullptr && dladdr(fn, &info) != 0) raw = info.dli_sname;
  if (raw != nullptr) {
    std::string name = raw;
    // Itanium-mangled free functions without namespace: _Z<len><name>...
    if (name.rfind("_Z", 0) == 0) {
      std::size_t i = 2, len = 0;
      while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])))
        len = len * 10 + static_cast<std::size_t>(name[i++] - '0');
      if (len > 0 && i + len <= name.size()) return name.substr(i, len);
    }
    return name;
  }
  return {};
}

HANDLE NewHandle(HandleKind kind, std::shared_ptr<void> obj, std::string label, const char* op) {
  Handset& d = Dev();
  return reinterpret_cast<HANDLE>(d.OpenHandle(kind, std::move(obj), std::move(label), op));
}

// A handle to a named object: every step that uses it touches the name, as those that look the
// name up do (closing the last handle frees the name for the next create).
HANDLE NewNamedHandle(HandleKind kind, const std::shared_ptr<NamedObject>& obj, std::string label, const char* op) {
  HANDLE h = NewHandle(kind, obj, std::move(label), op);
  if (!obj->name.empty() && Dev().kernel.Footprint() != nullptr)
    Dev().handles.KeyObject(reinterpret_cast<std::uintptr_t>(h), SyncObjects::NameKey(obj->name));
  return h;
}

std::uintptr_t HandleBits(HANDLE h) { return reinterpret_cast<std::uintptr_t>(h); }

// The object behind `h` when it is an open handle of `kind`; otherwise records the misuse, sets
// ERROR_INVALID_HANDLE and returns null.
template <class T>
T* OpenObject(Call& c, HANDLE h, HandleKind kind, const char* op) {
  T* obj = Dev().handles.Object<T>(HandleBits(h), kind);
  if (obj == nullptr) {
    c.Misuse(std::string(op) + " on a handle that is not an open " + KindName(kind));
    c.SetError(ERROR_INVALID_HANDLE);
  }
  return obj;
}

}  // namespace
// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& SyncObjects::Declared() {
  static const PartDeclaration kDeclared{
      {"CreateEventW", "CreateMutexW", "CreateThread", "SetEvent", "WaitForSingleObject"},
      {"CreateMutexW.already_exists_lost"},
      {{"another instance holds every name",
        "[[other_process]]\nmutexes = [\"LpShutDown\", \"UIShutDown\", \"UIAutoShutDown\", \"NormalShutdown\"]\n"
        "box = { title = \"Warning\" }\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  Call c("CreateEventW");
  const std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
  c.Arg("manual_reset", bManualReset != 0).Arg("initial_state", bInitialState != 0);
  c.Arg("name", lpName ? Value(Narrow(name)) : Value(nullptr));
  if (c.Injected(Narrow(name))) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return<HANDLE>(nullptr, nullptr);
  }
  Handset& d = Dev();
  std::shared_ptr<EventObject> ev;
  if (!name.empty()) {
    if (auto existing = d.sync.FindName(name)) {
      ev = std::dynamic_pointer_cast<EventObject>(existing);
      if (!ev) {
        c.SetError(ERROR_INVALID_HANDLE);  // the name belongs to an object of another kind
        return c.Return<HANDLE>(nullptr, nullptr);
      }
      HANDLE h = NewNamedHandle(HandleKind::kEvent, ev, ev->Describe(), "CreateEventW");
      c.SetError(ERROR_ALREADY_EXISTS);
      return c.Return(h, HandleValue(h));
    }
  }
  ev = std::make_shared<EventObject>(bManualReset != 0, bInitialState != 0);
  ev->name = name;
  if (!name.empty()) d.sync.Register(ev);
  HANDLE h = NewNamedHandle(HandleKind::kEvent, ev, ev->Describe(), "CreateEventW");
  c.SetError(ERROR_SUCCESS);
  return c.Return(h, HandleValue(h));
}

BOOL SetEvent(HANDLE hEvent) {
  Call c("SetEvent");
  c.Arg("handle", HandleValue(hEvent));
  auto* ev = OpenObject<EventObject>(c, hEvent, HandleKind::kEvent, "SetEvent");
  if (ev == nullptr) return c.Return<BOOL>(FALSE, false);
  if (c.Injected(Narrow(ev->name))) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  ev->Set();
  ++ev->sets;
  return c.Return<BOOL>(TRUE, true);
}

BOOL ResetEvent(HANDLE hEvent) {
  Call c("ResetEvent");
  c.Arg("handle", HandleValue(hEvent));
  auto* ev = OpenObject<EventObject>(c, hEvent, HandleKind::kEvent, "ResetEvent");
  if (ev == nullptr) return c.Return<BOOL>(FALSE, false);
  ev->Reset();
  return c.Return<BOOL>(TRUE, true);
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  Call c("CreateMutexW");
  const std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
  c.Arg("initial_owner", bInitialOwner != 0).Arg("name", lpName ? Value(Narrow(name)) : Value(nullptr));
  if (c.Injected(Narrow(name))) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return<HANDLE>(nullptr, nullptr);
  }
  Handset& d = Dev();
  if (!name.empty()) {
    if (auto existing = d.sync.FindName(name)) {
      auto mutex = std::dynamic_pointer_cast<MutexObject>(existing);
      if (!mutex) {
        c.SetError(ERROR_INVALID_HANDLE);
        return c.Return<HANDLE>(nullptr, nullptr);
      }
      // The name exists: a handle to the same mutex, without ownership.
      HANDLE h = NewNamedHandle(HandleKind::kMutex, mutex, mutex->Describe(), "CreateMutexW");
      if (!d.faults.ShouldFail("CreateMutexW.already_exists_lost", Narrow(name)))
        c.SetError(ERROR_ALREADY_EXISTS);
      else
        c.SetError(ERROR_SUCCESS);  // canary: a platform that forgets to report the name
      c.Set("already_existed", true);
      return c.Return(h, HandleValue(h));
    }
  }
  auto mutex = std::make_shared<MutexObject>();
  mutex->name = name;
  if (bInitialOwner) mutex->Acquire(d.kernel.Current());
  if (!name.empty()) d.sync.Register(mutex);
  HANDLE h = NewNamedHandle(HandleKind::kMutex, mutex, mutex->Describe(), "CreateMutexW");
  c.SetError(ERROR_SUCCESS);
  return c.Return(h, HandleValue(h));
}

BOOL ReleaseMutex(HANDLE hMutex) {
  Call c("ReleaseMutex");
  c.Arg("handle", HandleValue(hMutex));
  auto* mutex = OpenObject<MutexObject>(c, hMutex, HandleKind::kMutex, "ReleaseMutex");
  if (mutex == nullptr) return c.Return<BOOL>(FALSE, false);
  if (!mutex->Release(Dev().kernel.Current())) {
    c.SetError(ERROR_NOT_OWNER);
    return c.Return<BOOL>(FALSE, false);
  }
  return c.Return<BOOL>(TRUE, true);
}

BOOL CloseHandle(HANDLE hObject) {
  Call c("CloseHandle");
  c.Arg("handle", HandleValue(hObject));
  Handset& d = Dev();
  HandleEntry* e = d.handles.Find(HandleBits(hObject));
  if (e == nullptr) {
    if (hObject != nullptr) c.Misuse("CloseHandle on a handle that is not open");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<BOOL>(FALSE, false);
  }
  c.Arg("object", e->label);
  d.handles.Close(HandleBits(hObject));
  return c.Return<BOOL>(TRUE, true);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  Call c("WaitForSingleObject");
  c.Arg("handle", HandleValue(hHandle))
      .Arg("timeout_ms", dwMilliseconds == INFINITE ? Value("INFINITE") : Value(dwMilliseconds));
  Handset& d = Dev();
  HandleEntry* e = d.handles.Find(HandleBits(hHandle));
  if (e == nullptr ||
      (e->kind != HandleKind::kEvent && e->kind != HandleKind::kMutex && e->kind != HandleKind::kThread)) {
    c.Misuse("WaitForSingleObject on a handle that is not a waitable object");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<DWORD>(WAIT_FAILED, "WAIT_FAILED");
  }
  c.Arg("object", e->label);
  if (c.Injected(e->label)) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<DWORD>(WAIT_FAILED, "WAIT_FAILED");
  }
  Waitable* w = e->kind == HandleKind::kThread ? d.kernel.ThreadWaitable(*static_cast<ThreadId*>(e->object.get()))
                                               : static_cast<Waitable*>(static_cast<NamedObject*>(e->object.get()));
  const Micros timeout = dwMilliseconds == INFINITE ? kNever : Micros{dwMilliseconds} * kMicrosPerMs;
  auto keep = e->object;  // the object outlives a close of the handle during the wait
  const WaitOutcome r = d.kernel.Wait(w, timeout, "WaitForSingleObject on " + e->label);
  c.Set("t_end_us", d.kernel.Now());
  if (r == WaitOutcome::kSignaled) return c.Return<DWORD>(WAIT_OBJECT_0, "WAIT_OBJECT_0");
  return c.Return<DWORD>(WAIT_TIMEOUT, "WAIT_TIMEOUT");
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD /*dwStackSize: fibers size their own stacks*/,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId) {
  Call c("CreateThread");
  std::string routine = RoutineName(reinterpret_cast<const void*>(lpStartAddress));
  c.Arg("routine", routine.empty() ? Value(nullptr) : Value(routine))
      .Arg("parameter", lpParameter != nullptr ? Value("set") : Value(nullptr))
      .Arg("flags", dwCreationFlags);
  if (lpStartAddress == nullptr) {
    c.Misuse("CreateThread without a start routine");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<HANDLE>(nullptr, nullptr);
  }
  if (c.Injected(routine)) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return<HANDLE>(nullptr, nullptr);
  }
  Handset& d = Dev();
  if (routine.empty()) routine = d.sync.NextUnnamedThread();
  const ThreadId tid = d.SpawnProgramThread(routine, [lpStartAddress, lpParameter] { lpStartAddress(lpParameter); });
  if (lpThreadId != nullptr) *lpThreadId = static_cast<DWORD>(0x100 + tid);
  HANDLE h =
      NewHandle(HandleKind::kThread, std::make_shared<ThreadId>(tid), "thread '" + routine + "'", "CreateThread");
  c.SetError(ERROR_SUCCESS);
  c.Return(h, HandleValue(h));
  d.kernel.Yield(tid);  // with the fixed order, a new thread starts at once
  return h;
}

void Sleep(DWORD dwMilliseconds) {
  Call c("Sleep");
  c.Arg("ms", dwMilliseconds);
  Dev().kernel.Wait(nullptr, dwMilliseconds == INFINITE ? kNever : Micros{dwMilliseconds} * kMicrosPerMs,
                    "Sleep(" + std::to_string(dwMilliseconds) + ")");
  c.Set("t_end_us", Dev().kernel.Now());
  c.Done();
}

DWORD GetTickCount(void) {
  Call c("GetTickCount");
  const DWORD ms = static_cast<DWORD>(Dev().kernel.Now() / kMicrosPerMs + Dev().clock.TickOffsetMs());
  return c.Return(ms, ms);
}

DWORD GetLastError(void) {
  // Reading the last error is not a switch point: it must see the value of the call before.
  return Dev().LastError();
}

void SetLastError(DWORD dwErrCode) { Dev().LastError() = dwErrCode; }
