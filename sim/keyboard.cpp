// Low-level keyboard hooks. Not yet simulated: installing a hook fails.
#include "platform/platform.h"
#include "sim/call.h"

using namespace sim;

HHOOK SetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId) {
  Call c("SetWindowsHookExW");
  c.Arg("type", idHook).Arg("thread", dwThreadId);
  c.SetError(ERROR_NOT_SUPPORTED);
  return c.Return<HHOOK>(nullptr, nullptr);
}

LRESULT CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam) {
  Call c("CallNextHookEx");
  return c.Return<LRESULT>(0, 0);
}

BOOL UnhookWindowsHookEx(HHOOK hhk) {
  Call c("UnhookWindowsHookEx");
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<BOOL>(FALSE, false);
}
