// Wake-up planning. Until it is built, the ERTC is left as it is.
#include "rtc/wake_time.h"

void WriteErtcWakeTime(void)
{
}
