// The shutdown animation, or its fallback sound.
#pragma once

#include "platform/platform.h"

void ShutDownAnimation(void);
