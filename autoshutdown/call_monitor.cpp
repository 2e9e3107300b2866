// Active-call monitor.
#include "autoshutdown/call_monitor.h"

#include "autoshutdown/auto_shutdown.h"
#include "registry/reg_read.h"

std::atomic<HREGNOTIFY> g_hRegNotify(NULL);
std::atomic<BOOL> g_bPromptStarted(0);

// The counter's value; a missing key or value reads as 0.
static DWORD ReadActiveCallCount(void)
{
    DWORD dwCount = 0;
    RegReadDword(HKEY_LOCAL_MACHINE, REGKEY_PHONESTATE, REGVAL_ACTIVE_CALL_COUNT, &dwCount);
    return dwCount;
}

// The callback, the check after registering and the fallback poll can each find that no call is
// active; whichever comes first runs the prompt, the others do nothing.
static void RunPromptOnce(void)
{
    if (g_bPromptStarted.exchange(1) == 0) {
        AutoShutdownPrompt();
    }
}

BOOL HaveActiveCall(void)
{
    if (ReadActiveCallCount() != 0) {
        NKDbgPrintfW(TEXT("[AutoShutdown] Have Active Call \r\n"));
        return 1;
    }
    NKDbgPrintfW(TEXT("[AutoShutdown] No Active Call \r\n"));
    return 0;
}

void CloseRegistryMonitor(void)
{
    NKDbgPrintfW(TEXT("[AutoShutdown] Close Registry Monitor Notification \r\n"));
    // Taken out in one step, so that two closing threads never close it twice.
    HREGNOTIFY hNotify = g_hRegNotify.exchange(NULL);
    if (hNotify != NULL) {
        RegistryCloseNotification(hNotify);
    }
}

BOOL MonitorPhoneState(void)
{
    HKEY hKey = NULL;
    HREGNOTIFY hNotify = NULL;

    NKDbgPrintfW(TEXT("[AutoShutdown] MonitorPhoneState ++ \r\n"));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REGKEY_PHONESTATE, 0, 0, &hKey) != ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("[AutoShutdown][E] RegOpenKeyEx REGKEY_PHONESTATE failed! \r\n"));
        return 0;
    }

    HRESULT hr = RegistryNotifyCallback(hKey, NULL, REGVAL_ACTIVE_CALL_COUNT, PhoneStateChangeProc,
                                        PHONE_STATE_NOTIFY_DATA, NULL, &hNotify);
    if (hr != S_OK) {
        NKDbgPrintfW(TEXT("[AutoShutdown][E] RegChangeCallback failed! \r\n"));
        if (hKey != NULL) {
            RegCloseKey(hKey);
            hKey = NULL;
        }
        CloseRegistryMonitor();
        return 0;
    }
    g_hRegNotify = hNotify;
    if (hKey != NULL) {
        RegCloseKey(hKey);
    }

    // A call that ended after HaveActiveCall but before the registration brought no
    // notification: look once more now that changes are watched.
    if (ReadActiveCallCount() == 0) {
        NKDbgPrintfW(TEXT("[AutoShutdown] Monitor: No Active Call. \r\n"));
        CloseRegistryMonitor();
        RunPromptOnce();
    }
    return 1;
}

void PhoneStateChangeProc(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData,
                          const UINT /*cbData*/)
{
    UNREFERENCED_PARAMETER(hNotify);
    UNREFERENCED_PARAMETER(dwUserData);
    NKDbgPrintfW(TEXT("[AutoShutdown] ActiveCallCount Registry have changed.\r\n"));
    if (pData != NULL) {
        // The counter still has a value, whatever it is.
        return;
    }
    NKDbgPrintfW(TEXT("[AutoShutdown] Monitor: No Active Call. \r\n"));
    CloseRegistryMonitor();
    RunPromptOnce();
}

// 1 while the counter exists, whatever its value. As for the change callback, only its removal
// means that the last call has ended.
static BOOL CallCounterPresent(void)
{
    DWORD dwCount = 0;
    return RegReadDword(HKEY_LOCAL_MACHINE, REGKEY_PHONESTATE, REGVAL_ACTIVE_CALL_COUNT,
                        &dwCount) == ERROR_SUCCESS
               ? 1
               : 0;
}

void PollPhoneState(void)
{
    NKDbgPrintfW(TEXT("[AutoShutdown] Poll Active Call Count every %d ms \r\n"),
                 CALL_COUNT_POLL_MS);
    while (CallCounterPresent()) {
        Sleep(CALL_COUNT_POLL_MS);
    }
    NKDbgPrintfW(TEXT("[AutoShutdown] Monitor: No Active Call. \r\n"));
    RunPromptOnce();
}
