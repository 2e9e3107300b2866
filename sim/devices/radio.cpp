#include "sim/devices/radio.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"
#include "sim/scenario/timeline.h"

namespace sim {

namespace {
std::vector<std::uint8_t> Words(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  return out;
}
// The block a notification's payload is handed over in. Under the address sanitizer it is
// exactly the payload's size, so that a read past it is caught there; otherwise the bytes past
// a short payload read as the rest of a power-off report, so that a program that reads past the
// size it was given takes the short report for a confirmation, which the tests see.
std::unique_ptr<std::uint8_t[]> PayloadBlock(const std::vector<std::uint8_t>& payload, bool null_payload) {
  if (null_payload) return nullptr;
  const std::size_t size = payload.size();
#if defined(__SANITIZE_ADDRESS__)
  const std::vector<std::uint8_t> bait;
#else
  const std::vector<std::uint8_t> bait = Words({20, 1, Radio::kStateOff});
#endif
  const std::size_t room = std::max<std::size_t>({size, bait.size(), 1});
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[room]());
  for (std::size_t i = size; i < bait.size(); ++i) block[i] = bait[i];
  if (size > 0) std::memcpy(block.get(), payload.data(), size);
  return block;
}

// How the modem answers the power-off command ([radio] confirm): the first confirms; each other
// spoils the report in its own way, and is a device knob of its own.
struct ConfirmMode {
  const char* name;
  const char* knob;  // the knob's name ("" for the mode that confirms)
};
constexpr ConfirmMode kConfirmModes[] = {{"off", ""},
                                         {"never", "radio never confirms"},
                                         {"other_state", "radio reports another state"},
                                         {"mask_clear", "radio clears the state mask"},
                                         {"short_payload", "radio payload too short"},
                                         {"no_payload", "radio payload missing"}};

}  // namespace

const std::vector<std::string>& Radio::ConfirmModes() {
  static const std::vector<std::string> kNames = [] {
    std::vector<std::string> names;
    for (const ConfirmMode& m : kConfirmModes) names.push_back(m.name);
    return names;
  }();
  return kNames;
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Radio::Declared() {
  static const PartDeclaration kDeclared = [] {
    PartDeclaration d{{"RIL_DevSpecific", "RIL_Initialize"}, {}, {}};
    for (const ConfirmMode& m : kConfirmModes)
      if (*m.knob != '\0') d.knobs.push_back({m.knob, std::string("[radio]\nconfirm = \"") + m.name + "\"\n"});
    d.knobs.push_back({"radio initialisation fails", "[radio]\ninit_result = 0x80004005\n"});
    d.knobs.push_back({"radio command fails", "[radio]\ncommand_result = 0x80004005\n"});
    return d;
  }();
  return kDeclared;
}

void Radio::Configure(const Section& root) {
  auto r = root.Table("radio");
  if (!r) return;
  confirm_ = r->Choice("confirm", ConfirmModes().front(), ConfirmModes());
  confirm_after_ = r->Ms("confirm_after_ms", 1000) * kMicrosPerMs;
  confirm_jitter_ = static_cast<Micros>(r->Int("confirm_jitter_us", 0, 0, 1LL << 40));
  init_result = r->U32("init_result", 0);
  command_result = r->U32("command_result", 0);
  for (const Section& n : r->Tables("notify")) {
    Notification note;
    note.code = n.U32("code", kNotifyRadioState);
    for (std::int64_t w : n.Ints("words", 0, 0xFFFFFFFFLL)) {
      auto bytes = Words({static_cast<std::uint32_t>(w)});
      note.payload.insert(note.payload.end(), bytes.begin(), bytes.end());
    }
    note.null_payload = !n.Has("words");
    extra_.push_back({n.Ms("after_ms", 0) * kMicrosPerMs, note});
    n.CheckNoUnknownKeys();
  }
  r->CheckNoUnknownKeys();
}

std::uintptr_t Radio::Open(void* result_cb, void* notify_cb, std::uint32_t classes, std::uint32_t param) {
  Instance inst;
  inst.result_cb = result_cb;
  inst.notify_cb = notify_cb;
  inst.classes = classes;
  inst.param = param;
  Handset& d = Dev();
  inst.handle = d.OpenHandle(HandleKind::kRil, nullptr, "radio instance", "RIL_Initialize");
  instances_.push_back(inst);
  StartThread();
  return instances_.back().handle;
}

Radio::Instance* Radio::Find(std::uintptr_t handle) {
  for (auto& i : instances_)
    if (i.handle == handle && i.open) return &i;
  return nullptr;
}

void Radio::Command(Instance&, const std::vector<std::uint8_t>& bytes) {
  ++commands;
  std::uint32_t cmd = 0;
  if (bytes.size() == 4) std::memcpy(&cmd, bytes.data(), 4);
  if (bytes.size() != 4 || cmd != kPowerOffCommand) return;
  Handset& d = Dev();
  for (const auto& extra : extra_) {
    const Notification note = extra.second;
    d.kernel.At(d.kernel.Now() + extra.first, "radio notification", [this, note] { Queue(note); });
  }
  if (confirm_ == "never") return;
  Notification n{kNotifyRadioState, Words({20, 1, kStateOff, 0, 0}), false};
  if (confirm_ == "other_state") n.payload = Words({20, 1, 2, 0, 0});
  if (confirm_ == "mask_clear") n.payload = Words({20, 0xFFFFFFFE, kStateOff, 0, 0});
  if (confirm_ == "short_payload") n.payload = Words({20, 1});
  if (confirm_ == "no_payload") {
    n.payload.clear();
    n.null_payload = true;
  }
  const bool really_off =
      confirm_ == "off" || confirm_ == "short_payload" || confirm_ == "no_payload" || confirm_ == "mask_clear";
  d.kernel.At(Jittered(d.kernel.Random(), d.kernel.Now() + confirm_after_, confirm_jitter_), "radio reports its state",
              [this, n, really_off] {
                if (really_off) {
                  state = "off";
                  Dev().Note("radio", "off");
                }
                Queue(n);
              });
}

void Radio::Close(std::uintptr_t handle) {
  if (Instance* inst = Find(handle)) inst->open = false;
}

void Radio::Queue(Notification n) {
  queue_.push_back(std::move(n));
  queue_event_->Set();
}

// The radio layer's thread: hands each notification to every open instance that subscribed to
// its class, in order.
void Radio::StartThread() {
  if (thread_started_) return;
  thread_started_ = true;
  queue_event_ = std::make_shared<EventObject>(false, false);
  Dev().SpawnPlatformThread("radio", [this] {
    for (;;) {
      Dev().kernel.Wait(queue_event_.get(), kNever, "radio thread waits for the modem");
      while (!queue_.empty()) {
        Notification n = std::move(queue_.front());
        queue_.pop_front();
        for (std::size_t i = 0; i < instances_.size(); ++i) {
          Instance* inst = &instances_[i];
          if (!inst->open || (n.code & 0xFFFF0000u & inst->classes) == 0) continue;
          ++notifications_delivered;
          Dev().Note("radio", "notify",
                     {{"code", HexText(n.code)}, {"payload", HexBytes(n.payload.data(), n.payload.size())}});
          auto cb = reinterpret_cast<RILNOTIFYCALLBACK>(inst->notify_cb);
          std::unique_ptr<std::uint8_t[]> block = PayloadBlock(n.payload, n.null_payload);
          Dev().CallInto(inst->handle,
                         [&] { cb(n.code, block.get(), static_cast<DWORD>(n.payload.size()), inst->param); });
        }
      }
    }
  });
}

void Radio::Summarize(Json& out) const {
  Append(out, "radio", state);
  Append(out, "radio_commands", commands);
  Append(out, "radio_notifications", notifications_delivered);
}

}  // namespace sim

