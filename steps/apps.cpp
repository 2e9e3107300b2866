// Application termination. Until it is built, the applications are left running.
#include "steps/apps.h"

void ShutDownApps(void)
{
}
