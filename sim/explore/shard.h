// Exploration spread over machines: which part of a batch a shard runs, the machine-readable
// report each shard writes, and the merge of shard reports into the report of one whole run.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/kernel/eventlog.h"

namespace sim {

// Shard `index` (1-based) of `count`.
struct Shard {
  std::uint64_t index = 1;
  std::uint64_t count = 1;
};

// Parses "K/N" with 1 <= K <= N; nullopt for anything else.
std::optional<Shard> ParseShard(const std::string& text);

// The part [begin, end) of `total` items that `shard` runs: contiguous blocks whose sizes differ
// by at most one, so that N shards cover every item exactly once.
struct ShardRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};
ShardRange ShardOf(std::uint64_t total, Shard shard);

// Bad shard reports: a file that cannot be read, is not a report, or does not belong with the
// others (another batch, a shard twice). The message names the file.
struct MergeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The counts of a report ("outcomes", "violations") with their keys sorted, so that the order in
// which runs finished does not show.
Json SortedKeys(const Json& counts);
// Reads one report written with --report-json.
Json ReadReport(const std::string& path);
// Combines shard reports of one batch (explore, sweep or systematic) into the report a single
// run over the whole batch gives; "missing_shards" lists shards not given. Throws MergeError.
Json MergeReports(const std::vector<Json>& reports, const std::vector<std::string>& names);

// Writes `report` to `path`; false when the file cannot be written.
bool WriteReport(const Json& report, const std::string& path);

}  // namespace sim
