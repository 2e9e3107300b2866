#include "sim/devices/libraries.h"

#include <algorithm>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

void Libraries::Configure(const Section& root) {
  for (const Section& entry : root.Tables("library")) {
    Library lib;
    lib.path = Wide(entry.String("path", ""));
    if (lib.path.empty()) entry.Fail("path", "missing: the library's full path on the handset");
    if (Find(lib.path) != nullptr) entry.Fail("path", "the library is listed twice");
    lib.exports = entry.Strings("exports");
    lib.plays = entry.Ms("plays_ms", 2000) * kMicrosPerMs;
    lib.uses_call_event_after = entry.Ms("uses_call_event_after_return_ms", 0) * kMicrosPerMs;
    entry.CheckNoUnknownKeys();
    libraries_.push_back(std::move(lib));
  }
}

Library* Libraries::Find(std::u16string_view path) {
  for (auto& lib : libraries_)
    if (EqualsNoCase(lib.path, path)) return &lib;
  return nullptr;
}

Library* Libraries::Load(std::u16string_view path) {
  Library* lib = Find(path);
  if (lib == nullptr && path.find(u'\\') == std::u16string_view::npos)
    lib = Find(u"\\Windows\\" + std::u16string(path));
  if (lib == nullptr) return nullptr;
  if (lib->module == 0) {
    lib->module = next_module_;
    next_module_ += 0x00100000;
  }
  ++lib->loads;
  return lib;
}

Library* Libraries::FindModule(std::uintptr_t module) {
  for (auto& lib : libraries_)
    if (lib.module != 0 && lib.module == module) return &lib;
  return nullptr;
}

void* Libraries::Entry(Library& lib, const std::string& entry) {
  if (std::find(lib.exports.begin(), lib.exports.end(), entry) == lib.exports.end()) return nullptr;
  if (entry != kAnimationEntry) return reinterpret_cast<void*>(&Libraries::OtherEntry);
  animation_ = &lib;
  return reinterpret_cast<void*>(&Libraries::DoShutdownAnimation);
}

void Libraries::RunAnimation(Library& lib, AnimationCall& call) {
  Handset& d = Dev();
  d.Note("animation", "plays", {{"library", Narrow(lib.path)}, {"ms", lib.plays / kMicrosPerMs}});
  d.kernel.Wait(nullptr, lib.plays, "animation plays");
  call.returned = d.kernel.Now();
  call.returned_yet = true;
  d.Note("animation", "returns");
}

// The module keeps its third argument and, `after` the entry returned, signals it: harmless
// while the caller still holds the event, a use of a dead handle once the caller closed it.
void Libraries::UseCallEventLater(std::size_t index, Micros after) {
  Handset& d = Dev();
  d.kernel.At(d.kernel.Now() + after, "animation library uses its call event", [this, index] {
    Handset& dev = Dev();
    AnimationCall& call = animation_calls_[index];
    const std::uintptr_t h = call.args[2];
    if (auto* ev = dev.handles.Object<EventObject>(h, HandleKind::kEvent)) {
      ev->Set();
      dev.Note("animation", "signals_call_event", {{"handle", HexText(h)}});
      return;
    }
    call.used_closed_handle = true;
    const std::string what = "animation library would use a closed handle";
    dev.Note("misuse", "DoShutdownAnimation", {{"what", what}, {"handle", HexText(h)}});
    dev.events.At(dev.events.Events().size() - 1).Set("misuse", what);
  });
}

std::uint32_t Libraries::DoShutdownAnimation(std::uint32_t reserved, std::uint32_t done_event,
                                             std::uint32_t call_event) {
  Call c(kAnimationEntry);
  c.Arg("reserved", reserved)
      .Arg("done_event", done_event ? Value(HexText(done_event)) : Value())
      .Arg("call_event", call_event ? Value(HexText(call_event)) : Value());
  Handset& d = Dev();
  Libraries& self = d.libraries;
  if (self.animation_ == nullptr) {
    c.Misuse("an animation entry called without GetProcAddressW");
    return c.Return<std::uint32_t>(0, 0);
  }
  AnimationCall& call = self.animation_calls_.emplace_back();
  call.args[0] = reserved;
  call.args[1] = done_event;
  call.args[2] = call_event;
  call.started = d.kernel.Now();
  const HandleEntry* e = d.handles.Find(call_event);
  call.call_event = e ? e->label : call_event ? "not an open handle" : "null";
  self.RunAnimation(*self.animation_, call);
  if (self.animation_->uses_call_event_after > 0)
    self.UseCallEventLater(self.animation_calls_.size() - 1, self.animation_->uses_call_event_after);
  c.Set("t_end_us", d.kernel.Now());
  return c.Return<std::uint32_t>(0, 0);
}

