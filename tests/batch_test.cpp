// The explorer's batch: a child process runs many items in a row, and one that dies costs only
// the item it was running.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "sim/explore/batch.h"

namespace {

int Quiet() {
  Sleep(5);
  return 0;
}

int Dies() {
  std::raise(SIGSEGV);
  return 0;
}

// An exception cannot leave a simulated thread: the process ends as a program's would.
int Throws() { throw std::runtime_error("a routine threw"); }

TEST(Batch, AnItemThatKillsItsProcessCostsOnlyThatItem) {
  const sim::Scenario scenario = sim::Scenario::Builtin();
#ifdef HS_SANITIZED
  // A fork costs a sanitized process far more: fewer items, the same cases.
  constexpr std::size_t kItems = 12;
  const std::vector<int> job_counts = {2};
#else
  constexpr std::size_t kItems = 40;
  const std::vector<int> job_counts = {1, 3};
#endif
  // item index -> what its run does; every other item runs quietly. Two in a row die, and so do
  // the first and the last.
  const std::map<std::size_t, int (*)()> special = {{0, Dies}, {4, Dies}, {5, Dies}, {7, Throws}, {kItems - 1, Dies}};
  std::vector<sim::BatchItem> items;
  for (std::size_t i = 0; i < kItems; ++i) {
    sim::BatchItem item{&scenario, {}};
    item.options.seed = i + 1;
    const auto it = special.find(i);
    item.options.entry = it == special.end() ? Quiet : it->second;
    items.push_back(item);
  }
  for (const int jobs : job_counts) {
    SCOPED_TRACE("jobs " + std::to_string(jobs));
    std::map<std::size_t, sim::BatchResult> results;
    sim::RunBatch(items, jobs, false, [&](std::size_t index, const sim::BatchResult& r) {
      EXPECT_TRUE(results.emplace(index, r).second) << "item " << index << " reported twice";
    });
    ASSERT_EQ(results.size(), items.size());
    for (const auto& [index, r] : results) {
      SCOPED_TRACE("item " + std::to_string(index));
      EXPECT_EQ(r["seed"], index + 1);
      const auto it = special.find(index);
      if (it != special.end()) {
#ifdef HS_SANITIZED
        // The sanitizer reports the fault and ends the process with its own status.
        EXPECT_TRUE(r.contains("crash")) << r.dump();
#else
        EXPECT_EQ(r.value("crash", ""), "killed by signal " + std::to_string(it->second == Dies ? SIGSEGV : SIGABRT));
#endif
      } else {
        EXPECT_FALSE(r.contains("crash")) << r.dump();
        EXPECT_EQ(r.value("outcome", ""), "on") << r.dump();
        EXPECT_TRUE(r["violations"].empty()) << r.dump();
      }
    }
  }
}

}  // namespace
