// Wake source selection and ERTC write.
#include "rtc/wake_time.h"

#include "power/power_controls.h"
#include "rtc/auto_boot.h"
#include "rtc/clock_alarms.h"

// Collects the clock alarms and finds the earliest one lying more than ALARM_MIN_LEAD_SECONDS
// ahead of the local time. Returns 1 and its wake-up instant in *pdwAlarmRtc, or 0 when no
// alarm qualifies.
static BOOL FindAlarmWakeTime(RtcSeconds *pdwAlarmRtc)
{
    SYSTEMTIME stNow = {0, 0, 0, 0, 0, 0, 0, 0};
    BOOL fFound = 0;
    DWORD dwChosen = 0;
    RtcSeconds dwEarliest = 0;

    GetSystemClockNotifyTime();
    NKDbgPrintfW(TEXT("[Shutdown_RTC] clock : g_dwArraySize=%d \r\n"), g_dwArraySize);

    GetLocalTime(&stNow);
    RtcSeconds dwNow = SystemTimeToRtcSeconds(&stNow);
    NKDbgPrintfW(TEXT("[Shutdown_RTC] CurrentTime: %d-%.2d-%.2d %.2d:%.2d:%.2d [0x%X].\r\n"),
                 stNow.wYear, stNow.wMonth, stNow.wDay, stNow.wHour, stNow.wMinute, stNow.wSecond,
                 dwNow);

    // Every alarm is looked at: the table holds them in the database's order, not by time.
    for (DWORD i = 0; i < g_dwArraySize; i++) {
        RtcSeconds dwAlarm = SystemTimeToRtcSeconds(&g_AlarmTimes[i]);
        // Compared as a distance ahead, so that no count wraps.
        if (dwAlarm <= dwNow || dwAlarm - dwNow <= ALARM_MIN_LEAD_SECONDS) {
            NKDbgPrintfW(TEXT("[Shutdown_RTC] Ignore this clock.\r\n"));
            continue;
        }
        if (!fFound || dwAlarm < dwEarliest) {
            fFound = 1;
            dwChosen = i;
            dwEarliest = dwAlarm;
        }
    }
    if (!fFound) {
        return 0;
    }
    *pdwAlarmRtc = SystemTimeToRtcSeconds(&g_AlarmTimes[dwChosen]) - ALARM_WAKE_LEAD_SECONDS;
    NKDbgPrintfW(TEXT("[Shutdown_RTC] dwAlarmRtc = 0x%X.\r\n"), *pdwAlarmRtc);
    return 1;
}

BOOL CompareNotifyToAutoBoot(RtcSeconds *pdwWakeTime)
{
    DWORD dwAutoBootEn = 0;
    RtcSeconds dwBootTime = 0;
    DWORD dwRtcAlarmEn = 0;
    RtcSeconds dwAlarmRtc = 0;
    BOOL fAlarm = 0;
    RtcSeconds dwWakeTime = 0;
    DWORD dwUsageOfERTC = ERTC_USAGE_NONE;

    NKDbgPrintfW(TEXT("[Shutdown_RTC] CompareNotifyToAutoBoot ++.\r\n"));
    BOOL fBootTimeKnown = GetAutoBootTime(&dwAutoBootEn, &dwBootTime);
    GetRtcAlarmEnable(&dwRtcAlarmEn);
    NKDbgPrintfW(
        TEXT("[Shutdown_RTC] CompareNotifyToAutoBoot, dwRtcAlarmEn=%d, dwAutoBootEn=%d.\r\n"),
        dwRtcAlarmEn, dwAutoBootEn);

    if (dwRtcAlarmEn != 0) {
        fAlarm = FindAlarmWakeTime(&dwAlarmRtc);
    }

    if (dwRtcAlarmEn == 0 && dwAutoBootEn == 0) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Not enable RtcAlarm, Not enable AutoBoot. \r\n"));
    } else if (dwRtcAlarmEn == 0) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Not enable RtcAlarm, Enable AutoBoot. \r\n"));
        dwWakeTime = dwBootTime;
        dwUsageOfERTC = ERTC_USAGE_AUTOBOOT;
    } else if (dwAutoBootEn == 0) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Enable RtcAlarm, Not enable AutoBoot. \r\n"));
        dwWakeTime = fAlarm ? dwAlarmRtc : 0;
        dwUsageOfERTC = ERTC_USAGE_ALARM;
    } else {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Enable RtcAlarm, Enable AutoBoot. \r\n"));
        // On a tie the boot wins; a boot instant that could not be computed never does.
        if (fAlarm && (!fBootTimeKnown || dwAlarmRtc < dwBootTime)) {
            dwWakeTime = dwAlarmRtc;
            dwUsageOfERTC = ERTC_USAGE_ALARM;
        } else {
            dwWakeTime = dwBootTime;
            dwUsageOfERTC = ERTC_USAGE_AUTOBOOT;
        }
    }

    *pdwWakeTime = dwWakeTime;
    NKDbgPrintfW(TEXT("[Shutdown_RTC] CompareNotifyToAutoBoot--, dwUsageOfERTC = %d\r\n"),
                 dwUsageOfERTC);
    return 1;
}

void WriteErtcWakeTime(void)
{
    RtcSeconds dwWakeTime = 0;
    SYSTEMTIME stWake = {0, 0, 0, 0, 0, 0, 0, 0};
    WCHAR szTimeText[RTC_TIME_TEXT_CCH] = {0};

    CompareNotifyToAutoBoot(&dwWakeTime);
    RtcSecondsToSystemTime(dwWakeTime, &stWake);
    FormatRtcTimeText(&stWake, szTimeText, RTC_TIME_TEXT_CCH);
    NKDbgPrintfW(TEXT("[Shutdown_RTC] Ready Write ERTC: %s, [0x%X]. \r\n"), szTimeText, dwWakeTime);
    HalOemCommand(HAL_CMD_WRITE_ERTC, dwWakeTime);
}