namespace {
// The program's successful CloseHandle of `handle` at or after `from`, or null.
const Event* FindClose(const EventLog& log, std::uint32_t handle, Micros from) {
  const std::string shown = HexText(handle);
  for (const Event& e : log.Events()) {
    if (e.op != "CloseHandle" || e.t_us < from) continue;
    const Value* h = e.Arg("handle");
    const Value* result = e.Get("result");
    if (h && h->Text() == shown && result && *result == Value(true)) return &e;
  }
  return nullptr;
}
}  // namespace

long Libraries::OtherEntry() {
  Call c("library entry");
  c.Misuse("a library entry that the handset does not simulate was called");
  return c.Return<long>(0, 0);
}

void Libraries::Summarize(Json& out) const {
  Json loaded = Json::array();
  for (const auto& lib : libraries_)
    if (lib.module != 0) loaded.push_back(Narrow(lib.path));
  Append(out, "libraries_loaded", std::move(loaded));
  Json calls = Json::array();
  Handset& d = Dev();
  for (const auto& call : animation_calls_) {
    Json j = ObjectWithRoom(7);
    Append(j, "args",
           Json{call.args[0], call.args[1] ? Json(HexText(call.args[1])) : Json(nullptr),
                call.args[2] ? Json(HexText(call.args[2])) : Json(nullptr)});
    Append(j, "call_event", call.call_event);
    Append(j, "started_ms", call.started / kMicrosPerMs);
    Append(j, "played_ms", call.returned_yet ? Json((call.returned - call.started) / kMicrosPerMs) : Json(nullptr));
    Append(j, "call_event_closed", d.handles.WasClosed(call.args[2]));
    if (call.returned_yet)
      if (const Event* closed = FindClose(d.events, call.args[2], call.started))
        Append(j, "call_event_closed_after_us", closed->t_us - call.returned);
    Append(j, "used_closed_handle", call.used_closed_handle);
    calls.push_back(std::move(j));
  }
  Append(out, "animation_calls", std::move(calls));
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Libraries::Declared() {
  static const PartDeclaration kDeclared{
      {"GetProcAddressW", "LoadLibraryW"},
      {},
      {{"animation library without its entry",
        "[[library]]\npath = '\\Windows\\ShutdownAnimation.dll'\nexports = []\n"},
       {"animation library missing", "library = []\n"},
       {"no animation registered",
        "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  Call c("LoadLibraryW");
  c.Arg("name", Narrow(lpLibFileName));
  if (lpLibFileName == nullptr) {
    c.Misuse("LoadLibraryW without a name");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<HMODULE>(nullptr, nullptr);
  }
  Library* lib = c.Injected(Narrow(lpLibFileName)) ? nullptr : Dev().libraries.Load(lpLibFileName);
  if (lib == nullptr) {
    c.SetError(ERROR_MOD_NOT_FOUND);
    return c.Return<HMODULE>(nullptr, nullptr);
  }
  HMODULE h = reinterpret_cast<HMODULE>(lib->module);
  c.SetError(ERROR_SUCCESS);
  return c.Return(h, HandleValue(h));
}

FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
  Call c("GetProcAddressW");
  c.Arg("module", HandleValue(hModule)).Arg("name", Narrow(lpProcName));
  Library* lib = Dev().libraries.FindModule(reinterpret_cast<std::uintptr_t>(hModule));
  if (lib == nullptr || lpProcName == nullptr) {
    c.Misuse("GetProcAddressW on a value that is not a loaded module, or without a name");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<FARPROC>(nullptr, nullptr);
  }
  void* entry = c.Injected(Narrow(lpProcName)) ? nullptr : Dev().libraries.Entry(*lib, Narrow(lpProcName));
  if (entry == nullptr) {
    c.SetError(ERROR_PROC_NOT_FOUND);
    return c.Return<FARPROC>(nullptr, nullptr);
  }
  c.SetError(ERROR_SUCCESS);
  return c.Return(reinterpret_cast<FARPROC>(entry), Value("entry"));
}
