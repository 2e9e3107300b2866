// Clock alarm collection.
#include "rtc/clock_alarms.h"

#include "rtc/calendar.h"

SYSTEMTIME g_AlarmTimes[CLOCK_ALARM_TABLE_SIZE];
DWORD g_dwArraySize = 0;

// Byte copy: the records in a fetched buffer need not be aligned for their type.
static void CopyBytes(void *pDest, const BYTE *pSource, DWORD cb)
{
    BYTE *pbDest = (BYTE *)pDest;
    for (DWORD ib = 0; ib < cb; ib++) {
        pbDest[ib] = pSource[ib];
    }
}

// 1 when the cbNeeded bytes at p lie wholly inside the buffer; their offset goes to
// *pdwOffset. Compared as addresses, so that a pointer from anywhere can be tested.
static BOOL LiesInBuffer(const BYTE *pBuffer, DWORD cbBuffer, const void *p, DWORD cbNeeded,
                         DWORD *pdwOffset)
{
    UINT_PTR uBase = (UINT_PTR)pBuffer;
    UINT_PTR uAt = (UINT_PTR)p;
    if (uAt < uBase) {
        return 0;
    }
    UINT_PTR uOffset = uAt - uBase;
    if (uOffset > cbBuffer || cbBuffer - uOffset < cbNeeded) {
        return 0;
    }
    *pdwOffset = (DWORD)uOffset;
    return 1;
}

// The wide string at psz when it starts inside the buffer, on a character boundary, and ends
// with a terminator inside it; else null.
static LPCWSTR StringInBuffer(const BYTE *pBuffer, DWORD cbBuffer, const WCHAR *psz)
{
    DWORD dwOffset = 0;
    if (((UINT_PTR)psz % sizeof(WCHAR)) != 0 ||
        !LiesInBuffer(pBuffer, cbBuffer, psz, sizeof(WCHAR), &dwOffset)) {
        return NULL;
    }
    for (DWORD ib = dwOffset; cbBuffer - ib >= sizeof(WCHAR); ib += sizeof(WCHAR)) {
        if (pBuffer[ib] == 0 && pBuffer[ib + 1] == 0) {
            return (LPCWSTR)(pBuffer + dwOffset);
        }
    }
    return NULL;
}

BOOL ReadClockAlarm(const BYTE *pBuffer, DWORD cbBuffer, SYSTEMTIME *pstStart)
{
    CE_NOTIFICATION_INFO_HEADER header;
    CE_NOTIFICATION_TRIGGER trigger;
    DWORD dwTriggerOffset = 0;

    if (pBuffer == NULL || cbBuffer < sizeof(header)) {
        return 0;
    }
    CopyBytes(&header, pBuffer, sizeof(header));
    if (!LiesInBuffer(pBuffer, cbBuffer, header.pcent, sizeof(trigger), &dwTriggerOffset)) {
        return 0;
    }
    CopyBytes(&trigger, pBuffer + dwTriggerOffset, sizeof(trigger));

    if (trigger.lpszApplication == NULL || trigger.dwType != CNT_CLASSICTIME) {
        return 0;
    }
    LPCWSTR pszApplication = StringInBuffer(pBuffer, cbBuffer, trigger.lpszApplication);
    if (pszApplication == NULL || StrStrW(pszApplication, CLOCK_APPLICATION_NAME) == NULL) {
        return 0;
    }
    *pstStart = trigger.stStartTime;
    return 1;
}

