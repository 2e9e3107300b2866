// The timed auto-shutdown prompt of mode 3: a timeout thread, the vibration and a Yes/No box that
// switches the handset off on Yes or when nobody answers in time.
#pragma once

#include "platform/platform.h"

// The timeout thread's wait for an answer. It counts from the thread's start, before the
// vibration, so the box itself stands about ten seconds, as its text says.
#define AUTO_SHUTDOWN_WAIT_MS 13000
// Sleep period of the prompt thread once the timeout thread has taken over the shutdown.
#define PROMPT_PARKED_SLEEP_MS 1000
// Single-instance guard of the box, one for the whole system.
#define MUTEX_UI_AUTO_SHUTDOWN TEXT("UIAutoShutDown")

// Set when the prompt has finished; the main routine polls it.
extern std::atomic<BOOL> g_bPromptDone;
// Set by the timeout thread just before it answers the box itself.
extern std::atomic<BOOL> g_bShutdownBegin;
// Carries the user's answer from the box to the timeout thread; closed by NormalShutdown.
extern HANDLE g_hAutoShutdownEvent;
extern HANDLE g_hAutoShutdownThread;
// Where g_hAutoShutdownEvent stands between the prompt thread, which sets it, and the shutdown,
// which closes it: open, being set, closed, or to be closed by the setter once it has set it.
// The prompt thread never sets it once closed, and it is closed once.
#define AUTO_SHUTDOWN_EVENT_OPEN       0
#define AUTO_SHUTDOWN_EVENT_SETTING    1
#define AUTO_SHUTDOWN_EVENT_CLOSED     2
#define AUTO_SHUTDOWN_EVENT_CLOSE_LEFT 3
extern std::atomic<LONG> g_lAutoShutdownEventState;

// Runs the timed prompt on the calling thread and sets g_bPromptDone when it is over. Does not
// return when the timeout thread has taken over the shutdown.
void AutoShutdownPrompt(void);
// The box: vibrates, asks, and acts on the answer (or brings another instance's box forward).
void UIAutoShutDown(void);
// Timeout thread: waits AUTO_SHUTDOWN_WAIT_MS for an answer, then answers the box Yes and runs
// NormalShutdown itself.
DWORD WINAPI AutoShutdownThread(LPVOID lpParameter);
