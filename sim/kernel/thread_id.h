// How the kernel names a simulated thread: its place in creation order (0, 1, 2, ...).
#pragma once

namespace sim {

using ThreadId = int;
inline constexpr ThreadId kNoThread = -1;  // no simulated thread (outside the simulation)

}  // namespace sim
