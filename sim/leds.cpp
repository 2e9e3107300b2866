// Notification LEDs. Not yet simulated: the handset has none.
#include "platform/platform.h"
#include "sim/call.h"

using namespace sim;

BOOL NLedGetDeviceInfo(UINT nInfoId, void* pOutput) {
  Call c("NLedGetDeviceInfo");
  c.Arg("info", nInfoId);
  if (nInfoId == NLED_COUNT_INFO_ID && pOutput) {
    static_cast<NLED_COUNT_INFO*>(pOutput)->cLeds = 0;
    return c.Return<BOOL>(TRUE, true);
  }
  return c.Return<BOOL>(FALSE, false);
}

BOOL NLedSetDevice(UINT nInfoId, void* pInput) {
  Call c("NLedSetDevice");
  c.Arg("info", nInfoId);
  return c.Return<BOOL>(FALSE, false);
}
