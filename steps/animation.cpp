// Shutdown animation. Until it is built, nothing is shown.
#include "steps/animation.h"

void ShutDownAnimation(void)
{
}
