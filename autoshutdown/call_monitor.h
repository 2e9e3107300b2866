// Active-call monitor: holds the automatic shutdown back while a phone call is active.
#pragma once

#include "platform/platform.h"

// 1 when the phone state reports an active call, else 0.
BOOL HaveActiveCall(void);
// Registers the change callback that runs the prompt once no call is active; 1 on success.
BOOL MonitorPhoneState(void);
