// Entry modes and the one shutdown sequence.
#pragma once

#include "platform/platform.h"

// Single-instance guards, named after the routine they guard.
#define MUTEX_LP_SHUTDOWN     TEXT("LpShutDown")
#define MUTEX_UI_SHUTDOWN     TEXT("UIShutDown")
#define MUTEX_NORMAL_SHUTDOWN TEXT("NormalShutdown")
// Shared with the backlight driver: asks it to bypass its power messages from now on.
#define EVENT_BKL_BYPASSPOWERMSG TEXT("BKL_BYPASSPOWERMSG")

// Message boxes are found by the platform's class for them and their caption.
#define BOX_CLASS_NAME           MESSAGE_BOX_CLASS
#define BOX_TEXT_CCH             128
#define BOX_CAPTION_CCH          20
#define BOX_STYLE_YESNO_QUESTION (MB_YESNO | MB_ICONQUESTION | MB_TOPMOST)
#define MODE_POLL_INTERVAL_MS    100

// Bound on the wait for the radio's power-off confirmation; comparable handsets give the radio
// about 12 s. Without it a radio that never answers would leave the handset dark for good.
#define RADIO_POWEROFF_WAIT_MS 15000

extern HANDLE g_hRilPowerOffEvent;
// Shutdown sequences of this process that ran to their end (the forced suspend came back): at
// most one, since a run that finds one counted here does nothing.
extern std::atomic<LONG> g_lNormalShutdownsCompleted;
extern HANDLE g_hAnimDoneEvent;
extern HANDLE g_hWatchdogThread;
// NormalShutdown runs of this process under way: counted from before a run creates its mutex
// until it returns, whether it ran the sequence or was refused. The main routine does not end
// the process while it is not zero; once it has decided to end it, the count is closed
// (NORMAL_SHUTDOWN_RUNS_CLOSED) and no run starts any more.
extern std::atomic<LONG> g_lNormalShutdownRuns;
#define NORMAL_SHUTDOWN_RUNS_CLOSED (-1)

// Closes the count of NormalShutdown runs when none is under way, so that none can start while
// the process ends; returns 0 (and closes nothing) while a run is under way.
BOOL CloseNormalShutdownRuns(void);

// Switches the handset off, once: the ERTC, the animation, the LCD, the radio, the watchdog,
// the applications under the keyboard lock, the kernel command, the log and the forced suspend.
// A second call while a run is under way, from any thread or process, returns at once; so does
// any call after this process's run has ended (the handset came back from its suspend).
void NormalShutdown(void);
// Mode 1: switch off at once.
void LpShutDown(void);
// Mode 2: ask first, switch off on Yes.
void UIShutDown(void);
