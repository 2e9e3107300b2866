// Power-off watchdog.
#include "power/watchdog.h"

#include "app/shutdown.h"
#include "power/power_controls.h"

static void BatteryRailsOff(void)
{
    NKDbgPrintfW(TEXT("[Shutdown] GPS VBAT OFF~~\r\n"));
    PowerLineOff(GPIO_GPS_VBAT);
    NKDbgPrintfW(TEXT("[Shutdown] BT VBAT OFF~~\r\n"));
    PowerLineOff(GPIO_BT_VBAT);
}

DWORD WINAPI AnimTimeoutThread(LPVOID lpParameter)
{
    UNREFERENCED_PARAMETER(lpParameter);
    NKDbgPrintfW(TEXT("[Shutdown Thread] Run~\r\n"));
    BatteryRailsOff();

    DWORD dwWait = WAIT_FAILED;
    if (g_hAnimDoneEvent != NULL) {
        dwWait = WaitForSingleObject(g_hAnimDoneEvent, WATCHDOG_TIMEOUT_MS);
    }
    if (dwWait == WAIT_OBJECT_0) {
        NKDbgPrintfW(TEXT("[AnimTimeoutThread] Out~\r\n"));
        return 0;
    }
    if (dwWait != WAIT_TIMEOUT) {
        // Without its event, or with a wait that failed, the watchdog still has to take the power
        // away: it sleeps out its time instead.
        NKDbgPrintfW(TEXT("[AnimTimeoutThread] Wait failed, sleeping %d ms~\r\n"),
                     WATCHDOG_TIMEOUT_MS);
        Sleep(WATCHDOG_TIMEOUT_MS);
    }

    NKDbgPrintfW(TEXT("[Shutdown TimeoutThread] WAIT_TIMEOUT!!!\r\n"));
    BacklightOff();
    NKDbgPrintfW(TEXT("[Shutdown|%s] DumpLogFile\r\n"), TEXT("AnimTimeoutThread"));
    DumpLogFile();
    BatteryRailsOff();
    // No pause and no bound: driving the PMU line is what removes the power.
    for (;;) {
        NKDbgPrintfW(TEXT("[VBatShutdown] PMU POWER OFF~~\r\n"));
        PowerLineOff(GPIO_PMU_POWER_OFF);
    }
}
