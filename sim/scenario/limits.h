// Bounds on scenario input, far above anything a handset holds, so that a hostile or mistaken
// file gets a message naming it instead of exhausting memory or blocking the run
// (docs/scenarios.md lists them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

struct ScenarioLimits {
  static constexpr std::uint64_t kScenarioFileBytes = 1 << 20;  // a scenario file
  static constexpr std::uint64_t kRegFileBytes = 8 << 20;       // a .reg export named by [registry] files
  static constexpr std::uint64_t kHostFileBytes = 16 << 20;     // a [[file]] host file
  static constexpr std::int64_t kWavMs = 600000;                // a generated sound: ten minutes
  static constexpr std::size_t kArrayEntries = 10000;           // entries of any one array or [[table]]
};

// The whole of the regular file `path`, read with a bound: a directory, a FIFO, a device or a
// file over `max_bytes` is refused with a ScenarioError naming `what` and the path. Never blocks.
std::string ReadBoundedFile(const std::string& path, std::uint64_t max_bytes, const std::string& what);

}  // namespace sim
