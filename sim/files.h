// Files on the handset, as the scenario lists them.
#pragma once

#include <string>

#include "platform/platform.h"
#include "sim/call.h"

namespace sim {

// Opens a file that is no device for CreateFileW; sets the last error and returns
// INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenSimFile(Call& c, const std::u16string& name, DWORD access, DWORD disposition);

}  // namespace sim
