#include "sim/kernel/faults.h"

#include <algorithm>
#include <cctype>

namespace sim {

std::string FaultPlan::Add(const std::string& rule) {
  Rule r;
  r.text = rule;
  std::string body = rule;
  if (auto at = body.rfind('@'); at != std::string::npos) {
    std::string count = body.substr(at + 1);
    body.resize(at);
    if (!count.empty() && count.back() == '+') {
      r.and_later = true;
      count.pop_back();
    }
    if (count.empty() || count.size() > 9) return "fault rule '" + rule + "': expected a count after '@'";
    for (char c : count)
      if (!std::isdigit(static_cast<unsigned char>(c)))
        return "fault rule '" + rule + "': the count after '@' must be a whole number";
    r.nth = std::stol(count);
    if (r.nth < 1) return "fault rule '" + rule + "': calls are counted from 1";
  }
  if (auto colon = body.find(':'); colon != std::string::npos) {
    r.op = body.substr(0, colon);
    r.detail = body.substr(colon + 1);
  } else {
    r.op = body;
  }
  if (r.op.empty()) return "fault rule '" + rule + "': no operation named";
  rules_.push_back(std::move(r));
  return {};
}

bool FaultPlan::ShouldFail(std::string_view op, std::string_view detail) {
  // Called at every platform call: nothing is allocated once a site has been seen.
  auto count = consulted_.find(op);
  if (count == consulted_.end()) count = consulted_.emplace(std::string(op), 0).first;
  ++count->second;
  if (!detail.empty()) {
    auto& details = details_[count->first];
    if (details.find(detail) == details.end()) details.emplace(detail);
  }
  bool fail = false;
  for (Rule& r : rules_) {
    if (r.op != op || (!r.detail.empty() && r.detail != detail)) continue;
    ++r.matched;
    const bool hit = r.nth == 0 || r.matched == r.nth || (r.and_later && r.matched > r.nth);
    if (hit) {
      r.fired = true;
      fail = true;
    }
  }
  return fail;
}

std::set<std::string> FaultPlan::SitesSeen() const {
  std::set<std::string> seen;
  for (const auto& [op, count] : consulted_) seen.insert(op);
  for (const auto& [op, details] : details_)
    for (const auto& detail : details) seen.insert(op + ":" + detail);
  return seen;
}

std::vector<const std::pair<const std::string, long>*> FaultPlan::SortedConsultations() const {
  std::vector<const std::pair<const std::string, long>*> sites;
  sites.reserve(consulted_.size());
  for (const auto& site : consulted_) sites.push_back(&site);
  std::sort(sites.begin(), sites.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  return sites;
}

std::vector<std::string> FaultPlan::UnusedRules() const {
  std::vector<std::string> out;
  for (const Rule& r : rules_)
    if (!r.fired) out.push_back(r.text);
  return out;
}

}  // namespace sim
