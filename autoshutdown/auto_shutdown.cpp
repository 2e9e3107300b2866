// The auto-shutdown prompt. Until the prompt is built, it finishes at once without asking.
#include "autoshutdown/auto_shutdown.h"

std::atomic<BOOL> g_bPromptDone(0);
HANDLE g_hAutoShutdownEvent = NULL;

void AutoShutdownPrompt(void)
{
    g_bPromptDone = 1;
}
