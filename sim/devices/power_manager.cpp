#include "sim/devices/power_manager.h"

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

void PowerManager::Configure(const Section& root) {
  if (auto p = root.Table("power")) {
    suspend_ends_run = p->Choice("suspend", "returns", {"returns", "ends_run"}) == "ends_run";
    suspend_delay = p->Ms("suspend_returns_after_ms", 0) * kMicrosPerMs;
    p->CheckNoUnknownKeys();
  }
}

void PowerManager::Summarize(Json& out) const {
  Append(out, "power_state", system_state);
  Append(out, "backlight", backlight_state == 4 ? "off (D4)" : "on (D" + std::to_string(backlight_state) + ")");
  Append(out, "suspend_requests", suspends_requested);
  Append(out, "unattended_mode", unattended_level > 0);
  Append(out, "idle_timer_resets", idle_resets);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& PowerManager::Declared() {
  static const PartDeclaration kDeclared{
      {"PowerPolicyNotify", "SetDevicePower", "SetSystemPowerState"},
      {},
      {{"forced suspend returns after 90 s", "[power]\nsuspend_returns_after_ms = 90000\n"},
       {"forced suspend ends the run", "[power]\nsuspend = \"ends_run\"\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

DWORD SetSystemPowerState(LPCWSTR pwsSystemState, DWORD StateFlags, DWORD Options) {
  Call c("SetSystemPowerState");
  c.Arg("state_name", pwsSystemState ? Value(Narrow(pwsSystemState)) : Value(nullptr))
      .Arg("flags", HexText(StateFlags))
      .Arg("options", HexText(Options));
  Handset& d = Dev();
  if (c.Injected(std::to_string(StateFlags))) return c.Return<DWORD>(ERROR_GEN_FAILURE, ERROR_GEN_FAILURE);
  PowerManager& pm = d.power;
  if (StateFlags == POWER_STATE_SUSPEND) {
    ++pm.suspends_requested;
    pm.system_state = "suspended";
    pm.requests.push_back("suspend");
    d.Note("power", "suspend", {{"forced", (Options & POWER_FORCE) != 0}});
    if (pm.suspend_ends_run) d.kernel.End(EndKind::kSuspended, "the forced suspend switched the handset off");
    if (pm.suspend_delay > 0) {
      d.kernel.Wait(nullptr, pm.suspend_delay, "the forced suspend has not returned yet");
      c.Set("t_end_us", d.kernel.Now());
    }
    return c.Return<DWORD>(ERROR_SUCCESS, ERROR_SUCCESS);
  }
  if (StateFlags == POWER_STATE_ON) {
    ++pm.forced_on_requests;
    pm.system_state = "on";
    pm.requests.push_back("on");
    return c.Return<DWORD>(ERROR_SUCCESS, ERROR_SUCCESS);
  }
  return c.Return<DWORD>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
}

DWORD SetDevicePower(LPCWSTR pvDevice, DWORD dwDeviceFlags, CEDEVICE_POWER_STATE dwState) {
  Call c("SetDevicePower");
  c.Arg("device", Narrow(pvDevice)).Arg("flags", dwDeviceFlags).Arg("state", static_cast<int>(dwState));
  Handset& d = Dev();
  if (pvDevice == nullptr || (dwDeviceFlags & POWER_NAME) == 0) {
    c.Misuse("SetDevicePower without a device name");
    return c.Return<DWORD>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
  }
  DriverState* drv = d.drivers.Find(pvDevice);
  if (drv == nullptr || !drv->present) return c.Return<DWORD>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
  if (drv->refuse || c.Injected(drv->name)) return c.Return<DWORD>(ERROR_GEN_FAILURE, ERROR_GEN_FAILURE);
  if (drv->name == "BKL1:") {
    d.power.backlight_state = static_cast<int>(dwState);
    d.Note("backlight", dwState == D4 ? "off" : "power", {{"state", static_cast<int>(dwState)}});
  }
  return c.Return<DWORD>(ERROR_SUCCESS, ERROR_SUCCESS);
}

BOOL PowerPolicyNotify(DWORD dwMessage, DWORD dwData) {
  Call c("PowerPolicyNotify");
  c.Arg("message", dwMessage).Arg("data", dwData);
  if (c.Injected()) return c.Return<BOOL>(FALSE, false);
  PowerManager& pm = Dev().power;
  if (dwMessage == PPN_UNATTENDEDMODE) {
    if (dwData) {
      ++pm.unattended_level;
      ++pm.unattended_enters;
    } else {
      if (pm.unattended_level > 0) --pm.unattended_level;
      ++pm.unattended_leaves;
    }
  }
  return c.Return<BOOL>(TRUE, true);
}

void SystemIdleTimerReset(void) {
  Call c("SystemIdleTimerReset");
  ++Dev().power.idle_resets;
  c.Done();
}
