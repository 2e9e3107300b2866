// Keyboard lock. Until it is built, no lock is installed.
#include "steps/keyboard_lock.h"

BOOL InstallKeyboardLock(HINSTANCE hInstance, HOOKPROC pfnHookProc)
{
    return 0;
}

BOOL RemoveKeyboardLock(void)
{
    return 1;
}

LRESULT KeyboardLockProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    return 1;
}
