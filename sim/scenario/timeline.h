// Outside events at given virtual times: a call ends, a key is pressed, another process takes a
// mutex. Each part of the handset registers the actions it understands; the scenario lists them
// as [[timeline]] entries with `at_ms` (or `at_us`) and `do`.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

// `at` moved by a random offset in [-jitter, +jitter] drawn from `rng`, never before 0.
Micros Jittered(Rng& rng, Micros at, Micros jitter);

class Timeline {
 public:
  using Action = std::function<void()>;
  // Reads the rest of an entry's keys and returns what to do at its time.
  using Parser = std::function<Action(const Section& entry)>;

  // Makes `name` a valid `do` value. `help` documents it in error messages.
  void Register(const std::string& name, Parser parser);
  // Reads every [[timeline]] entry; throws ScenarioError for an unknown action or bad keys.
  void Configure(const Section& root);
  // Schedules the entries on the kernel.
  void Start(Kernel& kernel);
  std::size_t Size() const { return entries_.size(); }
  // Called as each entry happens, with its `do` value and its place in the list (from 0), so
  // that the handset can record the outside event.
  std::function<void(const std::string& what, std::size_t index)> on_fire;

 private:
  struct Entry {
    Micros at;
    Micros jitter;
    std::string what;
    Action action;
  };
  std::map<std::string, Parser> parsers_;
  std::vector<Entry> entries_;
};

}  // namespace sim
