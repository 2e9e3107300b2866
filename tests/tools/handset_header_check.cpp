// Compiled (syntax only) by handset_header.py with a target's defines: the platform header must
// take the branch the build says, and the prompt must look for the box class of that platform.
#include "app/shutdown.h"
#include "platform/platform.h"

template <typename C, unsigned N>
constexpr bool SameText(const C (&a)[N], const char* b) {
  for (unsigned i = 0; i < N; ++i)
    if (a[i] != static_cast<C>(b[i])) return false;
  return true;
}

static_assert(SameText(BOX_CLASS_NAME, EXPECTED_BOX_CLASS), "the box class of this platform");
#if defined(EXPECT_HANDSET_SDK) != defined(HS_HANDSET_SDK_STUB)
#error "the platform header took the wrong branch for these defines"
#endif
