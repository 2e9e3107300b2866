#include "sim/devices/program_image.h"

#include <cstring>
#include <span>

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

namespace {

struct Variable {
  void* address;
  std::size_t size;
};

#define PROGRAM_VARIABLE(name) \
  Variable { static_cast<void*>(&(name)), sizeof(name) }

// The same variables as the reset above names, where they live and how big they are.
std::span<const Variable> Variables() {
  static const Variable kVariables[] = {
      PROGRAM_VARIABLE(g_hRilPowerOffEvent),
      PROGRAM_VARIABLE(g_hAnimDoneEvent),
      PROGRAM_VARIABLE(g_hWatchdogThread),
      PROGRAM_VARIABLE(g_lNormalShutdownRuns),
      PROGRAM_VARIABLE(g_lNormalShutdownsCompleted),
      PROGRAM_VARIABLE(g_bPromptDone),
      PROGRAM_VARIABLE(g_bShutdownBegin),
      PROGRAM_VARIABLE(g_hAutoShutdownEvent),
      PROGRAM_VARIABLE(g_hAutoShutdownThread),
      PROGRAM_VARIABLE(g_lAutoShutdownEventState),
      PROGRAM_VARIABLE(g_hRegNotify),
      PROGRAM_VARIABLE(g_bPromptStarted),
      PROGRAM_VARIABLE(g_AlarmTimes),
      PROGRAM_VARIABLE(g_dwArraySize),
      PROGRAM_VARIABLE(g_hKbdHook),
      PROGRAM_VARIABLE(g_hRil),
      PROGRAM_VARIABLE(g_bRilInitialized),
      PROGRAM_VARIABLE(g_TaskList),
      PROGRAM_VARIABLE(numTasks),
      PROGRAM_VARIABLE(TaskEnumContext),
      PROGRAM_VARIABLE(g_hAnimCallEvent),
  };
  return kVariables;
}

#undef PROGRAM_VARIABLE

}  // namespace

ProgramImage ProgramImage::Capture() {
  ProgramImage image;
  std::size_t total = 0;
  for (const Variable& v : Variables()) total += v.size;
  image.bytes_.resize(total);
  std::byte* at = image.bytes_.data();
  // Only one simulated thread runs at a time, so no other thread touches a variable meanwhile.
  for (const Variable& v : Variables()) {
    std::memcpy(at, v.address, v.size);
    at += v.size;
  }
  return image;
}

void ProgramImage::Restore() const {
  const std::byte* at = bytes_.data();
  for (const Variable& v : Variables()) {
    std::memcpy(v.address, at, v.size);
    at += v.size;
  }
}

void ImageWatch::Rebase() { base_ = ProgramImage::Capture(); }

void ImageWatch::Report(const std::function<void(std::uint32_t)>& written) {
  if (base_.bytes_.empty()) return Rebase();
  std::byte* at = base_.bytes_.data();
  std::uint32_t index = 0;
  for (const Variable& v : Variables()) {
    if (std::memcmp(at, v.address, v.size) != 0) {
      std::memcpy(at, v.address, v.size);
      written(index);
    }
    at += v.size;
    ++index;
  }
}

}  // namespace sim
