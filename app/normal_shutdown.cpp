// The shutdown sequence: one flat script, each step a call, each failure traced where it
// happens while the sequence carries on.
#include "app/shutdown.h"
#include "autoshutdown/auto_shutdown.h"
#include "power/power_controls.h"
#include "power/watchdog.h"
#include "rtc/wake_time.h"
#include "steps/animation.h"
#include "steps/apps.h"
#include "steps/keyboard_lock.h"
#include "steps/radio.h"

HANDLE g_hRilPowerOffEvent = NULL;
HANDLE g_hAnimDoneEvent = NULL;
HANDLE g_hWatchdogThread = NULL;
std::atomic<LONG> g_lNormalShutdownRuns(0);
std::atomic<LONG> g_lNormalShutdownsCompleted(0);

// Waits for the radio's power-off report. Without an initialised radio layer no report can come,
// so there is nothing to wait for; otherwise the wait is bounded, so that a radio that never
// answers cannot keep the handset from going down.
static void WaitForRadioPowerOff(void)
{
    if (!g_bRilInitialized) {
        return;
    }
    if (g_hRilPowerOffEvent == NULL) {
        NKDbgPrintfW(TEXT("[Shutdown|%s] Ril Down event missing, not waiting\r\n"),
                     TEXT("NormalShutdown"));
        return;
    }
    if (WaitForSingleObject(g_hRilPowerOffEvent, RADIO_POWEROFF_WAIT_MS) == WAIT_TIMEOUT) {
        NKDbgPrintfW(TEXT("[Shutdown|%s] Ril Down not confirmed in %d ms, going on\r\n"),
                     TEXT("NormalShutdown"), RADIO_POWEROFF_WAIT_MS);
    }
}

// Closes g_hAutoShutdownEvent once: at once, or, while the prompt thread is setting it, by that
// thread when it is done (see the prompt's SetAutoShutdownEvent).
static void CloseAutoShutdownEvent(void)
{
    LONG lState = g_lAutoShutdownEventState;
    for (;;) {
        if (lState == AUTO_SHUTDOWN_EVENT_OPEN) {
            if (g_lAutoShutdownEventState.compare_exchange_weak(lState,
                                                                AUTO_SHUTDOWN_EVENT_CLOSED)) {
                // Outside mode 3 the handle is still zero and the close does nothing.
                CloseHandle(g_hAutoShutdownEvent);
                return;
            }
        } else if (lState == AUTO_SHUTDOWN_EVENT_SETTING) {
            if (g_lAutoShutdownEventState.compare_exchange_weak(lState,
                                                                AUTO_SHUTDOWN_EVENT_CLOSE_LEFT)) {
                return;
            }
        } else {
            return; // closed already, or its close left to the thread setting it
        }
    }
}

