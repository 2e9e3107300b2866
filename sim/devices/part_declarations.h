// What each part of the handset declares about itself: the platform operations whose calls it
// can fail (its fault sites) and its device knobs (scenario changes that break it). Each part
// keeps its table in its own file, beside the calls and the scenario keys the table names; the
// runner's checks, `--list-fault-sites`, the fault sweep and the swarm read them from here.
#pragma once

#include <string>
#include <vector>

namespace sim {

// A device knob: a scenario change that breaks one part of the handset.
struct DeviceKnob {
  std::string name;
  std::string overrides;  // TOML laid over the scenario
};

// One part's table.
struct PartDeclaration {
  std::vector<std::string> fault_sites;  // operations whose calls the part lets a rule fail
  // Sites that break a platform guarantee instead of failing a call ("Op.what"), for testing
  // the checks; the sweep and the swarm leave them alone.
  std::vector<std::string> guarantee_breakers;
  std::vector<DeviceKnob> knobs;
};

// Every operation that has a fault site, by name.
const std::vector<std::string>& FaultSiteOperations();
// Every site that breaks a platform guarantee, as --fail names it.
const std::vector<std::string>& GuaranteeBreakingSites();
// Every device knob, part by part.
const std::vector<DeviceKnob>& DeviceKnobs();

}  // namespace sim
