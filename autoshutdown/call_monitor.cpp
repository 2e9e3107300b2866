// Active-call monitor. Until the monitor is built, no call is ever active.
#include "autoshutdown/call_monitor.h"

BOOL HaveActiveCall(void)
{
    return 0;
}

BOOL MonitorPhoneState(void)
{
    return 0;
}
