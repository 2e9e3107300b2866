// The shutdown animation, or its fallback sound.
#pragma once

#include "platform/platform.h"

// Where the animation library's path is registered, tried in this order.
#define ANIM_REG_ROOT      HKEY_LOCAL_MACHINE
#define ANIM_REG_VALUE     TEXT("Dll")
#define ANIM_REG_KEY_COUNT 3
#define ANIM_PATH_CCH      260
#define ANIM_ENTRY_NAME    TEXT("DoShutdownAnimation")
// Played, with the backlight switched off, when no animation library is registered.
#define CRITICAL_BATTERY_SOUND TEXT("\\Windows\\Critbatt.wav")

// The library's entry: (0, the animation-done event, the call event), all 32-bit.
typedef DWORD (*PFN_DO_SHUTDOWN_ANIMATION)(DWORD, DWORD, DWORD);

// Created for the one call of the animation library and closed as soon as the call returns.
extern HANDLE g_hAnimCallEvent;

// Shows the animation of the library named in the registry; without one, plays the
// critical-battery sound and switches the backlight off.
void ShutDownAnimation(void);
// Plays a sound file from memory, asynchronously. The block holding it is left to the playback.
void MusicPlay(LPCWSTR pszPath);
