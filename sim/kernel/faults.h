// Fault sites: every platform operation can be made to fail by name, from a scenario or the
// command line, so that each failure path of the program can be run without hardware.
//
// A rule reads "Operation", "Operation:detail" (the detail is matched against the call's main
// argument, for example a mutex or device name) and may end in "@N" to fail only the N-th
// matching call (counted from 1) or "@N+" to fail the N-th and every later one.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

class FaultPlan {
 public:
  // Adds a rule; returns an error text for a malformed one, else empty.
  std::string Add(const std::string& rule);
  // Decides whether this call fails; counts the call for "@N" rules.
  bool ShouldFail(std::string_view op, std::string_view detail);
  // Every site that was consulted during the run ("Operation" and "Operation:detail").
  std::set<std::string> SitesSeen() const;
  // How many calls consulted each site ("Operation"), so that a sweep can fail each in turn.
  std::map<std::string, long> Consultations() const { return {consulted_.begin(), consulted_.end()}; }
  // Calls `visit(operation, calls)` for each site of Consultations(), in the same order (by
  // name), without copying the names.
  template <class Visit>
  void ForEachConsultation(Visit&& visit) const {
    for (const auto* site : SortedConsultations()) visit(site->first, site->second);
  }
  // How many sites Consultations() lists.
  std::size_t SiteCount() const { return consulted_.size(); }
  // Rules that never matched a call (a misspelt rule is worth a warning).
  std::vector<std::string> UnusedRules() const;
  bool Empty() const { return rules_.empty(); }

 private:
  struct Rule {
    std::string text, op, detail;
    long nth = 0;  // 0: every call
    bool and_later = false;
    long matched = 0;  // calls seen that match op and detail
    bool fired = false;
  };
  std::vector<const std::pair<const std::string, long>*> SortedConsultations() const;

  std::vector<Rule> rules_;
  // Looked up at every platform call by the operation's name, without building a string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_map<std::string, long, NameHash, std::equal_to<>> consulted_;
  // The details each operation was consulted with (a mutex name, a device).
  std::map<std::string, std::set<std::string, std::less<>>, std::less<>> details_;
};

}  // namespace sim
