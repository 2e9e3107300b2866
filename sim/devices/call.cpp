#include "sim/devices/call.h"

#include <unordered_map>

#include "sim/devices/handset.h"
#include "sim/devices/libraries.h"
#include "sim/kernel/caller.h"

namespace sim {
namespace {

// What a platform operation touches besides the objects of the handles it is given (the handle
// table keys those) and the names it looks up (the object namespace keys those): the device part
// it works on, nothing shared (kNothing), or something no key describes (kEverything: it reads
// the clock). An operation missing here touches everything, so that a new one is never taken
// for one that commutes.
constexpr std::uint64_t kNothing = 0;
constexpr std::uint64_t kEverything = Kernel::kTouchesAll;

std::uint64_t FootprintOf(std::string_view op) {
  static const auto* const table = [] {
    const auto device = [](std::string_view part) { return TouchKey(TouchKind::kDevice, part); };
    auto* t = new std::unordered_map<std::string_view, std::uint64_t>;
    const auto part = [t](std::uint64_t key, std::initializer_list<std::string_view> ops) {
      for (std::string_view op : ops) t->emplace(op, key);
    };
    part(device("debug output"), {"NKDbgPrintfW"});
    part(device("drivers"), {"CreateFileW", "DeviceIoControl"});
    part(device("files"), {"GetFileSize", "ReadFile"});
    part(device("gpio"), {"GpioSetDirection", "GpioSetValue"});
    part(device("hal"), {"KernelIoControl"});
    part(device("heap"), {"LocalAlloc", "LocalFree"});
    part(device("keyboard"), {"SetWindowsHookExW", "CallNextHookEx", "UnhookWindowsHookEx"});
    part(device("leds"), {"NLedGetDeviceInfo", "NLedSetDevice"});
    part(device("libraries"), {Libraries::kAnimationEntry, "library entry", "LoadLibraryW", "GetProcAddressW"});
    part(device("notifications"), {"CeGetUserNotificationHandles", "CeGetUserNotification"});
    part(device("power"), {"SetSystemPowerState", "SetDevicePower", "PowerPolicyNotify", "SystemIdleTimerReset"});
    part(device("processes"), {"CreateToolhelp32Snapshot", "Process32First", "Process32Next", "CloseToolhelp32Snapshot",
                               "OpenProcess", "TerminateProcess"});
    part(device("radio"), {"RIL_Initialize", "RIL_DevSpecific", "RIL_Deinitialize"});
    part(device("registry"), {"RegOpenKeyExW", "RegQueryValueExW", "RegCloseKey", "RegistryGetString",
                              "RegistryNotifyCallback", "RegistryCloseNotification"});
    part(device("sound"), {"PlaySoundW"});
    part(device("windows"), {"MessageBoxW", "FindWindowW", "SetForegroundWindow", "PostMessageW", "SendMessageW",
                             "EnumWindows", "GetWindowThreadProcessId", "IsWindowVisible"});
    // Kernel objects are keyed by their handles and names; formatting, the resources and the
    // caller's own pid are the same whatever ran before.
    part(kNothing, {"CreateEventW", "SetEvent", "ResetEvent", "CreateMutexW", "ReleaseMutex", "CloseHandle",
                    "WaitForSingleObject", "CreateThread", "Sleep", "StringCchPrintfW", "GetModuleHandleW",
                    "GetModuleFileNameW", "LoadStringW", "GetCurrentProcessId"});
    part(kEverything, {"GetTickCount", "GetLocalTime"});
    return t;
  }();
  const auto it = table->find(op);
  return it == table->end() ? kEverything : it->second;
}

// Adds what the operation `op` touches to the step under way, and keeps it for the rest of the
// call should a wait inside it park the thread (only when footprints are kept).
void TouchOperation(Kernel& kernel, std::string_view op) {
  const std::uint64_t key = FootprintOf(op);
  if (key == kEverything)
    kernel.TouchAll();
  else if (key != kNothing)
    kernel.Touch(key);
  kernel.EnterCallFootprint(key);
}

}  // namespace

Call::Call(Key op, Micros extra, const void* site) : op_(op.text) {
  Handset& d = Dev();
  d.kernel.SwitchPoint(d.CallCost() + extra);
  if (d.kernel.Footprint() != nullptr) TouchOperation(d.kernel, op_);
  Event e;
  e.t_us = d.kernel.Now();
  e.kind = "call";
  e.thread = d.ThreadKey();
  e.pid = d.CurrentPid();
  e.op = op_;
  caller_ = CallerOf(op_, site);
  e.caller = caller_;
  // Room for the arguments most calls have, and for the result and one more member.
  e.args.reserve(4);
  e.more.reserve(2);
  index_ = d.events.Add(std::move(e));
  d.EnterCall(caller_);
}

Call::~Call() {
  if (!finished_) Finish(nullptr);
  Handset& d = Dev();
  d.LeaveCall();
  if (d.kernel.Footprint() != nullptr) d.kernel.LeaveCallFootprint();
  // The call returns into the program, whose code runs on until its next call.
  d.kernel.TouchRunningCode();
}

Event& Call::Record() { return Dev().events.At(index_); }

Call& Call::Arg(Key name, Value value) {
  std::vector<Member>& args = Record().args;
  for (Member& m : args)
    if (m.name == name.text) {
      m.value = std::move(value);
      return *this;
    }
  args.push_back({name.text, std::move(value)});
  return *this;
}

void Call::Set(Key name, Value value) { Record().Set(name.text, std::move(value)); }

bool Call::Injected(std::string_view detail) {
  Handset& d = Dev();
  // A rule that counts this operation's calls makes their order matter.
  if (d.kernel.Footprint() != nullptr && !d.faults.Empty()) d.kernel.Touch(TouchKey(TouchKind::kFaultSite, op_));
  const bool fail = d.faults.ShouldFail(op_, detail);
  if (fail) Record().Set("injected_fault", true);
  return fail;
}

void Call::Misuse(const std::string& what) {
  Record().Set("misuse", what);
  Dev().Note("misuse", op_, {{"what", what}, {"thread", Dev().ThreadName()}});
}

void Call::SetError(unsigned long error) {
  Dev().LastError() = static_cast<std::uint32_t>(error);
  if (error != 0) Record().Set("last_error", error);
}

void Call::Finish(Value result) {
  finished_ = true;
  Record().Set("result", std::move(result));
}

}  // namespace sim
