// Vibration through the notification-LED interface.
#include "autoshutdown/vibrate.h"

void VibratePrompt(void)
{
    DWORD dwLedNum = NO_VIBRATOR_LED;

    NKDbgPrintfW(TEXT("[UIAutoShutDown] VibratePrompt ++ \r\n"));
    // Without a vibrator the number stays NO_VIBRATOR_LED; the driver then refuses both calls
    // and the prompt keeps its timing all the same.
    FindVibratorLed(&dwLedNum);
    SetLedDevice(dwLedNum);
    Sleep(VIBRATE_PROMPT_MS);
    StopLedDevice(dwLedNum);
}

BOOL FindVibratorLed(DWORD *pdwLedNum)
{
    NLED_COUNT_INFO countInfo;
    countInfo.cLeds = 0;
    if (!NLedGetDeviceInfo(NLED_COUNT_INFO_ID, &countInfo)) {
        NKDbgPrintfW(TEXT("[UIAutoShutDown] NLedGetDeviceInfo failed. \r\n"));
        return 0;
    }
    if (countInfo.cLeds == 0) {
        return 0;
    }
    // The first vibrator wins: with several, the lowest LED number is used.
    for (DWORD dwLed = 0; dwLed < countInfo.cLeds; dwLed++) {
        NLED_SUPPORTS_INFO supportsInfo;
        supportsInfo.LedNum = dwLed;
        supportsInfo.lCycleAdjust = 0;
        supportsInfo.fAdjustTotalCycleTime = 0;
        supportsInfo.fAdjustOnTime = 0;
        supportsInfo.fAdjustOffTime = 0;
        supportsInfo.fMetaCycleOn = 0;
        supportsInfo.fMetaCycleOff = 0;
        if (NLedGetDeviceInfo(NLED_SUPPORTS_INFO_ID, &supportsInfo) &&
            supportsInfo.lCycleAdjust == VIBRATOR_CYCLE_ADJUST) {
            *pdwLedNum = dwLed;
            return 1;
        }
    }
    return 0;
}

// Sends one on/off setting; the timing fields are left at zero since blinking is never asked.
static BOOL SendLedState(DWORD dwLedNum, INT iState)
{
    NLED_SETTINGS_INFO settingsInfo;
    settingsInfo.LedNum = dwLedNum;
    settingsInfo.OffOnBlink = iState;
    settingsInfo.TotalCycleTime = 0;
    settingsInfo.OnTime = 0;
    settingsInfo.OffTime = 0;
    settingsInfo.MetaCycleOn = 0;
    settingsInfo.MetaCycleOff = 0;
    return NLedSetDevice(NLED_SETTINGS_INFO_ID, &settingsInfo);
}

BOOL SetLedDevice(DWORD dwLedNum)
{
    if (!SendLedState(dwLedNum, LED_STATE_ON)) {
        NKDbgPrintfW(TEXT("[UIAutoShutDown] SetLedDevice failed. \r\n"));
        return 0;
    }
    return 1;
}

BOOL StopLedDevice(DWORD dwLedNum)
{
    if (!SendLedState(dwLedNum, LED_STATE_OFF)) {
        NKDbgPrintfW(TEXT("[UIAutoShutDown] StopLedDevice failed. \r\n"));
        return 0;
    }
    return 1;
}
