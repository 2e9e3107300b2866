// What a scenario's [expect] table asks of a run, compared with how the run ended: a gallery
// scenario is an experiment, and one whose expectation is not met has failed.
#pragma once

#include <string>
#include <vector>

#include "sim/kernel/eventlog.h"

namespace sim {

// One text for each expectation of the summary ("expected_outcomes", "expected_ertc") that the
// run did not meet, for example "outcome on, expected off"; empty when all were met or none given.
std::vector<std::string> UnmetExpectations(const Json& summary);
// The members of the summary that UnmetExpectations reads.
const std::vector<std::string>& ExpectationMembers();

}  // namespace sim
