// The timed auto-shutdown prompt of mode 3.
#pragma once

#include "platform/platform.h"

// Set when the prompt has finished; the main routine polls it.
extern std::atomic<BOOL> g_bPromptDone;
extern HANDLE g_hAutoShutdownEvent;

// Runs the timed prompt on the calling thread; sets g_bPromptDone when it returns.
void AutoShutdownPrompt(void);