// Counts a new run in, unless the process has begun to end.
static BOOL BeginNormalShutdownRun(void)
{
    LONG lRuns = g_lNormalShutdownRuns;
    while (lRuns != NORMAL_SHUTDOWN_RUNS_CLOSED) {
        if (g_lNormalShutdownRuns.compare_exchange_weak(lRuns, lRuns + 1)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CloseNormalShutdownRuns(void)
{
    LONG lNone = 0;
    return g_lNormalShutdownRuns.compare_exchange_strong(lNone, NORMAL_SHUTDOWN_RUNS_CLOSED);
}

void NormalShutdown(void)
{
    if (g_lNormalShutdownsCompleted > 0) {
        // This process has switched the handset off once and the forced suspend came back: the
        // handset has been woken since. A late caller (the prompt's Yes answered after its
        // timeout had already switched off) would switch off a handset its user has just woken.
        NKDbgPrintfW(TEXT("[Shutdown|%s] Already switched off once, not again\r\n"),
                     TEXT("NormalShutdown"));
        return;
    }
    // The run is counted in before its mutex exists: once the main routine has seen no run under
    // way and closed the count, nothing of a sequence may have happened yet, not even the mutex.
    if (!BeginNormalShutdownRun()) {
        // The main routine is ending the process: a run begun now would be cut off half-way.
        NKDbgPrintfW(TEXT("[Shutdown|%s] Process is ending, shutdown not started\r\n"),
                     TEXT("NormalShutdown"));
        return;
    }
    HANDLE hMutex = CreateMutexW(NULL, TRUE, MUTEX_NORMAL_SHUTDOWN);
    if (hMutex == NULL) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("NormalShutdown"));
        NKDbgPrintfW(TEXT("CreateMutex NormalShutdown error\r\n"));
        g_lNormalShutdownRuns--;
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another run holds the name. Our handle to it is closed, so that the name goes away
        // with that run rather than living on with this process.
        CloseHandle(hMutex);
        g_lNormalShutdownRuns--;
        return;
    }
    if (g_lNormalShutdownsCompleted > 0) {
        // A run of this process ended between the test above and this mutex: it counts itself
        // complete while it still holds the mutex, so this test under the mutex is the sure one.
        NKDbgPrintfW(TEXT("[Shutdown|%s] Already switched off once, not again\r\n"),
                     TEXT("NormalShutdown"));
        ReleaseMutex(hMutex);
        CloseHandle(hMutex);
        g_lNormalShutdownRuns--;
        return;
    }

    HANDLE hBypassEvent = CreateEventW(NULL, FALSE, FALSE, EVENT_BKL_BYPASSPOWERMSG);
    if (hBypassEvent != NULL) {
        SetEvent(hBypassEvent);
    } else {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("NormalShutdown"));
        NKDbgPrintfW(TEXT("Create BYPASSPOWERMSG_EVENT failed\r\n"));
    }

    PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE);
    g_hRilPowerOffEvent = CreateEventW(NULL, FALSE, FALSE, NULL);

    WriteErtcWakeTime();

    NKDbgPrintfW(TEXT("[Shutdown|%s] Ril Down+ %d\r\n"), TEXT("NormalShutdown"), GetTickCount());
    ShutDownAnimation();
    LcdPowerOff();
    RilShutDown();
    SystemIdleTimerReset();
    WaitForRadioPowerOff();
    NKDbgPrintfW(TEXT("[Shutdown|%s] Ril Down- %d\r\n"), TEXT("NormalShutdown"), GetTickCount());

    g_hAnimDoneEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    g_hWatchdogThread = CreateThread(NULL, 0, AnimTimeoutThread, NULL, 0, NULL);
    if (g_hWatchdogThread == NULL) {
        NKDbgPrintfW(TEXT("[Shutdown|%s] Watchdog thread not started\r\n"), TEXT("NormalShutdown"));
    }

    InstallKeyboardLock(GetModuleHandleW(NULL), KeyboardLockProc);
    SystemIdleTimerReset();
    ShutDownApps();
    RemoveKeyboardLock();

    KernShutDown();
    SystemIdleTimerReset();
    RIL_Deinitialize(g_hRil);

    NKDbgPrintfW(TEXT("[Shutdown|%s] DumpLogFile\r\n"), TEXT("NormalShutdown"));
    DumpLogFile();

    SetSystemPowerState(NULL, POWER_STATE_SUSPEND, POWER_FORCE);
    if (g_hWatchdogThread == NULL) {
        // Nothing else would take the power away should the handset come back from the
        // suspend: the sequence's own thread does the watchdog's work.
        AnimTimeoutThread(NULL);
    }

    // Counted complete while the mutex is still held: a caller that takes the mutex after this
    // run sees it and does not switch off a second time.
    g_lNormalShutdownsCompleted++;
    ReleaseMutex(hMutex);
    CloseHandle(hMutex);
    CloseHandle(hBypassEvent);
    CloseAutoShutdownEvent();
    g_lNormalShutdownRuns--;
}
