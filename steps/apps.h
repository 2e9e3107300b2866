// Closing the running applications.
#pragma once

#include "platform/platform.h"

void ShutDownApps(void);
