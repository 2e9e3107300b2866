// Auto-boot settings.
#include "rtc/auto_boot.h"

#include "registry/reg_read.h"

// Working storage of the "AutoBootTime" pieces, terminator included.
#define AUTOBOOT_HOUR_CCH   3
#define AUTOBOOT_REST_CCH   10
#define AUTOBOOT_MINUTE_CCH 3
#define AUTOBOOT_SECOND_CCH 3

// Copies the cchPiece characters at pszFrom into pszPiece of cchStorage characters; 0, with
// nothing copied, when they do not fit beside the terminator.
static BOOL CopyPiece(LPWSTR pszPiece, int cchStorage, LPCWSTR pszFrom, int cchPiece)
{
    if (cchPiece >= cchStorage) {
        return 0;
    }
    lstrcpynW(pszPiece, pszFrom, cchPiece + 1);
    return 1;
}

BOOL ParseAutoBootTime(LPCWSTR pszText, WORD *pwHour, WORD *pwMinute, WORD *pwSecond)
{
    WCHAR szHour[AUTOBOOT_HOUR_CCH] = {0};
    WCHAR szRest[AUTOBOOT_REST_CCH] = {0};
    WCHAR szMinute[AUTOBOOT_MINUTE_CCH] = {0};
    WCHAR szSecond[AUTOBOOT_SECOND_CCH] = {0};

    LPCWSTR pszColon = StrChrW(pszText, TEXT(':'));
    if (pszColon == NULL) {
        return 0;
    }
    if (!CopyPiece(szHour, AUTOBOOT_HOUR_CCH, pszText, (int)(pszColon - pszText)) ||
        !CopyPiece(szRest, AUTOBOOT_REST_CCH, pszColon + 1, lstrlenW(pszColon + 1))) {
        return 0;
    }

    LPCWSTR pszSecondColon = StrChrW(szRest, TEXT(':'));
    if (pszSecondColon == NULL) {
        // hours:minutes; the whole rest is the minute.
        *pwHour = (WORD)_wtol(szHour);
        *pwMinute = (WORD)_wtol(szRest);
        *pwSecond = 0;
        return 1;
    }
    if (!CopyPiece(szMinute, AUTOBOOT_MINUTE_CCH, szRest, (int)(pszSecondColon - szRest)) ||
        !CopyPiece(szSecond, AUTOBOOT_SECOND_CCH, pszSecondColon + 1,
                   lstrlenW(pszSecondColon + 1))) {
        return 0;
    }
    *pwHour = (WORD)_wtol(szHour);
    *pwMinute = (WORD)_wtol(szMinute);
    *pwSecond = (WORD)_wtol(szSecond);
    return 1;
}

void FormatRtcTimeText(const SYSTEMTIME *pst, LPWSTR pszText, DWORD cchText)
{
    StringCchPrintfW(pszText, cchText, TEXT("%d-%.2d-%.2d %.2d:%.2d:%.2d"), pst->wYear, pst->wMonth,
                     pst->wDay, pst->wHour, pst->wMinute, pst->wSecond);
}

BOOL GetAutoBootTime(DWORD *pdwAutoBootEn, RtcSeconds *pdwBootTime)
{
    DWORD dwAutoBootEn = 0;
    WCHAR szBootTime[AUTOBOOT_TIME_CCH] = {0};
    WCHAR szTimeText[RTC_TIME_TEXT_CCH] = {0};
    WORD wHour = 0;
    WORD wMinute = 0;
    WORD wSecond = 0;
    SYSTEMTIME stNow = {0, 0, 0, 0, 0, 0, 0, 0};
    SYSTEMTIME stBoot = {0, 0, 0, 0, 0, 0, 0, 0};

    NKDbgPrintfW(TEXT("[Shutdown_RTC] GetAutoBootTime ++\r\n"));
    if (RegReadDword(HKEY_LOCAL_MACHINE, REGKEY_ALARM_SETTINGS, REGVAL_AUTOBOOT_ENABLE,
                     &dwAutoBootEn) != ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Get REGNAME_AUTOBOOT_ENABLE failed.\r\n"));
        return 0;
    }
    *pdwAutoBootEn = dwAutoBootEn;

    // The boot instant is computed whether or not automatic boot is on.
    if (RegReadString(HKEY_LOCAL_MACHINE, REGKEY_ALARM_SETTINGS, REGVAL_AUTOBOOT_TIME, szBootTime,
                      AUTOBOOT_TIME_READ_BYTES) != ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Get AUTOBOOT_TIME failed.\r\n"));
        return 0;
    }
    if (!ParseAutoBootTime(szBootTime, &wHour, &wMinute, &wSecond)) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] illegal AUTOBOOT_TIME string.\r\n"));
        return 0;
    }

    // Today's date at the configured time; hours, minutes and seconds out of range add in.
    GetLocalTime(&stNow);
    stBoot.wYear = stNow.wYear;
    stBoot.wMonth = stNow.wMonth;
    stBoot.wDay = stNow.wDay;
    stBoot.wHour = wHour;
    stBoot.wMinute = wMinute;
    stBoot.wSecond = wSecond;
    RtcSeconds dwBootTime = SystemTimeToRtcSeconds(&stBoot);
    RtcSeconds dwNow = SystemTimeToRtcSeconds(&stNow);

    FormatRtcTimeText(&stNow, szTimeText, RTC_TIME_TEXT_CCH);
    NKDbgPrintfW(TEXT("[Shutdown_RTC] LocalTime: %s, [0x%X].\r\n"), szTimeText, dwNow);
    NKDbgPrintfW(TEXT("[Shutdown_RTC] dwBootTime = 0x%X.\r\n"), dwBootTime);

    // A boot time that has passed, or lies too close ahead to shut down in time, is tomorrow's.
    if (dwNow >= dwBootTime - AUTOBOOT_MIN_LEAD_SECONDS) {
        dwBootTime += SECONDS_PER_DAY;
        NKDbgPrintfW(TEXT("[Shutdown_RTC] GetAutoBootTime, dwBootTime add 1 day.\r\n"));
    }
    *pdwBootTime = dwBootTime;

    RtcSecondsToSystemTime(dwBootTime, &stBoot);
    FormatRtcTimeText(&stBoot, szTimeText, RTC_TIME_TEXT_CCH);
    NKDbgPrintfW(TEXT("[Shutdown_RTC] GetAutoBootTime: %s,[0x%X].\r\n"), szTimeText, dwBootTime);
    return 1;
}

void GetRtcAlarmEnable(DWORD *pdwRtcAlarmEn)
{
    DWORD dwRtcAlarmEn = 0;
    if (RegReadDword(HKEY_LOCAL_MACHINE, REGKEY_ALARM_SETTINGS, REGVAL_RTCALARM_ENABLE,
                     &dwRtcAlarmEn) != ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] Get REGNAME_RTCALARM_ENABLE failed.\r\n"));
        return;
    }
    *pdwRtcAlarmEn = dwRtcAlarmEn;
}
