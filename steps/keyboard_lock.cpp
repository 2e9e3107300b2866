// Keyboard lock.
#include "steps/keyboard_lock.h"

std::atomic<HHOOK> g_hKbdHook(NULL);

BOOL InstallKeyboardLock(HINSTANCE hInstance, HOOKPROC pfnHookProc)
{
    g_hKbdHook = SetWindowsHookExW(WH_KEYBOARD_LL, pfnHookProc, hInstance, 0);
    return g_hKbdHook != NULL ? 1 : 0;
}

LRESULT CALLBACK KeyboardLockProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode < 0) {
        return CallNextHookEx(g_hKbdHook, nCode, wParam, lParam);
    }
    // A key going down or up: discarded, it reaches no window.
    return 1;
}

BOOL RemoveKeyboardLock(void)
{
    if (g_hKbdHook != NULL) {
        UnhookWindowsHookEx(g_hKbdHook);
        g_hKbdHook = NULL;
    }
    return 1;
}
