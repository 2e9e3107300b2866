// Vibration that announces the auto-shutdown prompt. The vibrator is reached through the
// notification-LED interface, where it is the LED whose cycle adjustment is -1.
#pragma once

#include "platform/platform.h"

// How long the handset vibrates before the box is shown, or when another instance's box is
// brought forward.
#define VIBRATE_PROMPT_MS 3000
// LED number that stands for "no vibrator found"; the LED calls are made with it all the same.
#define NO_VIBRATOR_LED 0xFFFFFFFFu
// Cycle adjustment by which the LED driver marks a vibrator.
#define VIBRATOR_CYCLE_ADJUST (-1)

#define LED_STATE_OFF 0
#define LED_STATE_ON  1

// Switches the vibrator on, waits VIBRATE_PROMPT_MS and switches it off. The wait does not depend
// on what the LED calls return.
void VibratePrompt(void);
// Looks for the first LED whose cycle adjustment is -1. Returns 1 and writes its number to
// *pdwLedNum when one is found; returns 0 and leaves *pdwLedNum untouched otherwise.
BOOL FindVibratorLed(DWORD *pdwLedNum);
// Switches LED dwLedNum on; 1 on success, 0 (traced) on failure.
BOOL SetLedDevice(DWORD dwLedNum);
// Switches LED dwLedNum off; 1 on success, 0 (traced) on failure.
BOOL StopLedDevice(DWORD dwLedNum);
