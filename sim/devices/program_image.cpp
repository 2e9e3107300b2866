#include "sim/devices/program_image.h"

#include <cstring>

#include "app/shutdown.h"
#include "autoshutdown/auto_shutdown.h"
#include "autoshutdown/call_monitor.h"
#include "rtc/clock_alarms.h"
#include "steps/animation.h"
#include "steps/apps.h"
#include "steps/keyboard_lock.h"
#include "steps/radio.h"

namespace sim {

// Every variable the program keeps between its routines, as a fresh process image holds it.
// tests/tools/program_globals.py fails when the program gains one that is not named here.
void ResetProgramImage() {
  // app/
  g_hRilPowerOffEvent = NULL;
  g_hAnimDoneEvent = NULL;
  g_hWatchdogThread = NULL;
  g_lNormalShutdownRuns = 0;
  g_lNormalShutdownsCompleted = 0;
  // autoshutdown/
  g_bPromptDone = 0;
  g_bShutdownBegin = 0;
  g_hAutoShutdownEvent = NULL;
  g_hAutoShutdownThread = NULL;
  g_lAutoShutdownEventState = AUTO_SHUTDOWN_EVENT_OPEN;
  g_hRegNotify = NULL;
  g_bPromptStarted = 0;
  // rtc/
  std::memset(g_AlarmTimes, 0, sizeof g_AlarmTimes);
  g_dwArraySize = 0;
  // steps/
  g_hKbdHook = NULL;
  g_hRil = NULL;
  g_bRilInitialized = FALSE;
  std::memset(g_TaskList, 0, sizeof g_TaskList);
  numTasks = 0;
  std::memset(&TaskEnumContext, 0, sizeof TaskEnumContext);
  g_hAnimCallEvent = NULL;
}

}  // namespace sim
