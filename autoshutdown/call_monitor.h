// Active-call monitor: holds the automatic shutdown back while a phone call is active, and runs
// the prompt once the last call has ended.
#pragma once

#include "platform/platform.h"

// The phone state's call counter, written by the platform and only read and watched here.
#define REGKEY_PHONESTATE        TEXT("System\\State\\Phone")
#define REGVAL_ACTIVE_CALL_COUNT TEXT("Active Call Count")
// User data handed to the change callback.
#define PHONE_STATE_NOTIFY_DATA 1
// Period of the counter reads when no change callback could be registered.
#define CALL_COUNT_POLL_MS 1000

// The registered change notification; null when none is registered.
extern std::atomic<HREGNOTIFY> g_hRegNotify;
// Set by whichever path starts the prompt first, so that it runs once.
extern std::atomic<BOOL> g_bPromptStarted;

// 1 when the phone state reports an active call, else 0 (a counter that cannot be read counts as
// no call). Traces its answer.
BOOL HaveActiveCall(void);
// Registers PhoneStateChangeProc on the call counter and returns at once: 1 when registered,
// 0 on failure. A call that ended before the registration took effect starts the prompt here.
BOOL MonitorPhoneState(void);
// Change callback of the call counter, on the platform's notification thread. A notification
// without data means that no call is active any more: the monitor is closed and the prompt runs
// on this thread.
void PhoneStateChangeProc(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData,
                          const UINT cbData);
// Closes the change notification if one is registered; safe to call when none is, and from
// inside the notification's own callback.
void CloseRegistryMonitor(void);
// Used when no change callback could be registered: reads the counter every CALL_COUNT_POLL_MS
// on the calling thread and runs the prompt there once the counter is gone (a counter of 0 that
// is still present keeps the prompt back, as it does for the change callback).
void PollPhoneState(void);
