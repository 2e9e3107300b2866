// The keyboard lock: a low-level hook that swallows key input while the applications close.
#pragma once

#include "platform/platform.h"

BOOL InstallKeyboardLock(HINSTANCE hInstance, HOOKPROC pfnHookProc);
BOOL RemoveKeyboardLock(void);
LRESULT KeyboardLockProc(int nCode, WPARAM wParam, LPARAM lParam);
