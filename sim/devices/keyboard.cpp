#include "sim/devices/keyboard.h"

#include <algorithm>
#include <cstdio>

#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

namespace {
std::string KeyName(std::uint32_t vk) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", vk);
  return buf;
}
}  // namespace

void Keyboard::RegisterActions(Timeline& timeline) {
  timeline.Register("key", [this](const Section& e) -> Timeline::Action {
    if (!e.Has("vk")) e.Fail("vk", "missing: the virtual-key code of the key pressed");
    Press press;
    press.vk = static_cast<std::uint32_t>(e.Int("vk", 0, 1, 0xFE));
    press.code = static_cast<int>(e.Int("hook_code", HC_ACTION, -1, 0));
    return [this, press] {
      Press p = press;
      p.at = Dev().kernel.Now();
      Dev().Note("keyboard", "pressed", {{"key", KeyName(p.vk)}, {"hook_code", p.code}});
      Queue(p);
    };
  });
}

std::uintptr_t Keyboard::Install(HOOKPROC proc) {
  Handset& d = Dev();
  const std::uintptr_t h = d.OpenHandle(HandleKind::kHook, nullptr, "keyboard hook", "SetWindowsHookExW");
  chain_.insert(chain_.begin(), Hook{h, proc});
  return h;
}

bool Keyboard::Remove(std::uintptr_t handle) {
  auto it = std::find_if(chain_.begin(), chain_.end(), [&](const Hook& h) { return h.handle == handle; });
  if (it == chain_.end()) return false;
  chain_.erase(it);
  Dev().handles.Close(handle);
  return true;
}

bool Keyboard::Installed(std::uintptr_t handle) const {
  return std::any_of(chain_.begin(), chain_.end(), [&](const Hook& h) { return h.handle == handle; });
}

void Keyboard::Queue(const Press& press) {
  StartThread();
  queue_.push_back(press);
  queue_event_->Set();
}

// The input thread: handles the presses one at a time, in the order they came.
void Keyboard::StartThread() {
  if (thread_started_) return;
  thread_started_ = true;
  queue_event_ = std::make_shared<EventObject>(false, false);
  Dev().SpawnPlatformThread("input", [this] {
    for (;;) {
      Dev().kernel.Wait(queue_event_.get(), kNever, "input thread waits for a key");
      while (!queue_.empty()) {
        const Press press = queue_.front();
        queue_.pop_front();
        Handle(press);
      }
    }
  });
}

// Passes one press to the head of the hook chain; a non-zero result swallows it, otherwise
// it reaches the foreground window.
void Keyboard::Handle(const Press& press) {
  KBDLLHOOKSTRUCT event{};
  event.vkCode = press.vk;
  event.time = static_cast<DWORD>(Dev().kernel.Now() / kMicrosPerMs);
  dispatching_ = chain_;
  position_ = 0;
  LRESULT result = 0;
  if (!dispatching_.empty()) {
    in_dispatch_ = true;
    Dev().CallInto(dispatching_[0].handle,
                   [&] { result = dispatching_[0].proc(press.code, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)); });
    in_dispatch_ = false;
  }
  const std::string fate = result != 0 ? "swallowed by a keyboard hook" : DeliverToForeground();
  keys_.push_back(KeyRecord{press.vk, press.at, Dev().kernel.Now(), fate});
  Dev().Note("keyboard", result != 0 ? "swallowed" : "delivered",
             {{"key", KeyName(press.vk)}, {"hook_code", press.code}, {"fate", fate}});
}

std::string Keyboard::DeliverToForeground() {
  Handset& d = Dev();
  Window* w = d.windows.Find(d.windows.Foreground());
  if (w == nullptr) return "reached no window (nothing in the foreground)";
  const SimProcess* p = d.processes.Find(w->pid);
  return "delivered to the window '" + Narrow(w->title) + "'" + (p ? " of " + Narrow(p->exe) : std::string());
}

LRESULT Keyboard::CallNext(int code, WPARAM wparam, LPARAM lparam, bool& inside) {
  inside = in_dispatch_;
  if (!in_dispatch_ || position_ + 1 >= dispatching_.size()) return 0;
  const std::size_t mine = ++position_;
  LRESULT r = 0;
  Dev().CallInto(dispatching_[mine].handle, [&] { r = dispatching_[mine].proc(code, wparam, lparam); });
  position_ = mine - 1;
  return r;
}

void Keyboard::Summarize(Json& out) const {
  Json keys = Json::array();
  keys.get_ref<Json::array_t&>().reserve(keys_.size());
  for (const auto& k : keys_) {
    Json key = ObjectWithRoom(4);
    Append(key, "key", KeyName(k.vk));
    Append(key, "at_ms", k.pressed / kMicrosPerMs);
    Append(key, "handled_us", k.handled);
    Append(key, "fate", k.fate);
    keys.push_back(std::move(key));
  }
  Append(out, "keys", std::move(keys));
  Append(out, "keyboard_hooks_installed", chain_.size());
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Keyboard::Declared() {
  static const PartDeclaration kDeclared{{"SetWindowsHookExW"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

HHOOK SetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId) {
  Call c("SetWindowsHookExW");
  c.Arg("type", idHook).Arg("module", HandleValue(hmod)).Arg("thread", dwThreadId);
  if (lpfn == nullptr) {
    c.Misuse("SetWindowsHookExW without a hook procedure");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<HHOOK>(nullptr, nullptr);
  }
  if (idHook != WH_KEYBOARD_LL) {
    c.SetError(ERROR_NOT_SUPPORTED);  // only low-level keyboard hooks are simulated
    return c.Return<HHOOK>(nullptr, nullptr);
  }
  if (hmod == nullptr) {
    c.SetError(ERROR_HOOK_NEEDS_HMOD);
    return c.Return<HHOOK>(nullptr, nullptr);
  }
  if (c.Injected()) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return<HHOOK>(nullptr, nullptr);
  }
  HHOOK h = reinterpret_cast<HHOOK>(Dev().keyboard.Install(lpfn));
  c.SetError(ERROR_SUCCESS);
  return c.Return(h, HandleValue(h));
}

LRESULT CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam) {
  Call c("CallNextHookEx");
  c.Arg("hook", HandleValue(hhk)).Arg("code", nCode).Arg("wparam", HexText(wParam));
  Handset& d = Dev();
  // The handset's system ignores the hook handle (the chain is found from the calling hook), so
  // a handle read before the hook came off is no misuse.
  bool inside = false;
  const LRESULT r = d.keyboard.CallNext(nCode, wParam, lParam, inside);
  if (!inside) c.Misuse("CallNextHookEx outside a hook procedure");
  return c.Return<LRESULT>(r, r);
}

BOOL UnhookWindowsHookEx(HHOOK hhk) {
  Call c("UnhookWindowsHookEx");
  c.Arg("hook", HandleValue(hhk));
  if (!Dev().keyboard.Remove(reinterpret_cast<std::uintptr_t>(hhk))) {
    c.Misuse("UnhookWindowsHookEx on a handle that is not an installed hook");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<BOOL>(FALSE, false);
  }
  return c.Return<BOOL>(TRUE, true);
}
