// The scenario loader, on any text: a handset is built from it or a clear error comes back.
#include <cstdint>
#include <memory>
#include <string>

#include "sim/devices/handset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const sim::Scenario scenario =
        sim::Scenario::FromText(std::string(reinterpret_cast<const char*>(data), size), "fuzz.toml");
    // Building the handset reads every table; no run is started, so no thread exists yet.
    auto handset = std::make_unique<sim::Handset>(scenario, sim::RunOptions{});
  } catch (const sim::ScenarioError&) {
  }
  return 0;
}