// Fetches one notification into a new block: *ppBuffer and *pcbBuffer on success. 0 when it
// cannot be sized, allocated or fetched; nothing is then held.
static BOOL FetchNotification(HANDLE hNotification, BYTE **ppBuffer, DWORD *pcbBuffer)
{
    DWORD cbNeeded = 0;
    DWORD cbFetched = 0;

    CeGetUserNotification(hNotification, 0, &cbNeeded, NULL);
    if (cbNeeded == 0) {
        return 0;
    }
    BYTE *pBuffer = (BYTE *)LocalAlloc(LPTR, cbNeeded);
    if (pBuffer == NULL) {
        return 0;
    }
    if (!CeGetUserNotification(hNotification, cbNeeded, &cbFetched, pBuffer)) {
        LocalFree(pBuffer);
        return 0;
    }
    *ppBuffer = pBuffer;
    *pcbBuffer = cbNeeded;
    return 1;
}

// Keeps the start time of one clock alarm. 0 when the table is already full.
static BOOL KeepClockAlarm(const SYSTEMTIME *pstStart)
{
    if (!IsValidRtcRecord(pstStart)) {
        // A month or day out of range, or a year outside the clock's span, names no instant.
        NKDbgPrintfW(
            TEXT("[Shutdown_RTC] Invalid clock time %d-%.2d-%.2d %.2d:%.2d:%.2d, ignored.\r\n"),
            pstStart->wYear, pstStart->wMonth, pstStart->wDay, pstStart->wHour, pstStart->wMinute,
            pstStart->wSecond);
        return 1;
    }
    if (g_dwArraySize >= CLOCK_ALARM_TABLE_SIZE) {
        return 0;
    }
    g_AlarmTimes[g_dwArraySize] = *pstStart;
    g_dwArraySize++;
    return 1;
}

BOOL GetSystemClockNotifyTime(void)
{
    DWORD dwCount = 0;
    DWORD dwDelivered = 0;
    HANDLE *phNotifications = NULL;
    BYTE *pBuffer = NULL;
    DWORD cbBuffer = 0;
    BOOL fResult = 1;

    NKDbgPrintfW(TEXT("[Shutdown_RTC] GetSystemClockNotifyTime ++\r\n"));
    g_dwArraySize = 0;
    for (DWORD i = 0; i < CLOCK_ALARM_TABLE_SIZE; i++) {
        SYSTEMTIME stZero = {0, 0, 0, 0, 0, 0, 0, 0};
        g_AlarmTimes[i] = stZero;
    }

    if (!CeGetUserNotificationHandles(NULL, 0, &dwCount)) {
        NKDbgPrintfW(TEXT(
            "[Shutdown_RTC] GetSystemClockNotifyTime, CeGetUserNotificationHandles failed. \r\n"));
        return 0;
    }
    if (dwCount == 0) {
        return 1;
    }
    if (dwCount <= 0xFFFFFFFFu / sizeof(HANDLE)) {
        phNotifications = (HANDLE *)LocalAlloc(LPTR, dwCount * sizeof(HANDLE));
    }
    if (phNotifications == NULL) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] GetSystemClockNotifyTime, malloc failed. \r\n"));
        return 0;
    }
    if (!CeGetUserNotificationHandles(phNotifications, dwCount, &dwDelivered)) {
        NKDbgPrintfW(TEXT("[Shutdown_RTC] GetSystemClockNotifyTime, Get handles failed. \r\n"));
        LocalFree(phNotifications);
        return 0;
    }
    if (dwDelivered > dwCount) {
        dwDelivered = dwCount;
    }

    for (DWORD i = 0; i < dwDelivered; i++) {
        SYSTEMTIME stStart;
        if (pBuffer != NULL) {
            LocalFree(pBuffer);
            pBuffer = NULL;
        }
        if (!FetchNotification(phNotifications[i], &pBuffer, &cbBuffer) ||
            !ReadClockAlarm(pBuffer, cbBuffer, &stStart)) {
            continue;
        }
        if (!KeepClockAlarm(&stStart)) {
            NKDbgPrintfW(TEXT("[Shutdown_RTC] Error: Notify count is too much!\r\n"));
            fResult = 0;
            break;
        }
    }

    LocalFree(phNotifications);
    if (pBuffer != NULL) {
        LocalFree(pBuffer);
    }
    return fResult;
}
