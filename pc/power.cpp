// Power services of the handset on a PC: the power manager, the idle timer, the board's GPIO
// power lines and the notification LEDs.
//
// Settings (under HKLM\Software\Handset):
//   Power\Suspend            "returns" (default) or "ends_run": the forced suspend takes the
//                            power away and the process ends there
//   Power\SuspendReturnsAfterMs   the forced suspend returns only after this long (default 0)
//   Board\PmuLine            1 (default): driving GPIO 68 low removes the power; 0: it does not
//   Leds\Count               number of notification LEDs (default 0)
//   Leds\CycleAdjust<N>      LED N's cycle adjustment as a DWORD; 0xFFFFFFFF (-1) is a vibrator
#include "pc/services.h"

namespace {

const DWORD kGpioGpsBattery = 152;
const DWORD kGpioBtBattery = 154;
const DWORD kGpioPmuPowerOff = 68;

LONG g_lGpsRailOff = 0;
LONG g_lBtRailOff = 0;

LONG LedCycleAdjust(UINT nLed) {
  WCHAR szName[32];
  StringCchPrintfW(szName, 32, L"CycleAdjust%u", nLed);
  return LONG(SettingDword(L"Leds", szName, 0));
}

}  // namespace

// Records the request. A forced suspend is the handset's power going when the handset is set up
// so ("ends_run"); otherwise it returns, after the set delay.
DWORD SetSystemPowerState(LPCWSTR pwsSystemState, DWORD StateFlags, DWORD Options) {
  std::string args = "\"state_name\":" + JsonText(pwsSystemState) + ",\"flags\":" + JsonHex(StateFlags) +
                     ",\"options\":" + JsonHex(Options);
  if (HandsetFault("SetSystemPowerState", std::to_string(StateFlags))) {
    LogCall("SetSystemPowerState", args, std::to_string(ERROR_GEN_FAILURE), ERROR_GEN_FAILURE, INJECTED_FAULT_JSON);
    SetLastError(ERROR_GEN_FAILURE);
    return ERROR_GEN_FAILURE;
  }
  LogCall("SetSystemPowerState", args, "0");
  if ((StateFlags & POWER_STATE_SUSPEND) != 0) {
    LogDevice("power.suspend", "\"forced\":" + JsonBool((Options & POWER_FORCE) != 0));
    if (SettingString(L"Power", L"Suspend", L"returns") == L"ends_run") {
      PowerGone("the forced suspend switched the handset off");
    }
    DWORD dwDelay = SettingDword(L"Power", L"SuspendReturnsAfterMs", 0);
    if (dwDelay != 0) {
      Sleep(dwDelay);
    }
  }
  return ERROR_SUCCESS;
}

// Records the request; the backlight going to D4 is noted as the handset's change.
DWORD SetDevicePower(LPCWSTR pvDevice, DWORD dwDeviceFlags, CEDEVICE_POWER_STATE dwState) {
  std::string args = "\"device\":" + JsonText(pvDevice) + ",\"flags\":" + std::to_string(dwDeviceFlags) +
                     ",\"state\":" + std::to_string(int(dwState));
  if (HandsetFault("SetDevicePower", Utf8Text(pvDevice))) {
    LogCall("SetDevicePower", args, std::to_string(ERROR_GEN_FAILURE), ERROR_GEN_FAILURE, INJECTED_FAULT_JSON);
    SetLastError(ERROR_GEN_FAILURE);
    return ERROR_GEN_FAILURE;
  }
  LogCall("SetDevicePower", args, "0");
  if (pvDevice != nullptr && lstrcmpiW(pvDevice, L"BKL1:") == 0 && dwState == D4) {
    LogDevice("backlight.off", "\"state\":4");
  }
  return ERROR_SUCCESS;
}

// Records the notification; always accepted.
BOOL PowerPolicyNotify(DWORD dwMessage, DWORD dwData) {
  std::string args = "\"message\":" + std::to_string(dwMessage) + ",\"data\":" + std::to_string(dwData);
  if (HandsetFault("PowerPolicyNotify")) {
    LogCall("PowerPolicyNotify", args, "false", 0, INJECTED_FAULT_JSON);
    return FALSE;
  }
  LogCall("PowerPolicyNotify", args, "true");
  return TRUE;
}

// Records the reset; a PC has no idle timer of the handset's to restart.
void SystemIdleTimerReset(void) { LogCall("SystemIdleTimerReset", "", ""); }

// Records the direction of a line; every line exists.
BOOL GpioSetDirection(DWORD dwGpio, DWORD dwDirection) {
  std::string args = "\"gpio\":" + std::to_string(dwGpio) + ",\"direction\":" + std::to_string(dwDirection);
  if (HandsetFault("GpioSetDirection", std::to_string(dwGpio))) {
    LogCall("GpioSetDirection", args, "false", 0, INJECTED_FAULT_JSON);
    return FALSE;
  }
  LogCall("GpioSetDirection", args, "true");
  return TRUE;
}