using namespace sim;

HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD dwParam, HRIL* lphRil) {
  Call c("RIL_Initialize");
  c.Arg("port", dwIndex).Arg("classes", HexText(dwNotificationClasses)).Arg("param", dwParam);
  auto hr = [&](HRESULT v) { return c.Return<HRESULT>(v, HexText(static_cast<std::uint32_t>(v))); };
  if (lphRil == nullptr || pfnResult == nullptr || pfnNotify == nullptr) {
    c.Misuse("RIL_Initialize without callbacks or a place for the handle");
    return hr(E_INVALIDARG);
  }
  Handset& d = Dev();
  if (d.radio.init_result != 0) return hr(static_cast<HRESULT>(d.radio.init_result));
  if (c.Injected()) return hr(E_FAIL);
  *lphRil = reinterpret_cast<HRIL>(d.radio.Open(reinterpret_cast<void*>(pfnResult), reinterpret_cast<void*>(pfnNotify),
                                                dwNotificationClasses, dwParam));
  c.Arg("handle", HandleValue(*lphRil));
  return hr(S_OK);
}

HRESULT RIL_DevSpecific(HRIL hRil, const BYTE* lpbParams, DWORD dwSize) {
  Call c("RIL_DevSpecific");
  c.Arg("handle", HandleValue(hRil)).Arg("size", dwSize);
  if (lpbParams && dwSize) c.Arg("bytes", HexBytes(lpbParams, dwSize));
  auto hr = [&](HRESULT v) { return c.Return<HRESULT>(v, HexText(static_cast<std::uint32_t>(v))); };
  Handset& d = Dev();
  Radio::Instance* inst = d.radio.Find(reinterpret_cast<std::uintptr_t>(hRil));
  if (inst == nullptr) {
    if (hRil != nullptr) c.Misuse("RIL_DevSpecific on a radio instance that is not open");
    return hr(E_INVALIDARG);
  }
  if (lpbParams == nullptr && dwSize != 0) {
    c.Misuse("RIL_DevSpecific with a size but no bytes");
    return hr(E_INVALIDARG);
  }
  if (d.radio.command_result != 0) return hr(static_cast<HRESULT>(d.radio.command_result));
  if (c.Injected()) return hr(E_FAIL);
  d.radio.Command(*inst, std::vector<std::uint8_t>(lpbParams, lpbParams + dwSize));
  return hr(S_OK);
}

HRESULT RIL_Deinitialize(HRIL hRil) {
  Call c("RIL_Deinitialize");
  c.Arg("handle", HandleValue(hRil));
  Handset& d = Dev();
  Radio::Instance* inst = d.radio.Find(reinterpret_cast<std::uintptr_t>(hRil));
  if (inst == nullptr) {
    if (hRil != nullptr) c.Misuse("RIL_Deinitialize on a radio instance that is not open");
    return c.Return<HRESULT>(E_INVALIDARG, HexText(static_cast<std::uint32_t>(E_INVALIDARG)));
  }
  inst->open = false;
  ++d.radio.deinitialized;
  d.handles.Close(inst->handle);
  return c.Return<HRESULT>(S_OK, 0);
}
