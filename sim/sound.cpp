// Sound playback from memory. Not yet simulated: nothing plays.
#include "platform/platform.h"
#include "sim/call.h"

using namespace sim;

BOOL PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound) {
  Call c("PlaySoundW");
  c.Arg("flags", fdwSound);
  return c.Return<BOOL>(FALSE, false);
}
