// Loadable libraries. Not yet simulated: no library can be loaded.
#include "platform/platform.h"
#include "sim/call.h"
#include "sim/text.h"

using namespace sim;

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  Call c("LoadLibraryW");
  c.Arg("name", Narrow(lpLibFileName));
  c.SetError(ERROR_MOD_NOT_FOUND);
  return c.Return<HMODULE>(nullptr, nullptr);
}

FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
  Call c("GetProcAddressW");
  c.SetError(ERROR_PROC_NOT_FOUND);
  return c.Return<FARPROC>(nullptr, nullptr);
}