// Records the value of a line. The battery rails going off are noted the first time; the PMU
// line driven low removes the power (when the board has the line), which ends the process.
BOOL GpioSetValue(DWORD dwGpio, DWORD dwValue) {
  std::string args = "\"gpio\":" + std::to_string(dwGpio) + ",\"value\":" + std::to_string(dwValue);
  if (HandsetFault("GpioSetValue", std::to_string(dwGpio))) {
    LogCall("GpioSetValue", args, "false", 0, INJECTED_FAULT_JSON);
    return FALSE;
  }
  LogCall("GpioSetValue", args, "true");
  if (dwValue == 0 && dwGpio == kGpioGpsBattery && InterlockedExchange(&g_lGpsRailOff, 1) == 0) {
    LogDevice("rail.gps_off", "");
  } else if (dwValue == 0 && dwGpio == kGpioBtBattery && InterlockedExchange(&g_lBtRailOff, 1) == 0) {
    LogDevice("rail.bt_off", "");
  } else if (dwValue == 0 && dwGpio == kGpioPmuPowerOff && SettingDword(L"Board", L"PmuLine", 1) != 0) {
    LogDevice("pmu.power_off", "");
    PowerGone("the PMU line removed the power");
  }
  return TRUE;
}

namespace {

// Whether LED nLed's query (pszWhat: "SupportsFails" or "SettingsFails") is set to fail.
bool LedFails(LPCWSTR pszWhat, UINT nLed) {
  WCHAR szName[40];
  StringCchPrintfW(szName, 40, L"%s%u", pszWhat, nLed);
  return SettingDword(L"Leds", szName, 0) != 0;
}

}  // namespace

// The LED count, or one LED's cycle adjustment; FALSE (ERROR_INVALID_PARAMETER) for an LED that
// does not exist or an unknown query. The count query fails (ERROR_GEN_FAILURE) when the handset
// is set so (Leds\CountFails), an LED's query when its SupportsFails<N> is set, and either by a
// fault rule.
BOOL NLedGetDeviceInfo(UINT nInfoId, void* pOutput) {
  UINT cLeds = SettingDword(L"Leds", L"Count", 0);
  if (nInfoId == NLED_COUNT_INFO_ID && pOutput != nullptr) {
    bool fKnob = SettingDword(L"Leds", L"CountFails", 0) != 0;
    if (fKnob || HandsetFault("NLedGetDeviceInfo", "count")) {
      LogCall("NLedGetDeviceInfo", "\"info\":0", "false", ERROR_GEN_FAILURE, fKnob ? "" : INJECTED_FAULT_JSON);
      SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    static_cast<NLED_COUNT_INFO*>(pOutput)->cLeds = cLeds;
    LogCall("NLedGetDeviceInfo", "\"info\":0,\"count\":" + std::to_string(cLeds), "true");
    return TRUE;
  }
  if (nInfoId == NLED_SUPPORTS_INFO_ID && pOutput != nullptr) {
    auto* pInfo = static_cast<NLED_SUPPORTS_INFO*>(pOutput);
    std::string args = "\"info\":1,\"led\":" + std::to_string(pInfo->LedNum);
    bool fFails = pInfo->LedNum >= cLeds || LedFails(L"SupportsFails", pInfo->LedNum);
    if (fFails || HandsetFault("NLedGetDeviceInfo", "supports:" + std::to_string(pInfo->LedNum))) {
      LogCall("NLedGetDeviceInfo", args, "false", ERROR_INVALID_PARAMETER, fFails ? "" : INJECTED_FAULT_JSON);
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    pInfo->lCycleAdjust = LedCycleAdjust(pInfo->LedNum);
    LogCall("NLedGetDeviceInfo", args + ",\"cycle_adjust\":" + std::to_string(pInfo->lCycleAdjust), "true");
    return TRUE;
  }
  LogCall("NLedGetDeviceInfo", "\"info\":" + std::to_string(nInfoId), "false", ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Switches one LED on (1) or off (0); the vibrator's changes are noted. FALSE for an LED that
// does not exist, one set to refuse (Leds\SettingsFails<N>), or by a fault rule.
BOOL NLedSetDevice(UINT nInfoId, void* pInput) {
  UINT cLeds = SettingDword(L"Leds", L"Count", 0);
  if (nInfoId != NLED_SETTINGS_INFO_ID || pInput == nullptr) {
    LogCall("NLedSetDevice", "\"info\":" + std::to_string(nInfoId), "false", ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* pSettings = static_cast<const NLED_SETTINGS_INFO*>(pInput);
  std::string args =
      "\"info\":2,\"led\":" + std::to_string(pSettings->LedNum) + ",\"state\":" + std::to_string(pSettings->OffOnBlink);
  bool fFails = pSettings->LedNum >= cLeds || pSettings->OffOnBlink < 0 || pSettings->OffOnBlink > 2 ||
                LedFails(L"SettingsFails", pSettings->LedNum);
  if (fFails || HandsetFault("NLedSetDevice", "settings:" + std::to_string(pSettings->LedNum))) {
    LogCall("NLedSetDevice", args, "false", ERROR_INVALID_PARAMETER, fFails ? "" : INJECTED_FAULT_JSON);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  LogCall("NLedSetDevice", args, "true");
  if (LedCycleAdjust(pSettings->LedNum) == -1) {
    LogDevice(pSettings->OffOnBlink != 0 ? "vibrator.on" : "vibrator.off",
              "\"led\":" + std::to_string(pSettings->LedNum));
  }
  return TRUE;
}
