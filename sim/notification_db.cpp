// The notification database. Not yet simulated: it holds no notifications.
#include "platform/platform.h"
#include "sim/call.h"

using namespace sim;

BOOL CeGetUserNotificationHandles(HANDLE* rghNotifications, DWORD cHandles, LPDWORD pcHandlesNeeded) {
  Call c("CeGetUserNotificationHandles");
  if (pcHandlesNeeded) *pcHandlesNeeded = 0;
  return c.Return<BOOL>(TRUE, true);
}

BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded, LPBYTE pBuffer) {
  Call c("CeGetUserNotification");
  if (pcBytesNeeded) *pcBytesNeeded = 0;
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<BOOL>(FALSE, false);
}
