// The power-off watchdog started by the shutdown sequence once the radio is down.
#pragma once

#include "platform/platform.h"

#define WATCHDOG_TIMEOUT_MS 60000

// Drops the GPS and Bluetooth rails at once; if the device still runs 60 s later, switches the
// backlight off, dumps the log, drops the rails again and drives the PMU power-off line until the
// power is gone.
DWORD WINAPI AnimTimeoutThread(LPVOID lpParameter);
