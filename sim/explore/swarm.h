// Swarm worlds: each seed draws its own world on top of a scenario (the mode, the answers and
// their instants, a call, the radio, keys, other processes, alarms, the forced suspend and
// platform faults), switching a random subset of these features on. A world is plain scenario
// text, so a seed that finds something can be written out and replayed without the seed's help.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/devices/run_options.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct SwarmWorld {
  std::string mode;                    // the program's argument: "1", "2" or "3"
  std::string answers;                 // the answers drawn, as TOML list items ("" for none)
  std::vector<std::string> overrides;  // TOML fragments laid over the base scenario, in order
  std::vector<std::string> features;   // what this world switched on, for people
};

// The world of `seed`. The same seed always draws the same world. `modes` lists the modes to
// draw from (empty: 1, 2 and 3).
SwarmWorld DrawSwarmWorld(std::uint64_t seed, const std::vector<std::string>& modes);

// `base` with every fragment of `world` laid over it; throws ScenarioError when a fragment does
// not fit the base (a fault of the generator, not of the run).
Scenario SwarmScenario(const Scenario& base, const SwarmWorld& world, std::uint64_t seed);

// The world's whole scenario as a self-contained TOML file (every table written out, no base),
// headed by a comment with the seed, the features and the command that replays it. `given` are
// the exploration's options: its scenario file is the base (empty: the built-in handset),
// `knob_overrides` the TOML of its knob, laid over the base before the world, and its fail rules
// follow the world's in [faults] fail; its other options (answers, time limit, PCT) are in the
// replay command. Throws ScenarioError when the base cannot be read.
std::string SwarmScenarioFile(const RunOptions& given, const std::string& knob_overrides, const SwarmWorld& world,
                              std::uint64_t seed);

// One line naming the world's features.
std::string DescribeSwarmWorld(const SwarmWorld& world);

// What an exploration prints for a failing seed: its world, the command that writes the world
// out as a scenario file, and the command that replays that file. `given` are the exploration's
// options, `modes` the modes it draws from.
std::string SwarmSeedReport(const RunOptions& given, std::uint64_t seed, const std::vector<std::string>& modes);

}  // namespace sim
