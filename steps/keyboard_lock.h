// The keyboard lock: a low-level hook that swallows key input while the applications close.
#pragma once

#include "platform/platform.h"

// The installed hook, or null. The hook procedure reads it on the platform's input thread.
extern std::atomic<HHOOK> g_hKbdHook;

// Installs the lock for all threads; 1 when the platform granted the hook, 0 when not.
BOOL InstallKeyboardLock(HINSTANCE hInstance, HOOKPROC pfnHookProc);
// Removes the lock if it is installed; always 1.
BOOL RemoveKeyboardLock(void);
// Swallows every key event; events with a negative hook code are passed on unchanged.
LRESULT CALLBACK KeyboardLockProc(int nCode, WPARAM wParam, LPARAM lParam);
