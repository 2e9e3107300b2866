// Programs the external real-time clock with the next wake-up instant.
#pragma once

#include "platform/platform.h"

void WriteErtcWakeTime(void);
